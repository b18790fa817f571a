"""The encodings the command line offers, behind one small interface (`Codec`).

`load` is the one place that decides which library layer does the work.
"""
from __future__ import annotations

from .errors import CliError

ENCODINGS = ("cl100k_base", "o200k_base")
DEFAULT_ENCODING = "cl100k_base"


class OpenAICodec:
    """An encoding of the `tessel.bpe.openai` module (text is always ordinary)."""

    _VOCAB_SIZES = {"cl100k_base": 100_256, "o200k_base": 199_998}

    def __init__(self, name: str) -> None:
        from tessel.bpe import openai

        self.name = name
        self._tokenizer = getattr(openai, name)()
        self._bpe = self._tokenizer.bpe()
        self.n_vocab = self._VOCAB_SIZES[name]

    def count_batch(self, texts: list[str]) -> list[int]:
        count = self._tokenizer.count
        return [count(text) for text in texts]

    def encode_batch(self, texts: list[str]) -> list[list[int]]:
        encode = self._tokenizer.encode
        return [encode(text) for text in texts]

    def first_unknown_id(self, ids: list[int]) -> int | None:
        if min(ids) >= 0 and max(ids) < self.n_vocab:
            return None
        return next(i for i in ids if not 0 <= i < self.n_vocab)

    def decode_bytes(self, ids: list[int]) -> bytes:
        return self._bpe.decode_tokens(ids)


def load(name: str, allowed_special=()) -> OpenAICodec:
    if allowed_special:
        raise CliError("special tokens are not available yet")
    return OpenAICodec(name)

"""The encodings the command line offers, behind one small interface (a codec):

    name, count_batch(texts), encode_batch(texts), decode_bytes(ids)

`load` is the one place that decides which library layer does the work: the
tiktoken-compatible one, whose ids are those users compare with the API they pay for.
"""
from __future__ import annotations

import os

from .errors import CliError

DEFAULT_ENCODING = "cl100k_base"
ALL = "all"


def _threads() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


class ExactCodec:
    """An encoding of the tiktoken-compatible layer (`tessel.get_encoding`): the ids that
    tiktoken gives, with special tokens when they are allowed."""

    def __init__(self, encoding, allowed_special: frozenset[str]) -> None:
        self.name = encoding.name
        self._encoding = encoding
        self._allowed = allowed_special
        self._threads = _threads()

    def count_batch(self, texts: list[str]) -> list[int]:
        if self._allowed:
            return [len(ids) for ids in self.encode_batch(texts)]
        return self._encoding._count_ordinary_batch(texts, self._threads)

    def encode_batch(self, texts: list[str]) -> list[list[int]]:
        if self._allowed:
            # Specials that are not allowed are ordinary text, never an error.
            return self._encoding.encode_batch(texts, num_threads=self._threads,
                                               allowed_special=self._allowed,
                                               disallowed_special=())
        return self._encoding.encode_ordinary_batch(texts, num_threads=self._threads)

    def decode_bytes(self, ids: list[int]) -> bytes:
        try:
            return self._encoding.decode_bytes(ids)
        except (KeyError, ValueError, OverflowError, TypeError):
            bad = next(i for i in ids if not self._known(i))
            raise UnknownId(bad, self.name) from None

    def _known(self, token: int) -> bool:
        try:
            self._encoding.decode_single_token_bytes(token)
        except (KeyError, ValueError, OverflowError, TypeError):
            return False
        return True


class UnknownId(CliError):
    def __init__(self, token: int, encoding: str) -> None:
        from .numbers import BEYOND_ANY, MAX_DIGITS

        shown = str(token) if abs(token) < BEYOND_ANY else f"of more than {MAX_DIGITS} digits"
        super().__init__(f"token id {shown} is not in the vocabulary of {encoding}")


def encoding_names() -> list[str]:
    import tessel

    return sorted(tessel.list_encoding_names())


def encoding_for_model(model: str) -> str:
    import tessel

    try:
        return tessel.encoding_name_for_model(model)
    except KeyError:
        raise CliError(f"no encoding is known for the model {model!r}") from None


def load(name: str, allowed_special: list[str] | None = None):
    """The codec of the encoding `name`; `allowed_special` holds token names or "all"."""
    import tessel

    try:
        encoding = tessel.get_encoding(name)
    except (KeyError, ValueError):
        raise CliError(f"unknown encoding {name!r}") from None
    specials = encoding.special_tokens_set
    wanted = set(allowed_special or ())
    if ALL in wanted:
        wanted = set(specials)
    unknown = sorted(wanted - specials)
    if unknown:
        raise CliError(f"{name} has no special token {unknown[0]!r}")
    return ExactCodec(encoding, frozenset(wanted))

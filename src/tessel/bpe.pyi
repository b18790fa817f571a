# Typing stub of the native extension tessel.bpe. The submodule's stub is bpe/openai.pyi
# (a directory of stubs only: at run time the extension module is found first).
from typing import Any, final

from typing_extensions import Buffer

from tessel.bpe import openai as openai

@final
class BytePairEncoding:
    """The byte-level encoder of a vocabulary, without pre-tokenization.

    Get one from a tokenizer: ``tessel.bpe.openai.cl100k_base().bpe()``.
    """

    def __init__(self) -> None: ...
    def count(self, data: Buffer, /) -> int: ...
    def encode_via_backtracking(self, data: Buffer, /) -> list[int]: ...
    def decode_tokens(self, ids: list[int], /) -> bytes:
        """The bytes of the tokens; empty when an id is outside the vocabulary.

        Ids must be from 0 to 2**32 - 1 (OverflowError otherwise).
        """
    def __reduce__(self) -> tuple[Any, ...]: ...

# Typing stub of tessel.bpe.openai, the submodule of the native extension tessel.bpe.
from typing import Any, final

from typing_extensions import Buffer

from tessel.bpe import BytePairEncoding

_Text = str | Buffer  # a str (taken as UTF-8) or any contiguous bytes-like object

@final
class Tokenizer:
    """Tokenizer of one built-in encoding; get one from cl100k_base() or o200k_base()."""

    def __init__(self) -> None: ...
    def count(self, text: _Text, /) -> int: ...
    def count_till_limit(self, text: _Text, limit: int, /) -> int | None:
        """The token count, or None when it exceeds limit (limit must not be negative)."""
    def encode(self, text: _Text, /) -> list[int]: ...
    def encode_batch(self, texts: list[str], /) -> tuple[list[list[int]], int, float]:
        """(ids of each text, total number of tokens, seconds spent encoding)."""
    def encode_batch_parallel(
        self, texts: list[str], options: object = None, /
    ) -> tuple[list[list[int]], int, float, int]:
        """As encode_batch, on the worker threads; the fourth entry is their number.

        The options are accepted and ignored.
        """
    def decode(self, ids: list[int], /) -> str | None:
        """The text of the ids; None for an id outside the vocabulary or invalid UTF-8.

        Ids must be from 0 to 2**32 - 1 (OverflowError otherwise).
        """
    def decode_batch(self, batch: list[list[int]], /) -> list[str | None]: ...
    def decode_batch_parallel(
        self, batch: list[list[int]], options: object = None, /
    ) -> list[str | None]: ...
    def bpe(self) -> BytePairEncoding: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class ParallelOptions:
    """Batch options that are stored and read back but change nothing."""

    def __init__(
        self, min_batch_size: int = 20, chunk_size: int = 100, max_threads: int = 0
    ) -> None: ...
    @property
    def min_batch_size(self) -> int: ...
    @property
    def chunk_size(self) -> int: ...
    @property
    def max_threads(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

def cl100k_base() -> Tokenizer: ...
def o200k_base() -> Tokenizer: ...
def is_cached_cl100k() -> bool: ...
def is_cached_o200k() -> bool: ...
def get_num_threads() -> int: ...

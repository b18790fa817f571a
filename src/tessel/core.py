"""tessel.Encoding: tiktoken's Encoding interface over tessel's native engine.

Ids equal tiktoken's for every input. The native engine encodes ordinary text; this layer
checks arguments, finds special tokens and shapes the results.
"""
from __future__ import annotations

import functools
import re
from typing import (
    TYPE_CHECKING,
    AbstractSet,
    Any,
    Collection,
    Dict,
    FrozenSet,
    List,
    Literal,
    NoReturn,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

from tessel._patterns import rules_for_pattern
from tessel.bpe import _native

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

__all__ = ["Encoding"]

_NO_SPECIALS: FrozenSet[str] = frozenset()

AllowedSpecial = Union[Literal["all"], AbstractSet[str]]
DisallowedSpecial = Union[Literal["all"], Collection[str]]


class Encoding:
    """A byte-pair encoding with the interface of ``tiktoken.Encoding``.

    Get the built-in ones with ``tessel.get_encoding(name)``; build one from a vocabulary
    with ``Encoding(name, pat_str=..., mergeable_ranks=..., special_tokens=...)``, where
    ``pat_str`` must be a spelling of the cl100k_base or o200k_base pattern.
    """

    def __init__(
        self,
        name: str,
        *,
        pat_str: str,
        mergeable_ranks: Dict[bytes, int],
        special_tokens: Dict[str, int],
        explicit_n_vocab: Optional[int] = None,
    ) -> None:
        rules = rules_for_pattern(pat_str)
        tokens = _tokens_in_rank_order(mergeable_ranks)
        specials = _checked_special_tokens(special_tokens)
        max_token_value = max(len(tokens) - 1, max(specials.values(), default=0))
        if explicit_n_vocab:
            if len(tokens) + len(specials) != explicit_n_vocab:
                raise ValueError(
                    f"explicit_n_vocab is {explicit_n_vocab}, but there are {len(tokens)} "
                    f"mergeable and {len(specials)} special tokens"
                )
            if max_token_value != explicit_n_vocab - 1:
                raise ValueError(
                    f"explicit_n_vocab is {explicit_n_vocab}, but the largest token id is "
                    f"{max_token_value}"
                )
        core = _native.custom(tokens, rules, specials)
        self._setup(name, pat_str, core, specials, dict(mergeable_ranks))

    @classmethod
    def _builtin(cls, name: str, rules: int, pat_str: str, special_tokens: Dict[str, int]) -> "Encoding":
        self = cls.__new__(cls)
        self._setup(name, pat_str, _native.builtin(rules, special_tokens), special_tokens, None)
        self._registered = True
        return self

    def _setup(
        self,
        name: str,
        pat_str: str,
        core: Any,
        special_tokens: Dict[str, int],
        mergeable_ranks: Optional[Dict[bytes, int]],
    ) -> None:
        self.name = name
        self._pat_str = pat_str
        self._core = core
        self._special_tokens = special_tokens
        self._ranks = mergeable_ranks
        self._registered = False
        self._n_mergeable = core.mergeable_count()
        self.max_token_value = max(self._n_mergeable - 1, max(special_tokens.values(), default=0))
        self._special_values = frozenset(special_tokens.values())
        self._all_specials = frozenset(special_tokens)
        # Every special token starts with this text (for the built-in encodings "<|"), so a
        # text without it holds none and needs no regex search. None: no special tokens.
        self._special_prefix = _common_prefix(special_tokens) if special_tokens else None

    def __repr__(self) -> str:
        return f"<Encoding {self.name!r}>"

    # ---- Encoding -------------------------------------------------------------------------

    def encode_ordinary(self, text: str) -> List[int]:
        """The ids of the text, special tokens treated as ordinary text."""
        try:
            return self._core.encode(text)
        except UnicodeEncodeError:
            return self._core.encode(_without_lone_surrogates(text))

    def encode(
        self,
        text: str,
        *,
        allowed_special: AllowedSpecial = _NO_SPECIALS,
        disallowed_special: DisallowedSpecial = "all",
    ) -> List[int]:
        """The ids of the text.

        Text of the special tokens in ``allowed_special`` ("all" for every one) becomes
        those tokens. Text of a token in ``disallowed_special`` ("all": every special token
        not allowed) raises ValueError; pass ``disallowed_special=()`` to encode such text
        as ordinary text.
        """
        if not allowed_special and disallowed_special == "all":
            prefix = self._special_prefix
            try:
                if prefix is None:
                    return self._core.encode(text)
                # None when the text holds the prefix: then it is looked for special tokens.
                # The native search is faster than `prefix in text` (see core_type.cpp).
                ids = self._core.encode_unless_marked(text, prefix)
                if ids is None:
                    _check_disallowed(text, self._all_specials)
                    ids = self._core.encode(text)
                return ids
            except UnicodeEncodeError:
                if prefix is not None and prefix in text:
                    _check_disallowed(text, self._all_specials)
                return self._core.encode(_without_lone_surrogates(text))
        return self._encode_text_with(text, self._allowed(allowed_special, disallowed_special, text))

    def encode_to_numpy(
        self,
        text: str,
        *,
        allowed_special: AllowedSpecial = _NO_SPECIALS,
        disallowed_special: DisallowedSpecial = "all",
    ) -> "npt.NDArray[np.uint32]":
        """Like encode, as a numpy array of uint32 (needs numpy: ``pip install tessel[numpy]``)."""
        import numpy as np

        prefix = self._special_prefix
        if not allowed_special and disallowed_special == "all" and prefix is not None:
            try:
                buffer = self._core.encode_buffer_unless_marked(text, prefix)  # as in encode
                if buffer is not None:
                    return np.frombuffer(buffer, dtype=np.uint32)
            except UnicodeEncodeError:
                pass
        allowed = self._allowed(allowed_special, disallowed_special, text)
        if allowed:
            return np.array(self._encode_text_with(text, allowed), dtype=np.uint32)
        try:
            buffer = self._core.encode_buffer(text)
        except UnicodeEncodeError:
            buffer = self._core.encode_buffer(_without_lone_surrogates(text))
        return np.frombuffer(buffer, dtype=np.uint32)

    def encode_ordinary_batch(self, text: Sequence[str], *, num_threads: int = 8) -> List[List[int]]:
        """encode_ordinary of every text; with num_threads > 1 on tessel's worker threads."""
        _check_threads(num_threads)
        texts = _reusable(text)
        try:
            return self._core.encode_batch(texts, num_threads)
        except UnicodeEncodeError:
            return self._core.encode_batch(_batch_without_lone_surrogates(texts), num_threads)

    def encode_batch(
        self,
        text: Sequence[str],
        *,
        num_threads: int = 8,
        allowed_special: AllowedSpecial = _NO_SPECIALS,
        disallowed_special: DisallowedSpecial = "all",
    ) -> List[List[int]]:
        """encode of every text; with num_threads > 1 on tessel's worker threads."""
        _check_threads(num_threads)
        texts = _reusable(text)
        prefix = self._special_prefix
        if not allowed_special and disallowed_special == "all":
            try:
                marked = prefix is not None and self._core.any_marked(texts, prefix)
            except UnicodeEncodeError:
                marked = True  # the checks below look at the text as given
            if not marked:
                return self.encode_ordinary_batch(texts, num_threads=num_threads)
        allowed = _NO_SPECIALS
        for item in texts:  # every text is checked before any is encoded
            allowed = self._allowed(allowed_special, disallowed_special, item)
        if allowed:
            return [self._encode_text_with(item, allowed) for item in texts]
        return self.encode_ordinary_batch(texts, num_threads=num_threads)

    def encode_single_token(self, text_or_bytes: Union[str, bytes]) -> int:
        """The id of the one token (special ones included) whose text this is; KeyError if none."""
        if isinstance(text_or_bytes, str):
            text_or_bytes = text_or_bytes.encode("utf-8")
        return self._core.token_of(text_or_bytes)

    # ---- Counting (no id lists are made) ---------------------------------------------------

    def _count_ordinary(self, text: str) -> int:
        """len(encode_ordinary(text)), without making the list. Stable for tessel's CLI."""
        try:
            return self._core.count(text)
        except UnicodeEncodeError:
            return self._core.count(_without_lone_surrogates(text))

    def _count_ordinary_batch(self, texts: Sequence[str], num_threads: int = 8) -> List[int]:
        """_count_ordinary of every text; with num_threads > 1 on tessel's worker threads."""
        _check_threads(num_threads)
        texts = _reusable(texts)
        try:
            return self._core.count_batch(texts, num_threads)
        except UnicodeEncodeError:
            return self._core.count_batch(_batch_without_lone_surrogates(texts), num_threads)

    # ---- Decoding -------------------------------------------------------------------------

    def decode_bytes(self, tokens: Sequence[int]) -> bytes:
        """The bytes of the tokens; KeyError for an id the encoding does not have."""
        return self._core.decode_bytes(tokens)

    def decode(self, tokens: Sequence[int], errors: str = "replace") -> str:
        """The text of the tokens; bytes that are not UTF-8 are handled by ``errors``."""
        return self._core.decode_bytes(tokens).decode("utf-8", errors)

    def decode_single_token_bytes(self, token: int) -> bytes:
        """The bytes of one token (special ones included); KeyError if there is none."""
        return self._core.decode_single(token)

    def decode_tokens_bytes(self, tokens: Sequence[int]) -> List[bytes]:
        """The bytes of each token."""
        return self._core.decode_tokens_bytes(tokens)

    def decode_with_offsets(self, tokens: Sequence[int]) -> Tuple[str, List[int]]:
        """The text and, per token, the index of the first character holding its bytes.

        Raises UnicodeDecodeError when the tokens' bytes are not UTF-8.
        """
        pieces = self._core.decode_tokens_bytes(tokens)
        text = b"".join(pieces).decode("utf-8", "strict")
        offsets = []
        characters = 0  # characters begun so far
        for piece in pieces:
            # A token starting inside a character belongs to the character already begun.
            inside = 1 if piece and 0x80 <= piece[0] < 0xC0 else 0
            offsets.append(max(0, characters - inside))
            characters += sum(1 for byte in piece if not 0x80 <= byte < 0xC0)
        return text, offsets

    def decode_batch(
        self, batch: Sequence[Sequence[int]], *, errors: str = "replace", num_threads: int = 8
    ) -> List[str]:
        """decode of every id sequence."""
        _check_threads(num_threads)
        decode_bytes = self._core.decode_bytes
        return [decode_bytes(tokens).decode("utf-8", errors) for tokens in batch]

    def decode_bytes_batch(self, batch: Sequence[Sequence[int]], *, num_threads: int = 8) -> List[bytes]:
        """decode_bytes of every id sequence."""
        _check_threads(num_threads)
        decode_bytes = self._core.decode_bytes
        return [decode_bytes(tokens) for tokens in batch]

    # ---- The vocabulary -------------------------------------------------------------------

    def token_byte_values(self) -> List[bytes]:
        """The bytes of every mergeable token, sorted."""
        return sorted(self._core.mergeable_tokens())

    @property
    def eot_token(self) -> int:
        return self._special_tokens["<|endoftext|>"]

    @functools.cached_property
    def special_tokens_set(self) -> Set[str]:
        return set(self._special_tokens)

    def is_special_token(self, token: int) -> bool:
        if not isinstance(token, int):
            raise TypeError(f"token must be an int, not {type(token).__name__}")
        return token in self._special_values

    @property
    def n_vocab(self) -> int:
        """max_token_value + 1 (ids in between may be unused)."""
        return self.max_token_value + 1

    @property
    def _mergeable_ranks(self) -> Dict[bytes, int]:
        if self._ranks is None:
            self._ranks = {token: rank for rank, token in enumerate(self._core.mergeable_tokens())}
        return self._ranks

    # ---- Pickling: built-in encodings by name, others by value ------------------------------

    def __reduce__(self) -> Tuple[Any, ...]:
        if self._registered:
            from tessel.registry import get_encoding

            return (get_encoding, (self.name,))
        return (
            _encoding_from_state,
            (self.name, self._pat_str, self._mergeable_ranks, self._special_tokens),
        )

    # ---- Special tokens -------------------------------------------------------------------

    def _allowed(self, allowed_special: Any, disallowed_special: Any, text: str) -> FrozenSet[str]:
        """The special tokens to encode as such; raises ValueError when the text holds a
        disallowed one."""
        if allowed_special == "all":
            allowed = self._all_specials
        else:
            allowed = allowed_special
            if isinstance(allowed, str):
                raise TypeError('allowed_special must be "all" or a set of special tokens')
        if isinstance(disallowed_special, str) and disallowed_special != "all":
            raise TypeError('disallowed_special must be "all" or a collection of special tokens')
        if disallowed_special == "all":
            prefix = self._special_prefix
            disallowed = self._all_specials - allowed if prefix is not None and prefix in text else ()
        else:
            disallowed = disallowed_special
        if disallowed:
            _check_disallowed(text, frozenset(disallowed))
        return self._all_specials.intersection(allowed) if allowed else _NO_SPECIALS

    def _encode_text_with(self, text: str, allowed: FrozenSet[str]) -> List[int]:
        try:
            return self._encode_with(text, allowed)
        except UnicodeEncodeError:
            return self._encode_with(_without_lone_surrogates(text), allowed)

    def _encode_with(self, text: str, allowed: FrozenSet[str]) -> List[int]:
        encode = self._core.encode
        if not allowed:
            return encode(text)
        ids: List[int] = []
        position = 0
        for match in _special_regex(allowed).finditer(text):
            start = match.start()
            if start > position:
                ids += encode(text[position:start])
            ids.append(self._special_tokens[match.group()])
            position = match.end()
        if position < len(text) or not ids:
            ids += encode(text[position:])
        return ids


def _encoding_from_state(
    name: str, pat_str: str, mergeable_ranks: Dict[bytes, int], special_tokens: Dict[str, int]
) -> Encoding:
    return Encoding(name, pat_str=pat_str, mergeable_ranks=mergeable_ranks,
                    special_tokens=special_tokens)


def _tokens_in_rank_order(mergeable_ranks: Dict[bytes, int]) -> List[bytes]:
    if not isinstance(mergeable_ranks, dict):
        raise TypeError("mergeable_ranks must be a dict of bytes to int")
    n = len(mergeable_ranks)
    tokens: List[Any] = [None] * n
    for token, rank in mergeable_ranks.items():
        if not isinstance(token, bytes):
            raise TypeError(f"mergeable_ranks keys must be bytes, got {type(token).__name__}")
        if not isinstance(rank, int) or isinstance(rank, bool):
            raise TypeError(f"rank of {token!r} is {type(rank).__name__}, not int")
        if not 0 <= rank < n or tokens[rank] is not None:
            raise ValueError(
                f"mergeable_ranks must be the numbers 0 to {n - 1}, each once (no gaps); "
                f"rank {rank} of {token!r} is "
                + ("given twice" if 0 <= rank < n else "out of that range")
            )
        tokens[rank] = token
    return tokens


def _checked_special_tokens(special_tokens: Dict[str, int]) -> Dict[str, int]:
    if not isinstance(special_tokens, dict):
        raise TypeError("special_tokens must be a dict of str to int")
    for token, value in special_tokens.items():
        if not isinstance(token, str) or not token:
            raise ValueError(f"special token {token!r} must be a non-empty str")
        if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < 2**32:
            raise ValueError(f"id of special token {token!r} must be an int from 0 to 2**32-1")
    return dict(special_tokens)


def _common_prefix(tokens: Collection[str]) -> str:
    first, last = min(tokens), max(tokens)
    n = 0
    while n < len(first) and n < len(last) and first[n] == last[n]:
        n += 1
    return first[:n]


@functools.lru_cache(maxsize=128)
def _special_regex(tokens: FrozenSet[str]) -> "re.Pattern[str]":
    # Longest first: where two special tokens start at the same place, the longer wins.
    ordered = sorted(tokens, key=lambda token: (-len(token), token))
    return re.compile("|".join(re.escape(token) for token in ordered))


def _check_disallowed(text: str, disallowed: FrozenSet[str]) -> None:
    if not isinstance(text, str):
        raise TypeError(f"expected str, got {type(text).__name__}")
    match = _special_regex(disallowed).search(text)
    if match:
        _raise_disallowed_special_token(match.group())


def _raise_disallowed_special_token(token: str) -> NoReturn:
    raise ValueError(
        f"Encountered text corresponding to disallowed special token {token!r}.\n"
        "If you want this text to be encoded as a special token, "
        f"pass it to `allowed_special`, e.g. `allowed_special={{{token!r}, ...}}`.\n"
        "If you want this text to be encoded as normal text, disable the check for this token "
        f"by passing `disallowed_special=(enc.special_tokens_set - {{{token!r}}})`.\n"
        "To disable this check for all special tokens, pass `disallowed_special=()`.\n"
    )


def _without_lone_surrogates(text: str) -> str:
    # Surrogate pairs become the characters they encode; lone surrogates become U+FFFD.
    return text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")


def _reusable(texts: Sequence[str]) -> Sequence[str]:
    """The batch as a list or tuple: a batch may be read twice (again without lone
    surrogates), and a generator would be empty the second time."""
    return texts if isinstance(texts, (list, tuple)) else list(texts)


def _batch_without_lone_surrogates(texts: Sequence[str]) -> List[str]:
    return [_without_lone_surrogates(t) if isinstance(t, str) else t for t in texts]


def _check_threads(num_threads: int) -> None:
    if not isinstance(num_threads, int) or isinstance(num_threads, bool):
        raise TypeError(f"num_threads must be an int, not {type(num_threads).__name__}")
    if num_threads < 1:
        raise ValueError("num_threads must be at least 1")

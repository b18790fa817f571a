"""The encodings built into tessel: vocabulary, pattern and special tokens of each."""
from __future__ import annotations

from typing import Dict, NamedTuple

from tessel._patterns import CL100K_PATTERN, CL100K_RULES, O200K_PATTERN, O200K_RULES

ENDOFTEXT = "<|endoftext|>"
FIM_PREFIX = "<|fim_prefix|>"
FIM_MIDDLE = "<|fim_middle|>"
FIM_SUFFIX = "<|fim_suffix|>"
ENDOFPROMPT = "<|endofprompt|>"


class BuiltinEncoding(NamedTuple):
    rules: int  # which embedded vocabulary and splitter
    pat_str: str
    special_tokens: Dict[str, int]


def _harmony_special_tokens() -> Dict[str, int]:
    named = {
        "<|startoftext|>": 199998,
        ENDOFTEXT: 199999,
        "<|return|>": 200002,
        "<|constrain|>": 200003,
        "<|channel|>": 200005,
        "<|start|>": 200006,
        "<|end|>": 200007,
        "<|message|>": 200008,
        "<|call|>": 200012,
    }
    # <|endofprompt|> comes first, so decoding 200018 (which <|reserved_200018|> shares)
    # gives it, as tiktoken does.
    tokens = {ENDOFTEXT: 199999, ENDOFPROMPT: 200018, **named}
    taken = set(named.values())
    for i in range(200000, 201088):
        if i not in taken:
            tokens[f"<|reserved_{i}|>"] = i
    return tokens


def builtin(name: str) -> BuiltinEncoding:
    """The definition of a built-in encoding; KeyError for any other name."""
    if name == "cl100k_base":
        specials = {
            ENDOFTEXT: 100257,
            FIM_PREFIX: 100258,
            FIM_MIDDLE: 100259,
            FIM_SUFFIX: 100260,
            ENDOFPROMPT: 100276,
        }
        return BuiltinEncoding(CL100K_RULES, CL100K_PATTERN, specials)
    if name == "o200k_base":
        return BuiltinEncoding(O200K_RULES, O200K_PATTERN, {ENDOFTEXT: 199999, ENDOFPROMPT: 200018})
    if name == "o200k_harmony":
        return BuiltinEncoding(O200K_RULES, O200K_PATTERN, _harmony_special_tokens())
    raise KeyError(name)


NAMES = ("cl100k_base", "o200k_base", "o200k_harmony")

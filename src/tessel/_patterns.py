"""Pre-tokenization patterns tessel implements natively, and the rule set each selects.

tessel does not run a regex engine over the text: its splitters implement the cl100k_base
and o200k_base rules directly. A custom Encoding therefore accepts a ``pat_str`` only when
it is a known spelling of one of these two rule sets.
"""
from __future__ import annotations

# Rule-set numbers shared with the native engine.
CL100K_RULES = 0
O200K_RULES = 1

_CONTRACTIONS = "'s|'S|'t|'T|'re|'rE|'Re|'RE|'ve|'vE|'Ve|'VE|'m|'M|'ll|'lL|'Ll|'LL|'d|'D"

# The spelling tiktoken's cl100k_base uses today.
CL100K_PATTERN = (
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}++|\p{N}{1,3}+| ?[^\s\p{L}\p{N}]++[\r\n]*+"""
    r"""|\s++$|\s*[\r\n]|\s+(?!\S)|\s"""
)

# The spelling tiktoken's o200k_base (and o200k_harmony) uses today.
O200K_PATTERN = "|".join(
    [
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?""",
        r"""\p{N}{1,3}""",
        r""" ?[^\s\p{L}\p{N}]+[\r\n/]*""",
        r"""\s*[\r\n]+""",
        r"""\s+(?!\S)""",
        r"""\s+""",
    ]
)

_SPELLINGS = {
    CL100K_PATTERN: CL100K_RULES,
    # Earlier tiktoken releases; also the pattern Llama 3 publishes.
    r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"""
    r"""|\s*[\r\n]+|\s+(?!\S)|\s+""": CL100K_RULES,
    r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*"""
    r"""|\s*[\r\n]|\s+(?!\S)|\s""": CL100K_RULES,
    # Contractions spelled out case by case, for engines without inline flags.
    "(" + _CONTRACTIONS + r""")|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*"""
    r"""|\s*[\r\n]+|\s+(?!\S)|\s+""": CL100K_RULES,
    O200K_PATTERN: O200K_RULES,
    r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+("""
    + _CONTRACTIONS
    + r""")?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*("""
    + _CONTRACTIONS
    + r""")?|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+""": O200K_RULES,
}


def rules_for_pattern(pat_str: str) -> int:
    """The rule set a pattern spells; ValueError when tessel does not implement it."""
    if not isinstance(pat_str, str):
        raise TypeError(f"pat_str must be a str, not {type(pat_str).__name__}")
    rules = _SPELLINGS.get(pat_str.strip())
    if rules is None:
        raise ValueError(
            "unsupported pat_str: tessel splits text with built-in implementations of the "
            "cl100k_base and o200k_base patterns (as tiktoken spells them, in current and "
            "earlier releases, and Llama 3's spelling of the cl100k_base pattern); "
            "pass one of those patterns, e.g. tessel.get_encoding('cl100k_base')._pat_str"
        )
    return rules

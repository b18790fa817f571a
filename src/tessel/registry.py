"""Encodings by name: get_encoding and list_encoding_names."""
from __future__ import annotations

import threading
from typing import Dict, List

from tessel import _encodings
from tessel.core import Encoding

__all__ = ["get_encoding", "list_encoding_names", "ENCODINGS"]

_lock = threading.Lock()
ENCODINGS: Dict[str, Encoding] = {}


def get_encoding(encoding_name: str) -> Encoding:
    """The built-in encoding of this name (cl100k_base, o200k_base, o200k_harmony).

    The same object is returned on every call. Raises ValueError for an unknown name.
    """
    if not isinstance(encoding_name, str):
        raise ValueError(f"Expected a string in get_encoding, got {type(encoding_name)}")
    encoding = ENCODINGS.get(encoding_name)
    if encoding is not None:
        return encoding
    with _lock:
        encoding = ENCODINGS.get(encoding_name)
        if encoding is not None:
            return encoding
        try:
            definition = _encodings.builtin(encoding_name)
        except KeyError:
            raise ValueError(
                f"Unknown encoding {encoding_name}. "
                f"Known encodings: {', '.join(_encodings.NAMES)}"
            ) from None
        encoding = Encoding._builtin(
            encoding_name, definition.rules, definition.pat_str, definition.special_tokens
        )
        ENCODINGS[encoding_name] = encoding
        return encoding


def list_encoding_names() -> List[str]:
    """The names get_encoding accepts."""
    return list(_encodings.NAMES)

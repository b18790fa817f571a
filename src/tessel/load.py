"""Rank files in tiktoken's format: one token per line, base64 bytes, a space, the rank."""
from __future__ import annotations

import base64
import binascii
import hashlib
import os
from typing import Dict, Optional, Union

__all__ = ["load_tiktoken_bpe", "dump_tiktoken_bpe"]

PathLike = Union[str, "os.PathLike[str]"]


def load_tiktoken_bpe(tiktoken_bpe_file: PathLike, expected_hash: Optional[str] = None) -> Dict[bytes, int]:
    """The mergeable ranks of a local rank file.

    ``expected_hash`` (hex SHA-256) is checked when given. Raises ValueError for a URL (tessel
    reads only local files), a digest mismatch or a malformed line.
    """
    path = os.fspath(tiktoken_bpe_file)
    if isinstance(path, str) and "://" in path:
        raise ValueError(f"tessel reads only local rank files, not URLs: {path}")
    with open(path, "rb") as file:
        contents = file.read()
    if expected_hash is not None:
        actual = hashlib.sha256(contents).hexdigest()
        if actual != expected_hash.lower():
            raise ValueError(f"{path} has SHA-256 {actual}, expected {expected_hash}")
    ranks: Dict[bytes, int] = {}
    for number, line in enumerate(contents.splitlines(), start=1):
        if not line.strip():
            continue
        try:
            token, rank = line.split()
            ranks[base64.b64decode(token, validate=True)] = int(rank)
        except (ValueError, binascii.Error):
            raise ValueError(
                f"{path}, line {number}: expected base64 token bytes, a space and a rank"
            ) from None
    return ranks


def dump_tiktoken_bpe(bpe_ranks: Dict[bytes, int], tiktoken_bpe_file: PathLike) -> None:
    """Writes the ranks as a rank file, in rank order."""
    with open(tiktoken_bpe_file, "wb") as file:
        for token, rank in sorted(bpe_ranks.items(), key=lambda item: item[1]):
            file.write(base64.b64encode(token) + b" " + str(rank).encode() + b"\n")

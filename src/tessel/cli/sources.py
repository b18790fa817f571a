"""The inputs of a command: standard input, files, and for `count` whole directory trees.

A directory is walked in sorted order without following links to directories. Files that
git would ignore (by the .gitignore files of the tree and of its parents up to the
repository's root) are left out unless asked for, and so is the `.git` directory itself.
Only regular files are read from a tree: a FIFO or device in it could block forever.
"""
from __future__ import annotations

import os
import stat
import sys
from dataclasses import dataclass
from typing import Iterator

from .errors import CliError

STDIN = "-"
BINARY_SNIFF = 8000  # as git: a NUL byte in the first 8000 bytes makes a file binary


@dataclass
class Source:
    name: str  # as shown to the user
    path: str | None  # None for standard input
    in_tree: bool = False  # found by walking a directory (binary files are skipped there)
    size: int | None = None  # bytes, when known
    error: str | None = None  # found unreadable while listing

    def open(self):
        if self.path is None:
            if sys.stdin is None:
                raise CliError("standard input is closed")
            return _Unclosed(sys.stdin.buffer)
        try:
            return open(self.path, "rb")
        except OSError as e:
            raise CliError(f"{self.name}: {e.strerror or e}") from None


class _Unclosed:
    """Standard input as a context manager that leaves it open."""

    def __init__(self, stream) -> None:
        self._stream = stream

    def __enter__(self):
        return self._stream

    def __exit__(self, *exc) -> None:
        return None


def is_binary(head: bytes) -> bool:
    return b"\0" in head[:BINARY_SNIFF]


def sources(args: list[str], *, trees: bool, ignore: bool = True) -> Iterator[Source]:
    """The inputs named by `args` in order; directories expand to their files when `trees`."""
    for arg in args or [STDIN]:
        if arg == STDIN:
            yield Source("<stdin>", None)
        elif trees and os.path.isdir(arg):
            yield from _walk(arg, ignore)
        else:
            yield Source(arg, arg, size=_size(arg))


def _size(path: str) -> int | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def _walk(top: str, ignore: bool) -> Iterator[Source]:
    rules = _parent_rules(top) if ignore else []
    yield from _walk_dir(top, rules, ignore)


def _walk_dir(directory: str, rules: list, ignore: bool) -> Iterator[Source]:
    try:
        with os.scandir(directory) as it:
            entries = sorted(it, key=lambda e: e.name)
    except OSError as e:
        yield Source(directory, directory, in_tree=True, error=e.strerror or str(e))
        return
    if ignore:
        own = _rules_of(directory)
        if own is not None:
            rules = [*rules, own]
    for entry in entries:
        if entry.name == ".git":
            continue
        try:
            is_dir = entry.is_dir(follow_symlinks=False)
            st = entry.stat() if not is_dir else None
        except OSError as e:
            yield Source(entry.path, entry.path, in_tree=True, error=e.strerror or str(e))
            continue
        if ignore and _ignored(entry.path, is_dir, rules):
            continue
        if is_dir:
            yield from _walk_dir(entry.path, rules, ignore)
        elif stat.S_ISREG(st.st_mode):
            yield Source(entry.path, entry.path, in_tree=True, size=st.st_size)
        # Other kinds (FIFOs, sockets, devices) and links to directories are not text files.


def _rules_of(directory: str):
    """(directory, spec) of the directory's .gitignore, or None when it has none."""
    path = os.path.join(directory, ".gitignore")
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None
    except OSError as e:
        raise CliError(f"{path}: {e.strerror or e}") from None
    import pathspec

    return directory, pathspec.GitIgnoreSpec.from_lines(lines)


def _parent_rules(top: str) -> list:
    """The rules of .gitignore files above `top`, up to the root of its git repository
    (none when `top` is not inside one), outermost first."""
    rules = []
    here = os.path.abspath(top)
    while True:
        parent = os.path.dirname(here)
        if os.path.exists(os.path.join(here, ".git")) or parent == here:
            break
        own = _rules_of(parent)
        if own is not None:
            rules.append(own)
        here = parent
    if not os.path.exists(os.path.join(here, ".git")):
        return []  # not in a repository: files above it say nothing about this tree
    return rules[::-1]


def _ignored(path: str, is_dir: bool, rules: list) -> bool:
    """Whether git would ignore `path`; the deepest .gitignore with a say decides."""
    for base, spec in reversed(rules):
        rel = os.path.relpath(os.path.abspath(path), os.path.abspath(base))
        if os.sep != "/":
            rel = rel.replace(os.sep, "/")
        result = spec.check_file(rel + "/" if is_dir else rel)
        if result.include is not None:
            return result.include
    return False

"""The `tessel` command line: count, encode and decode tokens of files, directory trees
and standard input, streaming, with one exit status per outcome."""
from .main import main

__all__ = ["main"]

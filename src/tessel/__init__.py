"""tessel: exact byte-pair tokenization for cl100k_base and o200k_base.

A drop-in for tiktoken (``import tessel as tiktoken``): ``get_encoding``,
``encoding_for_model`` and ``Encoding`` give tiktoken's ids, much faster. The lower-level
API lives in ``tessel.bpe`` and ``tessel.bpe.openai``.
"""
from tessel.core import Encoding as Encoding
from tessel.load import load_tiktoken_bpe as load_tiktoken_bpe
from tessel.model import encoding_for_model as encoding_for_model
from tessel.model import encoding_name_for_model as encoding_name_for_model
from tessel.registry import get_encoding as get_encoding
from tessel.registry import list_encoding_names as list_encoding_names


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover
        return "0+unknown"
    try:
        return version("tessel")
    except PackageNotFoundError:
        return "0+unknown"


__version__ = _version()

__all__ = [
    "Encoding",
    "encoding_for_model",
    "encoding_name_for_model",
    "get_encoding",
    "list_encoding_names",
    "load_tiktoken_bpe",
]

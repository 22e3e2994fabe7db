"""quorvane: a fast byte-pair-encoding tokenizer for language-model text."""
from ._core import __version__  # noqa: F401

__all__ = ["Tokenizer", "__version__"]

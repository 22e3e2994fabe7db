"""quorvane: a fast byte-pair-encoding tokenizer for language-model text."""
from ._core import Tokenizer, __version__

__all__ = ["Tokenizer", "__version__"]

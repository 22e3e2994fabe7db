"""Types of the extension module quorvane._core."""

from collections.abc import Sequence
from typing import SupportsIndex, TypedDict, final

import numpy
from numpy.typing import NDArray
from typing_extensions import Buffer

__version__: str
__all__: list[str]

class _EncodedBatch(TypedDict):
    """What `Tokenizer.encode_batch` returns."""

    input_ids: NDArray[numpy.uint32]
    attention_mask: NDArray[numpy.uint8]

class _SpecialPaddedBatch(TypedDict):
    """What `Tokenizer.encode_special_padded` returns."""

    input_ids: NDArray[numpy.int64]
    attention_mask: NDArray[numpy.int64]

@final
class Tokenizer:
    """A BPE tokenizer loaded from a tokenizer.json file."""

    def __new__(cls, path: str) -> Tokenizer:
        """Load the tokenizer.json file at `path`."""
    @property
    def n_vocab(self) -> int:
        """The number of ids in the vocabulary."""
    def __len__(self) -> int:
        """The number of ids in the vocabulary."""
    def __reduce__(self) -> tuple[type[Tokenizer], tuple[str]]:
        """Pickle as the tokenizer.json path; unpickling loads that file again."""
    @staticmethod
    def from_pretrained(repo_id: str, revision: str | None = None) -> Tokenizer:
        """Download a HuggingFace repository's tokenizer.json and load it."""
    @staticmethod
    def from_tiktoken(name: str) -> Tokenizer:
        """Load a tiktoken encoding by name, such as "cl100k_base" or "o200k_base"."""
    def encode_ordinary(self, text: str) -> list[int]:
        """The ids of one text, without special tokens."""
    def encode_ordinary_no_prefix(self, text: str) -> list[int]:
        """As encode_ordinary, but without the metaspace prefix."""
    def set_special_tokens(
        self,
        contents: Sequence[str],
        ids: Sequence[SupportsIndex],
        lstrip: Sequence[bool],
        rstrip: Sequence[bool],
        scheme: SupportsIndex,
    ) -> None:
        """Register special tokens and the prefix scheme (0 none, 1 always, 2 first)."""
    def encode_special(self, text: str) -> list[int]:
        """The ids of one text, with the registered special tokens matched."""
    def encode_special_batch(
        self, texts: Sequence[str], num_threads: SupportsIndex = 0
    ) -> list[list[int]]:
        """encode_special over many texts in parallel."""
    def encode_to_bytes(self, text: str) -> bytes:
        """The ids of one text as native-endian uint32 bytes."""
    def _encode_ordinary_stream(self, text: str) -> list[int]:
        """encode_ordinary with the streaming merger on every piece."""
    def _encode_ordinary_scan(self, text: str) -> list[int]:
        """encode_ordinary with scan-and-merge on every piece."""
    def count_tokens(self, text: str) -> int:
        """The number of ids of one text."""
    def encode_with_offsets(self, text: str) -> tuple[list[int], list[tuple[int, int]]]:
        """The ids of one text and each token's (start, end) byte span in it."""
    def encode_ordinary_batch(
        self, texts: Sequence[str], num_threads: SupportsIndex = 0
    ) -> list[list[int]]:
        """encode_ordinary over many texts in parallel."""
    def count_tokens_batch(
        self, texts: Sequence[str], num_threads: SupportsIndex = 0
    ) -> list[int]:
        """The number of ids of each text, in parallel."""
    def encode_batch(
        self,
        texts: Sequence[str],
        max_length: SupportsIndex | None = None,
        pad_id: SupportsIndex = 0,
        num_threads: SupportsIndex = 0,
    ) -> _EncodedBatch:
        """Padded uint32 ids and a uint8 attention mask of many texts, as numpy arrays."""
    def encode_special_padded(
        self,
        texts: Sequence[str],
        prefix: Sequence[SupportsIndex],
        suffix: Sequence[SupportsIndex],
        max_length: SupportsIndex | None = None,
        pad_id: SupportsIndex = 0,
        truncation: bool = False,
        pad_to_max: bool = False,
        pad_left: bool = False,
        trunc_left: bool = False,
        num_threads: SupportsIndex = 0,
    ) -> _SpecialPaddedBatch:
        """Special-aware ids framed by prefix and suffix, truncated and padded, as int64 arrays."""
    def decode_batch(
        self, sequences: Sequence[Sequence[SupportsIndex]], num_threads: SupportsIndex = 0
    ) -> list[str]:
        """decode over many id sequences in parallel."""
    def decode(self, tokens: Sequence[SupportsIndex]) -> str:
        """The text of a sequence of ids."""
    def decode_array(self, tokens: Buffer) -> str:
        """The text of the ids in a C-contiguous uint32 buffer."""

"""Pieces of split patterns on quorvane's compiled road, observed through ids.

A ByteLevel model whose vocabulary is exactly the reference's pieces (looked up whole,
"ignore_merges") gives one id per piece when our pieces are the reference's. A piece
of ours that the reference does not have cannot hide: found whole it is an id at a
place where the reference has another, and not found it falls apart into bytes, which
the first model leaves without ids unless the reference has them as one-character
pieces there; a second model with a merge for every pair of ASCII characters then
joins two of them, where the reference has single characters. So our pieces equal the
reference's exactly when both models give the reference's ids.
"""

from __future__ import annotations

import json
import pathlib

from tokfiles import byte_level_alphabet

# A second Split that never matches keeps the pattern off the hand-written scanners.
NEVER = "[^\\s\\S]"


def reference_pieces(patterns: list[str], text: str) -> list[str]:
    """The pieces of the reference's Split pre-tokenizers, applied in order."""
    import tokenizers
    from tokenizers.pre_tokenizers import Sequence, Split

    splits = Sequence([Split(tokenizers.Regex(p), behavior="isolated") for p in patterns])
    return [piece for piece, _ in splits.pre_tokenize_str(text)]


def _doc(patterns: list[str], vocab: dict[str, int], merges: list[str]) -> dict:
    splits = [{"type": "Split", "pattern": {"Regex": p}, "behavior": "Isolated", "invert": False}
              for p in [*patterns, NEVER]]
    return {
        "version": "1.0", "truncation": None, "padding": None, "added_tokens": [],
        "normalizer": None,
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
            *splits,
            {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": False, "use_regex": False},
        ]},
        "post_processor": None, "decoder": None,
        "model": {"type": "BPE", "dropout": None, "unk_token": None,
                  "continuing_subword_prefix": None, "end_of_word_suffix": None,
                  "fuse_unk": False, "byte_fallback": False, "ignore_merges": True,
                  "vocab": vocab, "merges": merges},
    }


class PieceProbe:
    """Both models for a chain of patterns and the reference's pieces of a set of texts."""

    def __init__(self, quorvane, tmp: pathlib.Path, patterns: list[str], texts: list[str]):
        alphabet = byte_level_alphabet()
        self.encode = lambda piece: "".join(alphabet[b] for b in piece.encode())
        self.expected = [reference_pieces(patterns, t) for t in texts]
        pieces = sorted({p for ps in self.expected for p in ps})
        vocab = {self.encode(p): i for i, p in enumerate(pieces)}
        self.ids = vocab
        paired = dict(vocab)
        ascii_tokens = [alphabet[b] for b in range(128)]
        for t in ascii_tokens:
            paired.setdefault(t, len(paired))
        merges = []
        for left in ascii_tokens:
            for right in ascii_tokens:
                paired.setdefault(left + right, len(paired))
                merges.append(f"{left} {right}")
        self.models = []
        for name, v, m in (("pieces", vocab, []), ("paired", paired, merges)):
            path = tmp / f"{name}.json"
            path.write_text(json.dumps(_doc(patterns, v, m)), encoding="utf-8")
            self.models.append(quorvane.Tokenizer(str(path)))

    def check(self, index: int, text: str) -> list[str] | None:
        """None when our pieces of texts[index] are the reference's, else the reference's."""
        want = [self.ids[self.encode(p)] for p in self.expected[index]]
        if all(model.encode_ordinary(text) == want for model in self.models):
            return None
        return self.expected[index]

"""Metaspace models (SentencePiece-style byte_fallback) against the reference library.

Small hand-built models whose merges can cross the places where the text could be
cut into words: the ids must not depend on where we cut.
"""
import json

import pytest

import quorvane

tokenizers = pytest.importorskip("tokenizers")

META = "\u2581"
TEXTS = ["a  b", "a b", "  b a", "ab  ba", "b", " ", "   ", "a\tb  a", "\u2581a b", "a \u2581\u2581b"]


def byte_fallback_model(tmp_path, name, pre_tokenizer, normalizer, merges):
    vocab = {"<unk>": 0}
    for b in range(256):
        vocab[f"<0x{b:02X}>"] = len(vocab)
    for t in [META, "a", "b"]:
        vocab[t] = len(vocab)
    for left, right in merges:
        vocab.setdefault(left + right, len(vocab))
    doc = {
        "version": "1.0",
        "added_tokens": [],
        "normalizer": normalizer,
        "pre_tokenizer": pre_tokenizer,
        "post_processor": None,
        "decoder": None,
        "model": {"type": "BPE", "unk_token": "<unk>", "byte_fallback": True,
                  "fuse_unk": True, "vocab": vocab, "merges": [f"{l} {r}" for l, r in merges]},
    }
    path = tmp_path / f"{name}.json"
    path.write_text(json.dumps(doc, ensure_ascii=False))
    return str(path)


MERGES = [(META, META), (META, "b"), (META, "a"), ("a", META), ("b", META + META)]


@pytest.mark.parametrize("split", [True, False])
def test_metaspace_pre_tokenizer_split_flag(tmp_path, split):
    pre = {"type": "Metaspace", "replacement": META, "prepend_scheme": "always", "split": split}
    path = byte_fallback_model(tmp_path, f"split{split}", pre, None, MERGES)
    ours, ref = quorvane.Tokenizer(path), tokenizers.Tokenizer.from_file(path)
    for text in TEXTS:
        assert ours.encode_ordinary(text) == ref.encode(text, add_special_tokens=False).ids, text


@pytest.mark.parametrize("prepend", [True, False])
def test_normalizer_metaspace_with_merges_across_words(tmp_path, prepend):
    stages = [{"type": "Replace", "pattern": {"String": " "}, "content": META}]
    if prepend:
        stages.insert(0, {"type": "Prepend", "prepend": META})
    path = byte_fallback_model(tmp_path, f"norm{prepend}",
                               None, {"type": "Sequence", "normalizers": stages}, MERGES)
    ours, ref = quorvane.Tokenizer(path), tokenizers.Tokenizer.from_file(path)
    for text in TEXTS:
        assert ours.encode_ordinary(text) == ref.encode(text, add_special_tokens=False).ids, text

"""Small tokenizer.json files for the binding tests, written into tmp dirs."""
import json
import os
import pathlib

import pytest


def byte_level_alphabet():
    """The character that stands for each byte value in ByteLevel vocabularies."""
    printable = set(range(0x21, 0x7F)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    table, extra = {}, 0
    for b in range(256):
        if b in printable:
            table[b] = chr(b)
        else:
            table[b] = chr(0x100 + extra)
            extra += 1
    return table


def byte_level_doc(merges=(), normalizer=None, decoder=None, added=()):
    """A ByteLevel BPE model: id b is byte b, then one id per merge, in order."""
    alphabet = byte_level_alphabet()
    vocab = {alphabet[b]: b for b in range(256)}
    rules = []
    for left, right in merges:
        enc_l = "".join(alphabet[b] for b in left.encode())
        enc_r = "".join(alphabet[b] for b in right.encode())
        vocab[enc_l + enc_r] = len(vocab)
        rules.append(f"{enc_l} {enc_r}")
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [
            {"id": len(vocab) + i, "content": c, "single_word": False, "lstrip": False,
             "rstrip": False, "normalized": False, "special": True}
            for i, c in enumerate(added)
        ],
        "normalizer": normalizer,
        "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True,
                          "use_regex": True},
        "post_processor": None,
        "decoder": decoder or {"type": "ByteLevel", "add_prefix_space": False,
                               "trim_offsets": True, "use_regex": True},
        "model": {"type": "BPE", "dropout": None, "unk_token": None,
                  "continuing_subword_prefix": None, "end_of_word_suffix": None,
                  "fuse_unk": False, "byte_fallback": False, "ignore_merges": False,
                  "vocab": vocab, "merges": rules},
    }


METASPACE_VOCAB = ["<unk>"] + [f"<0x{b:02X}>" for b in range(256)] + [
    "\u2581", "a", "b", "\u2581a", "ab", "\u2581ab"]


def metaspace_doc(strip_space=True):
    """A byte_fallback model with a Metaspace pre-tokenizer (SentencePiece style)."""
    vocab = {t: i for i, t in enumerate(METASPACE_VOCAB)}
    decoders = [
        {"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "},
        {"type": "ByteFallback"},
        {"type": "Fuse"},
    ]
    if strip_space:
        decoders.append({"type": "Strip", "content": " ", "start": 1, "stop": 0})
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [],
        "normalizer": None,
        "pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581",
                          "prepend_scheme": "first", "split": False},
        "post_processor": None,
        "decoder": {"type": "Sequence", "decoders": decoders},
        "model": {"type": "BPE", "dropout": None, "unk_token": "<unk>",
                  "continuing_subword_prefix": None, "end_of_word_suffix": None,
                  "fuse_unk": True, "byte_fallback": True, "ignore_merges": False,
                  "vocab": vocab, "merges": ["\u2581 a", "a b", "\u2581a b"]},
    }


def write(dirpath, doc, name="tokenizer.json"):
    path = os.path.join(str(dirpath), name)
    with open(path, "w", encoding="utf-8") as f:
        if isinstance(doc, str):
            f.write(doc)
        else:
            json.dump(doc, f, ensure_ascii=False)
    return path


def shared_tokenizer_paths():
    root = os.environ.get("QUORVANE_TEST_CACHE") or str(
        pathlib.Path(__file__).resolve().parents[2] / ".cache" / "test-data")
    return sorted(pathlib.Path(root, "tokenizers").glob("*.json"))


@pytest.fixture
def bl_path(tmp_path):
    return write(tmp_path, byte_level_doc(merges=[("a", "b"), ("ab", "c")]))


@pytest.fixture
def bl(bl_path):
    from quorvane import Tokenizer
    return Tokenizer(bl_path)


@pytest.fixture
def ms(tmp_path):
    from quorvane import Tokenizer
    return Tokenizer(write(tmp_path, metaspace_doc()))


def borrow_count(tok):
    """The object's borrow counter, read from its last 8 bytes (a leaked borrow
    would leave it non-zero after a call returns)."""
    import ctypes
    return ctypes.c_uint64.from_address(id(tok) + type(tok).__basicsize__ - 8).value

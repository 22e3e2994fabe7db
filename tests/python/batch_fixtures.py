"""Tokenizer files and texts shared by the batch, padded and special-token tests."""
import json
import os
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CACHE = Path(os.environ.get("QUORVANE_TEST_CACHE", ROOT / ".cache" / "test-data"))
SHARED_MODELS = ["gpt2", "llama2", "gemma3", "qwen3", "llama3", "deepseek_v3", "claude", "gpt4o",
                 "gpt35turbo"]

TEXTS = [
    "",
    " ",
    "hello world",
    "The quick brown fox jumps over the lazy dog.",
    "  leading spaces and trailing  ",
    "tabs\tand\nnew lines\r\n",
    "naïve café, über Straße",
    "日本語のテキストと中文",
    "emoji 🙂🚀 mixed with text",
    "numbers 1234567 and 3.14159",
    "the theater then there " * 300,
]


def shared_model(name):
    path = CACHE / "tokenizers" / f"{name}.json"
    if not path.is_file():
        pytest.skip(f"shared test model {name} not available")
    return str(path)


def byte_level_alphabet():
    """The printable stand-ins ByteLevel uses for the 256 byte values."""
    keep = list(range(ord("!"), ord("~") + 1)) + list(range(0xA1, 0xAD)) + list(range(0xAE, 0x100))
    chars = {b: chr(b) for b in keep}
    extra = 0
    for b in range(256):
        if b not in chars:
            chars[b] = chr(256 + extra)
            extra += 1
    return [chars[b] for b in range(256)]


def write_small_byte_level(directory):
    """A small ByteLevel BPE tokenizer.json: 256 byte tokens and a few merges."""
    alphabet = byte_level_alphabet()
    vocab = {c: i for i, c in enumerate(alphabet)}
    merges = [("Ġ", "t"), ("h", "e"), ("Ġt", "he"), ("i", "n"), ("Ġ", "a"), ("e", "r"),
              ("o", "r"), ("Ġthe", "r"), ("Ġ", "w"), ("l", "l"), ("he", "ll"), ("o", "Ġ")]
    for a, b in merges:
        vocab.setdefault(a + b, len(vocab))
    doc = {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [],
        "normalizer": None,
        "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True,
                          "use_regex": True},
        "post_processor": None,
        "decoder": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                    "use_regex": True},
        "model": {"type": "BPE", "dropout": None, "unk_token": None,
                  "continuing_subword_prefix": None, "end_of_word_suffix": None,
                  "fuse_unk": False, "byte_fallback": False, "ignore_merges": False,
                  "vocab": vocab, "merges": [f"{a} {b}" for a, b in merges]},
    }
    path = Path(directory) / "small.json"
    path.write_text(json.dumps(doc, ensure_ascii=False), encoding="utf-8")
    return str(path)

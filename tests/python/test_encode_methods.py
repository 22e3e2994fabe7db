"""The per-text encoders: result forms, their agreement with each other, the
metaspace prefix switch, and encode_with_offsets' checks."""
import struct
import sys

import pytest

from quorvane import Tokenizer
from tokfiles import (METASPACE_VOCAB, bl, bl_path, borrow_count, byte_level_doc,  # noqa: F401
                      ms, shared_tokenizer_paths, write)

LIST_ENCODERS = ["encode_ordinary", "encode_ordinary_no_prefix", "_encode_ordinary_stream",
                 "_encode_ordinary_scan", "encode_special"]
TEXTS = ["", "a", "abc", "abcabc ab c", "hello world", "caf\u00e9 \u4e2d\u6587 \U0001F600",
         "line\nbreak\t tab", "a" * 600, "ab " * 300]


def test_empty_text(bl, ms):
    for tok in (bl, ms):
        for name in LIST_ENCODERS:
            assert getattr(tok, name)("") == []
        assert tok.count_tokens("") == 0
        assert tok.encode_to_bytes("") == b""


@pytest.mark.parametrize("text", TEXTS)
def test_forms_agree(bl, text):
    ids = bl.encode_ordinary(text)
    assert all(type(i) is int for i in ids)
    assert bl.count_tokens(text) == len(ids)
    raw = bl.encode_to_bytes(text)
    assert type(raw) is bytes and len(raw) == 4 * len(ids)
    assert list(struct.unpack(f"={len(ids)}I", raw)) == ids
    # No metaspace and no special tokens: every list encoder gives the same ids.
    for name in LIST_ENCODERS:
        assert getattr(bl, name)(text) == ids, name
    assert bl.decode(ids) == text


def test_merges_are_applied(bl):
    assert bl.encode_ordinary("ab") == [256]
    assert bl.encode_ordinary("abc") == [257]
    assert bl.encode_ordinary("cab") == [ord("c"), 256]


@pytest.mark.skipif(sys.byteorder != "little", reason="byte layout shown for little-endian")
def test_encode_to_bytes_is_native_uint32(tmp_path):
    tok = Tokenizer(write(tmp_path, byte_level_doc(merges=[("a", "b")])))
    assert tok.encode_ordinary("\x01ab") == [1, 256]
    assert tok.encode_to_bytes("\x01ab") == bytes([1, 0, 0, 0, 0, 1, 0, 0])


def test_metaspace_prefix_switch(ms):
    a = METASPACE_VOCAB.index
    assert ms.encode_ordinary("ab") == [a("\u2581ab")]
    assert ms.encode_ordinary_no_prefix("ab") == [a("ab")]
    assert ms.encode_special("ab") == ms.encode_ordinary("ab")
    assert ms.decode(ms.encode_ordinary("ab ab")) == "ab ab"


def test_encode_with_offsets(bl, ms):
    ids, spans = bl.encode_with_offsets("abc ab")
    assert ids == bl.encode_ordinary("abc ab")
    assert all(type(s) is tuple and len(s) == 2 for s in spans)
    assert spans == [(0, 3), (3, 4), (4, 6)]
    assert bl.encode_with_offsets("") == ([], [])
    ids, spans = bl.encode_with_offsets("\u00e9x")
    assert spans[0] == (0, 1) and spans[-1][1] == 3
    with pytest.raises(ValueError) as info:
        ms.encode_with_offsets("ab")
    assert str(info.value) == (
        "encode_with_offsets is only available for ByteLevel models (byte_fallback/SentencePiece"
        " transform the text, so offsets wouldn't map to the original)")
    with pytest.raises(TypeError, match=r"^argument 'text': 'int' object"):
        bl.encode_with_offsets(3)
    assert borrow_count(bl) == 0 and borrow_count(ms) == 0


def test_offsets_refuse_unnormalized_text(tmp_path):
    tok = Tokenizer(write(tmp_path, byte_level_doc(normalizer={"type": "NFC"})))
    assert tok.encode_with_offsets("plain")[0] == tok.encode_ordinary("plain")
    with pytest.raises(ValueError, match="^encode_with_offsets: input is not already normalized"):
        tok.encode_with_offsets("e\u0301")


@pytest.mark.parametrize("path", shared_tokenizer_paths(), ids=lambda p: p.stem)
def test_encoders_match_reference(path):
    hf = pytest.importorskip("tokenizers")
    try:
        tok = Tokenizer(str(path))
    except ValueError as e:
        pytest.skip(f"not loadable here: {e}")
    ref = hf.Tokenizer.from_file(str(path))
    for text in ["Hello, world! It's 2024.", "  two  spaces\n\nand\ttabs", "caf\u00e9 na\u00efve",
                 "\u4e2d\u6587\u5b57 \U0001F600 \u0645\u0631\u062d\u0628\u0627", "x" * 700]:
        want = ref.encode(text, add_special_tokens=False).ids
        got = tok.encode_ordinary(text)
        assert got == want, text
        assert tok.count_tokens(text) == len(want)
        assert tok._encode_ordinary_stream(text) == want
        assert tok._encode_ordinary_scan(text) == want


def test_repeated_words_across_models_match_uncached_merging():
    # Models taking turns on one thread (and on the batch workers) share the
    # thread's cache of merged pieces; the forced scan merger never uses it.
    paths = {p.stem: p for p in shared_tokenizer_paths()}
    toks = [Tokenizer(str(paths[name])) for name in ("gpt2", "gpt4o", "llama2") if name in paths]
    if len(toks) < 2:
        pytest.skip("shared tokenizers absent")
    words = ["Verantwortung", "\u043f\u0440\u0430\u0432\u043e\u0432\u043e\u0439",
             "\u0938\u094d\u0935\u0924\u0902\u0924\u094d\u0930\u0924\u093e", "xQz9v", "naïveté",
             "\u4eba\u4eba\u751f\u800c\u81ea\u7531", "aGVsbG8gd29ybGQ=" * 3]
    texts = [" ".join(words[(i + k) % len(words)] for k in range(i % 5 + 2)) for i in range(40)]
    for text in texts:
        for tok in toks:
            assert tok.encode_ordinary(text) == tok._encode_ordinary_scan(text), text
    for tok in toks:
        assert tok.encode_ordinary_batch(texts, num_threads=4) == [
            tok._encode_ordinary_scan(t) for t in texts]

"""encode_with_offsets on the shared ByteLevel models: the ids are encode_ordinary's,
and the spans are ordered, disjoint, cover every byte that has an id exactly once,
and hold each token's own bytes."""
import unicodedata

import pytest

import quorvane
from conftest import ADVERSARIAL_TEXTS, mail_records, model_path, sample, udhr_records

BYTE_LEVEL = ["gpt2", "claude", "gpt35turbo", "gpt4o", "qwen3", "deepseek_v3"]
NORMAL_FORM = {"claude": "NFKC", "qwen3": "NFC"}


@pytest.fixture(scope="module", params=BYTE_LEVEL)
def model(request):
    return request.param, quorvane.Tokenizer(model_path(request.param))


def texts_for(name):
    texts = [r["text"] for r in sample(mail_records(), 40, seed=3)]
    texts += [r["text"] for r in sample(udhr_records(), 60, seed=4)]
    texts += ADVERSARIAL_TEXTS
    form = NORMAL_FORM.get(name)
    return [t for t in texts if form is None or unicodedata.is_normalized(form, t)]


def test_offsets_match_ids_and_bytes(model):
    name, tok = model
    for text in texts_for(name):
        ids, spans = tok.encode_with_offsets(text)
        assert ids == tok.encode_ordinary(text), (name, text[:80])
        data = text.encode("utf-8")
        last = 0
        covered = 0
        for tid, (start, end) in zip(ids, spans):
            assert last <= start < end <= len(data), (name, text[:80])
            covered += end - start
            last = end
        # Every byte of these models has an id, so the spans tile the text.
        assert covered == len(data) and (not spans or (spans[0][0] == 0 and last == len(data)))
        # Each token's decoded bytes are exactly the bytes under its span.
        pieces = b"".join(data[s:e] for s, e in spans)
        assert pieces == data
        for tid, (start, end) in zip(ids[:400], spans[:400]):
            assert token_bytes(tok, tid) == data[start:end], (name, tid, text[:80])


_TABLES = {}


def token_bytes(tok, tid):
    """The bytes a ByteLevel vocabulary text stands for, read from the model's file."""
    import json

    path = tok.__reduce__()[1][0]
    table = _TABLES.get(path)
    if table is None:
        with open(path, encoding="utf-8") as f:
            vocab = json.load(f)["model"]["vocab"]
        inverse = byte_level_inverse()
        table = {i: b"".join(bytes([inverse[c]]) if c in inverse else c.encode() for c in text)
                 for text, i in vocab.items()}
        _TABLES[path] = table
    return table[tid]


def byte_level_inverse():
    printable = set(range(0x21, 0x7F)) | set(range(0xA1, 0xAD)) | set(range(0xAE, 0x100))
    table, extra = {}, 0
    for b in range(256):
        if b in printable:
            table[chr(b)] = b
        else:
            table[chr(0x100 + extra)] = b
            extra += 1
    return table


def test_split_character_spans():
    tok = quorvane.Tokenizer(model_path("gpt2"))
    # Three bytes that GPT-2 encodes as two tokens, and four bytes as three.
    assert tok.encode_with_offsets("\u9fa5") == ([11737, 98], [(0, 2), (2, 3)])
    assert tok.encode_with_offsets("\U0001f9ea") == ([8582, 100, 103], [(0, 2), (2, 3), (3, 4)])


def test_offsets_count_bytes_not_characters():
    tok = quorvane.Tokenizer(model_path("gpt2"))
    ids, spans = tok.encode_with_offsets("\u00e9 x")
    assert spans[-1] == (2, 4)  # " x" starts after the two bytes of é


def test_refusals_on_shared_models():
    with pytest.raises(ValueError, match="^encode_with_offsets is only available for ByteLevel"):
        quorvane.Tokenizer(model_path("llama2")).encode_with_offsets("abc")
    with pytest.raises(ValueError, match="^encode_with_offsets: input is not already normalized"):
        quorvane.Tokenizer(model_path("claude")).encode_with_offsets("\ufb01")
    with pytest.raises(ValueError, match="^encode_with_offsets: this model's merge table is non-monotonic"):
        quorvane.Tokenizer(model_path("llama3")).encode_with_offsets("abc")

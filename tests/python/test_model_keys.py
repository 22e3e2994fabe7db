"""The model's own keys (type, dropout, affixes, unk_token, fuse_unk, flags,
byte tokens, repeated merges) over small generated files: each variant is
either refused with a ValueError or gives the reference library's ids and text."""
import json
import random

import pytest

from quorvane import Tokenizer
from tokfiles import byte_level_alphabet, byte_level_doc, metaspace_doc, write

TEXTS = ["abcabc b", "ab ba cab", "a\u2603b \u2603\u2603 c\u00e9", "\x0f\x0e ab", "x  aab",
         "<0xe2> <0x+F> <unk>", " bc\u00a0c  ", ""]

KEY_VALUES = {
    "type": ["BPE", "WordPiece", None],
    "dropout": [None, 0, 0.5],
    "continuing_subword_prefix": [None, "", "##"],
    "end_of_word_suffix": [None, "", "</w>"],
    "unk_token": [None, "<unk>", "zzz", 5],
    "fuse_unk": [False, True, 1],
    "byte_fallback": ["same", None, "true"],  # "same": the base file's own value
    "ignore_merges": [False, True, 1],
    "extra": [None, "x"],
}


def byte_level_base(rng):
    doc = byte_level_doc(merges=[("a", "b"), ("ab", "c"), ("b", "c"), ("c", "a")])
    doc["model"]["merges"].insert(3, "a b")  # listed twice: counts at its later place
    vocab = doc["model"]["vocab"]
    vocab["<unk>"] = len(vocab)
    alphabet = byte_level_alphabet()
    for b in rng.sample([0xE2, 0x98, 0x20, 0x0F, 0xC3], rng.randrange(4)):
        del vocab[alphabet[b]]
    if rng.random() < 0.3:
        vocab[" "] = len(vocab) + 10  # decodes to a space, but is not the space's text
    if rng.random() < 0.5:
        doc["model"].update(unk_token="<unk>", fuse_unk=rng.random() < 0.5)
    return doc


def byte_fallback_base(rng):
    doc = metaspace_doc()
    model = doc["model"]
    model["merges"] += ["\u2581 a", "b c"]
    texts = list(model["vocab"])
    for t in rng.sample(["<0xE2>", "<0x0F>", "<0x63>", "<0xC3>"], rng.randrange(3)):
        texts[texts.index(t)] = t.lower() if rng.random() < 0.5 else t.replace("0x0", "0x+")
    texts += ["c", "bc"]
    model["vocab"] = {t: i for i, t in enumerate(texts)}
    model["fuse_unk"] = rng.random() < 0.5
    return doc


def variants(rng, count):
    for _ in range(count):
        byte_fallback = rng.random() < 0.5
        doc = byte_fallback_base(rng) if byte_fallback else byte_level_base(rng)
        model = doc["model"]
        model["byte_fallback"] = byte_fallback
        for key in rng.sample(sorted(KEY_VALUES), rng.randrange(1, 4)):
            value = rng.choice(KEY_VALUES[key])
            if key == "extra":
                if value is not None:
                    model["extra"] = value
            elif key == "type" and value is None:
                model.pop("type")
            elif key == "byte_fallback" and value is None and byte_fallback:
                continue
            elif value == "same":
                continue
            else:
                model[key] = value
        yield doc


def reference_outputs(tokenizers, doc):
    """Ids and decoded text per text, or None when the reference cannot run the file."""
    try:
        ref = tokenizers.Tokenizer.from_str(json.dumps(dict(doc, added_tokens=[])))
        out = []
        for text in TEXTS:
            ids = ref.encode(text, add_special_tokens=False).ids
            out.append((ids, ref.decode(ids, skip_special_tokens=False)))
        return out
    except BaseException as e:  # includes the reference's panics
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return None


def test_model_key_variants_load_exact_or_are_refused(tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    rng = random.Random(7)
    loaded = 0
    for n, doc in enumerate(variants(rng, 160)):
        path = write(tmp_path, doc, f"v{n}.json")
        try:
            tok = Tokenizer(path)
        except ValueError as e:
            assert str(e).startswith("unsupported "), (doc["model"], e)
            continue
        loaded += 1
        expected = reference_outputs(tokenizers, doc)
        assert expected is not None, f"loads but the reference refuses it: {path}"
        got = [(ids, tok.decode(ids)) for ids in map(tok.encode_ordinary, TEXTS)]
        assert got == expected, (path, {k: v for k, v in doc["model"].items()
                                        if k not in ("vocab", "merges")})
    assert loaded > 40


@pytest.mark.parametrize("key,value", [
    ("type", "WordPiece"), ("dropout", 0.1), ("continuing_subword_prefix", "##"),
    ("end_of_word_suffix", "</w>"), ("fuse_unk", 1), ("unk_token", 5), ("extra", [1, 2])])
def test_refusals_name_key_and_value(tmp_path, key, value):
    doc = byte_level_doc()
    doc["model"][key] = value
    with pytest.raises(ValueError, match=r'^unsupported model "%s": %s \(' % (
            key, json.dumps(value, separators=(",", ":")).replace("[", r"\[").replace("]", r"\]"))):
        Tokenizer(write(tmp_path, doc))


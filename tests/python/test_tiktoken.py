"""tiktoken encodings: the cached conversion to tokenizer.json and ids equal to tiktoken's.

Runs without network: the cache directory is a temporary one holding the shared rank files, and
the reference `tiktoken.Encoding` is built from the same files and meta.json patterns.
"""

from __future__ import annotations

import json
import os
import sys

import pytest

from conftest import FULL, REPO, TIKTOKEN_NAMES, mail_records, sample, tiktoken_files, udhr_records
from conftest import ADVERSARIAL_TEXTS as ADVERSARIAL

try:
    from quorvane import _tiktoken
except ImportError:  # the extension is not built: the conversion itself is still testable
    import importlib.util

    _spec = importlib.util.spec_from_file_location("_tiktoken", REPO / "python" / "quorvane" / "_tiktoken.py")
    _tiktoken = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(_tiktoken)

tiktoken = pytest.importorskip("tiktoken")
from tiktoken.load import load_tiktoken_bpe  # noqa: E402


@pytest.fixture(scope="module")
def rank_cache(tmp_path_factory):
    """A cache directory holding links to the shared rank files, set as QUORVANE_CACHE_DIR."""
    directory = tmp_path_factory.mktemp("tiktoken-cache")
    for name in TIKTOKEN_NAMES:
        ranks, _ = tiktoken_files(name)
        (directory / ranks.name).symlink_to(ranks)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("QUORVANE_CACHE_DIR", str(directory))
        yield directory


@pytest.fixture
def empty_cache(tmp_path, monkeypatch):
    monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path))
    return tmp_path


_ENCODINGS: dict = {}


def reference(name: str):
    if name not in _ENCODINGS:
        ranks, meta = tiktoken_files(name)
        _ENCODINGS[name] = tiktoken.Encoding(
            name,
            pat_str=meta["pat_str"],
            mergeable_ranks=load_tiktoken_bpe(str(ranks)),
            special_tokens=meta["special_tokens"],
        )
    return _ENCODINGS[name]


def texts_for(kind: str, count: int | None = 100) -> list[str]:
    if kind == "mail":
        return [r["text"] for r in sample(mail_records(), count, 11)]
    if kind == "udhr":
        return [r["text"] for r in sample(udhr_records(), count, 12)]
    return ADVERSARIAL + [f"x {t} y" for t in ADVERSARIAL]


def assert_same_as_tiktoken(tok, name: str, texts: list[str]) -> None:
    enc = reference(name)
    for text in texts:
        got, want = tok.encode_ordinary(text), enc.encode_ordinary(text)
        assert got == want, f"{name}: ids differ on {text[:80]!r}\n  ours: {got[:40]}\n  tiktoken: {want[:40]}"
        assert tok.decode(got) == text


# --------------------------------------------------------------------------- ids


@pytest.mark.parametrize("kind", ["mail", "udhr", "adversarial"])
@pytest.mark.parametrize("name", TIKTOKEN_NAMES)
def test_ids_equal_tiktoken(rank_cache, quorvane_module, name, kind):
    assert_same_as_tiktoken(quorvane_module.Tokenizer.from_tiktoken(name), name, texts_for(kind))


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["mail", "udhr"])
@pytest.mark.parametrize("name", TIKTOKEN_NAMES)
def test_ids_equal_tiktoken_full(rank_cache, quorvane_module, name, kind):
    assert_same_as_tiktoken(quorvane_module.Tokenizer.from_tiktoken(name), name, texts_for(kind, None))


@pytest.mark.parametrize("name", TIKTOKEN_NAMES)
def test_generated_text_equals_tiktoken(rank_cache, quorvane_module, name):
    from hypothesis import HealthCheck, given, settings

    from test_reference import GENERATED_TEXT

    tok = quorvane_module.Tokenizer.from_tiktoken(name)
    enc = reference(name)

    @settings(max_examples=1000 if FULL else 80, derandomize=True, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(GENERATED_TEXT)
    def check(text):
        assert tok.encode_ordinary(text) == enc.encode_ordinary(text), f"{name}: {text!r}"

    check()


@pytest.mark.parametrize("name", TIKTOKEN_NAMES)
def test_conversion_is_exact_for_huggingface_tokenizers(rank_cache, name):
    # Checks the generated file itself, independently of quorvane's engine.
    tokenizers = pytest.importorskip("tokenizers")
    hf = tokenizers.Tokenizer.from_file(_tiktoken.get_cached_tokenizer_path(name))
    texts = texts_for("udhr")[:40] + texts_for("mail")[:40] + texts_for("adversarial")
    enc = reference(name)
    got = [e.ids for e in hf.encode_batch(texts, add_special_tokens=False)]
    assert got == enc.encode_ordinary_batch(texts)


def test_generated_file_shape(rank_cache):
    path = _tiktoken.get_cached_tokenizer_path("cl100k_base")
    doc = json.loads(open(path, encoding="utf-8").read())
    split, byte_level = doc["pre_tokenizer"]["pretokenizers"]
    assert (split["behavior"], split["invert"], byte_level["use_regex"]) == ("Isolated", False, False)
    assert "(?i:" in split["pattern"]["Regex"]  # keeps the loader on its fast scanner
    assert doc["decoder"]["type"] == "ByteLevel"
    assert {t["content"]: t["id"] for t in doc["added_tokens"]} == tiktoken_files("cl100k_base")[1]["special_tokens"]
    assert doc["model"]["vocab"]["Ġthe"] == reference("cl100k_base").encode_single_token(b" the")
    assert len(doc["model"]["merges"]) == len(doc["model"]["vocab"]) - 256

    o200k = json.loads(open(_tiktoken.get_cached_tokenizer_path("o200k_base"), encoding="utf-8").read())
    assert "[\\p{Lu}\\p{Lt}" in o200k["pre_tokenizer"]["pretokenizers"][0]["pattern"]["Regex"]
    gpt2 = json.loads(open(_tiktoken.get_cached_tokenizer_path("r50k_base"), encoding="utf-8").read())
    pattern = gpt2["pre_tokenizer"]["pretokenizers"][0]["pattern"]["Regex"]
    assert len(pattern.encode()) == 71 and pattern.startswith("'(?:[sdmt]|ll|ve|re)")


def test_p50k_edit_and_gpt2_alias(rank_cache, quorvane_module):
    edit = quorvane_module.Tokenizer.from_tiktoken("p50k_edit")
    base = quorvane_module.Tokenizer.from_tiktoken("p50k_base")
    assert edit.n_vocab == 50284 and base.n_vocab == 50281
    text = "def f(x):\n    return x  # fim"
    assert edit.encode_ordinary(text) == base.encode_ordinary(text)
    assert _tiktoken.get_cached_tokenizer_path("gpt2") == _tiktoken.get_cached_tokenizer_path("r50k_base")
    assert quorvane_module.Tokenizer.from_tiktoken("gpt2").n_vocab == 50257


# --------------------------------------------------------------------------- cache


def test_second_call_reuses_the_cached_file(rank_cache, monkeypatch):
    path = _tiktoken.get_cached_tokenizer_path("r50k_base")
    before = os.stat(path)

    def no_rebuild(*args, **kwargs):
        raise AssertionError("rebuilt a valid cached file")

    monkeypatch.setattr(_tiktoken, "build_tokenizer_json", no_rebuild)
    assert _tiktoken.get_cached_tokenizer_path("r50k_base") == path
    assert os.stat(path).st_mtime_ns == before.st_mtime_ns


@pytest.mark.parametrize(
    "damage",
    [
        lambda data: data[: len(data) // 2],  # a partial write
        lambda data: b"",
        lambda data: data.replace(b'"format":1', b'"format":0'),  # an older format
        lambda data: b'{"model": {"vocab": {}, "merges": []}, "added_tokens": []}',
    ],
)
def test_damaged_cache_is_rebuilt(rank_cache, damage):
    path = _tiktoken.get_cached_tokenizer_path("r50k_base")
    good = open(path, "rb").read()
    with open(path, "wb") as f:
        f.write(damage(good))
    assert _tiktoken.get_cached_tokenizer_path("r50k_base") == path
    assert json.loads(open(path, "rb").read()) == json.loads(good)
    leftovers = [p.name for p in rank_cache.iterdir() if p.name.endswith(".tmp")]
    assert leftovers == []


def test_vocab_damage_is_detected(rank_cache):
    path = _tiktoken.get_cached_tokenizer_path("r50k_base")
    doc = json.loads(open(path, encoding="utf-8").read())
    del doc["model"]["vocab"]["Hello"]  # a file edited by hand: the marker no longer matches
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f)
    _tiktoken.get_cached_tokenizer_path("r50k_base")
    assert "Hello" in json.loads(open(path, encoding="utf-8").read())["model"]["vocab"]


def test_unknown_name_lists_known_ones(empty_cache):
    with pytest.raises(ValueError) as err:
        _tiktoken.get_cached_tokenizer_path("p100k_base")
    for known in ("r50k_base", "p50k_base", "p50k_edit", "cl100k_base", "o200k_base", "gpt2"):
        assert known in str(err.value)
    assert list(empty_cache.iterdir()) == []


def test_unknown_name_through_the_class(empty_cache, quorvane_module):
    with pytest.raises(ValueError, match="o200k_base"):
        quorvane_module.Tokenizer.from_tiktoken("nope")


def test_missing_rank_source(empty_cache, monkeypatch):
    monkeypatch.setitem(sys.modules, "tiktoken", None)  # import fails
    with pytest.raises(ValueError) as err:
        _tiktoken.get_cached_tokenizer_path("cl100k_base")
    assert "cl100k_base.tiktoken" in str(err.value) and str(empty_cache) in str(err.value)
    assert not (empty_cache / "cl100k_base.tokenizer.json").exists()


def test_rank_file_errors_name_the_line(empty_cache):
    (empty_cache / "r50k_base.tiktoken").write_bytes(b"IQ== 0\nnot-base64!! 1\n")
    with pytest.raises(ValueError, match="line 2"):
        _tiktoken.get_cached_tokenizer_path("r50k_base")


def test_cache_directory_resolution(monkeypatch, tmp_path):
    monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / "explicit"))
    assert _tiktoken.cache_dir() == tmp_path / "explicit"
    monkeypatch.delenv("QUORVANE_CACHE_DIR")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    assert _tiktoken.cache_dir() == tmp_path / "xdg" / "quorvane"
    monkeypatch.delenv("XDG_CACHE_HOME")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert _tiktoken.cache_dir() == tmp_path / "home" / ".cache" / "quorvane"


def test_from_tiktoken_remembers_the_cached_path(rank_cache, quorvane_module):
    tok = quorvane_module.Tokenizer.from_tiktoken("cl100k_base")
    assert str(rank_cache / "cl100k_base.tokenizer.json") in repr(tok)
    assert tok.n_vocab == 100277


def test_merges_follow_bpe_over_lower_ranks():
    ranks = {bytes([b]): b for b in range(256)}
    ranks.update({b"aa": 256, b"aaa": 257, b"bc": 258, b"abc": 259, b"ab": 260, b"xyz": 261, b" \xc3": 262})
    doc = _tiktoken.build_tokenizer_json(ranks, "x", {"<|end|>": 263})
    merges = doc["model"]["merges"]
    # "aaa": both pairs are "aa"; the leftmost merges first, leaving "aa" + "a".
    # "abc": "bc" (258) merges before "ab" (260) exists, so the last parts are "a" + "bc".
    # "xyz": no lower-ranked pair joins its bytes, so it gets no merge at all.
    assert merges == ["a a", "aa a", "b c", "a bc", "a b", "Ġ Ã"]
    assert doc["model"]["vocab"]["ĠÃ"] == 262 and doc["model"]["vocab"]["Ā"] == 0
    assert doc["added_tokens"][0]["content"] == "<|end|>" and doc["added_tokens"][0]["id"] == 263

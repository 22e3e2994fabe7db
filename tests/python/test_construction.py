"""Construction: the path constructor and its loader refusals, the two static
constructors, pickling, repr and len."""
import json
import os
import pathlib
import pickle
import subprocess
import sys
import types

import pytest

from quorvane import Tokenizer
from tokfiles import bl, bl_path, byte_level_doc, metaspace_doc, write  # noqa: F401

NORMALIZER_REFUSAL = (
    'unsupported normalizer stage "Strip": this model rewrites text in a way quorvane does '
    "not reproduce (only NFC/NFD/NFKC/NFKD and the SentencePiece metaspace Prepend/Replace "
    "are modeled)")


def refusal(path):
    with pytest.raises(ValueError) as info:
        Tokenizer(path)
    assert type(info.value) is ValueError and len(info.value.args) == 1
    return info.value.args[0]


def test_loader_refusals_surface_as_value_error(tmp_path):
    missing = str(tmp_path / "absent.json")
    assert refusal(missing).startswith(f"cannot read {missing}: ")
    assert refusal(write(tmp_path, "{", "bad.json")).startswith("bad JSON: ")
    assert refusal(write(tmp_path, {"vocab": {}}, "nomodel.json")) == "no model"
    doc = byte_level_doc()
    doc["normalizer"] = {"type": "Strip", "strip_left": True, "strip_right": True}
    assert refusal(write(tmp_path, doc, "strip.json")) == NORMALIZER_REFUSAL
    doc = byte_level_doc()
    doc["pre_tokenizer"] = None
    assert refusal(write(tmp_path, doc, "nopre.json")) == (
        "unsupported pre_tokenizer (ByteLevel or byte_fallback)")
    doc = metaspace_doc()
    doc["pre_tokenizer"] = {"type": "Whitespace"}
    assert refusal(write(tmp_path, doc, "bfpre.json")) == (
        "unsupported pre_tokenizer for byte_fallback model (cannot be reproduced; refusing to "
        "mistokenize)")
    doc = byte_level_doc()
    del doc["model"]["vocab"]
    assert refusal(write(tmp_path, doc, "novocab.json")) == "no vocab"


def test_path_must_be_str(bl_path):
    for value, type_name in [(pathlib.Path(bl_path), type(pathlib.Path(bl_path)).__qualname__),
                             (bl_path.encode(), "bytes")]:
        with pytest.raises(TypeError) as info:
            Tokenizer(value)
        assert str(info.value) == (
            f"argument 'path': '{type_name}' object is not an instance of 'str'")
    with pytest.raises(TypeError, match=r"^argument 'path': 'None' is not an instance of 'str'$"):
        Tokenizer(None)


def test_path_kept_as_given_and_keyword_form(tmp_path, monkeypatch):
    write(tmp_path, byte_level_doc())
    monkeypatch.chdir(tmp_path)
    tok = Tokenizer(path="./tokenizer.json")
    assert tok.__reduce__() == (Tokenizer, ("./tokenizer.json",))
    assert repr(tok) == 'Tokenizer(n_vocab=256, path="./tokenizer.json")'


def test_pickle_round_trip_reloads_the_file(tmp_path):
    path = write(tmp_path, byte_level_doc(merges=[("a", "b")]))
    tok = Tokenizer(path)
    reduced = tok.__reduce__()
    assert reduced[0] is Tokenizer and reduced[1] == (path,)
    clone = pickle.loads(pickle.dumps(tok))
    assert clone is not tok and clone.n_vocab == tok.n_vocab == 257
    assert repr(clone) == repr(tok)
    write(tmp_path, byte_level_doc(merges=[("a", "b"), ("c", "d")]))
    assert pickle.loads(pickle.dumps(tok)).n_vocab == 258


def test_files_of_any_size_and_kind_read_whole(tmp_path):
    # Sizes around the first read block, a file that cannot seek (a FIFO), a directory.
    text = json.dumps(byte_level_doc())
    for size in (len(text), 65535, 65536, 65537, 3 * 65536 + 7):
        path = write(tmp_path, text + " " * (size - len(text)), f"pad{size}.json")
        assert os.path.getsize(path) == size
        assert len(Tokenizer(path)) == 256
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    script = f"import sys; sys.stdout.write({text!r} + ' ' * 200000)"
    end = os.open(fifo, os.O_RDWR)  # does not wait for a reader; the writer keeps it
    writer = subprocess.Popen([sys.executable, "-c", script], stdout=end)
    os.close(end)
    try:
        assert len(Tokenizer(str(fifo))) == 256
    finally:
        writer.wait(timeout=60)
    assert refusal(str(tmp_path)) == f"cannot read {tmp_path}: Is a directory (os error 21)"


@pytest.mark.parametrize("name, shown", [
    ('q"uote', 'q\\"uote'),
    ("back\\slash", "back\\\\slash"),
    ("caf\u00e9", "caf\u00e9"),
    ("nb\u00a0sp", "nb\\u{a0}sp"),
    ("tab\tnl\ncr\r", "tab\\tnl\\ncr\\r"),
    ("it's", "it's"),
    ("e\u0301", "e\\u{301}"),          # Grapheme_Extend
    ("zw\u200bsp", "zw\\u{200b}sp"),    # Cf
    ("bell\x07", "bell\\u{7}"),         # Cc
    ("pu\ue000", "pu\\u{e000}"),        # Co
    ("ls\u2028", "ls\\u{2028}"),        # Zl
    ("sp ace", "sp ace"),
    ("\u4e2d\u6587", "\u4e2d\u6587"),
])
def test_repr_quotes_the_path(tmp_path, name, shown):
    directory = tmp_path / name
    directory.mkdir()
    path = write(directory, byte_level_doc(), "tok.json")
    tok = Tokenizer(path)
    prefix = str(tmp_path)
    assert repr(tok) == f'Tokenizer(n_vocab=256, path="{prefix}/{shown}/tok.json")'
    assert len(tok) == tok.n_vocab == 256


@pytest.fixture
def fake_hub(monkeypatch):
    calls = []
    module = types.ModuleType("huggingface_hub")

    def hf_hub_download(*args, **kwargs):
        calls.append((args, kwargs))
        return module.result

    module.hf_hub_download = hf_hub_download
    monkeypatch.setitem(sys.modules, "huggingface_hub", module)
    return module, calls


def test_from_pretrained_call_shape(fake_hub, bl_path):
    module, calls = fake_hub
    module.result = bl_path
    tok = Tokenizer.from_pretrained("org/model")
    assert type(tok) is Tokenizer and tok.__reduce__()[1] == (bl_path,)
    Tokenizer.from_pretrained("org/model", "v1")
    Tokenizer.from_pretrained(repo_id="org/model", revision=None)
    Tokenizer.from_pretrained("org/model", revision="main")
    assert calls == [
        (("org/model", "tokenizer.json"), {}),
        (("org/model", "tokenizer.json"), {"revision": "v1"}),
        (("org/model", "tokenizer.json"), {}),
        (("org/model", "tokenizer.json"), {"revision": "main"}),
    ]
    assert all(type(a[0]) is str for a, _ in calls)


def test_from_pretrained_errors(fake_hub, bl_path, monkeypatch):
    module, calls = fake_hub
    module.result = pathlib.Path(bl_path)
    with pytest.raises(TypeError) as info:
        Tokenizer.from_pretrained("org/model")
    assert str(info.value) == (
        f"'{type(module.result).__qualname__}' object is not an instance of 'str'")
    with pytest.raises(TypeError, match=r"^argument 'repo_id': 'int' object"):
        Tokenizer.from_pretrained(1)
    with pytest.raises(TypeError, match=r"^argument 'revision': 'int' object"):
        Tokenizer.from_pretrained("org/model", 1)
    assert len(calls) == 1  # argument errors come before the download

    def failing(*args, **kwargs):
        raise OSError("offline")
    module.hf_hub_download = failing
    with pytest.raises(OSError, match="^offline$"):
        Tokenizer.from_pretrained("org/model")
    del module.hf_hub_download
    with pytest.raises(AttributeError):
        Tokenizer.from_pretrained("org/model")
    module.result = str(pathlib.Path(bl_path).parent / "gone.json")
    module.hf_hub_download = lambda *a, **k: module.result
    with pytest.raises(ValueError, match="^cannot read "):
        Tokenizer.from_pretrained("org/model")


def test_from_pretrained_without_huggingface_hub(monkeypatch):
    monkeypatch.setitem(sys.modules, "huggingface_hub", None)  # import raises ImportError
    with pytest.raises(ValueError) as info:
        Tokenizer.from_pretrained("org/model")
    assert info.value.args == (
        "from_pretrained requires huggingface_hub (pip install huggingface_hub)",)


def test_from_pretrained_with_real_hub_cache(tmp_path):
    pytest.importorskip("huggingface_hub")
    cache = tmp_path / "hub"
    commit = "0123456789abcdef0123456789abcdef01234567"
    repo = cache / "models--someorg--tiny"
    snapshot = repo / "snapshots" / commit
    snapshot.mkdir(parents=True)
    (repo / "refs").mkdir()
    (repo / "refs" / "main").write_text(commit)
    write(snapshot, byte_level_doc(merges=[("a", "b")]))
    env = dict(os.environ, HF_HOME=str(tmp_path / "home"), HF_HUB_CACHE=str(cache),
               HF_HUB_OFFLINE="1", PYTHONPATH=os.pathsep.join(sys.path))
    script = (
        "from quorvane import Tokenizer\n"
        "t = Tokenizer.from_pretrained('someorg/tiny')\n"
        "print(t.n_vocab)\n"
        "print(t.__reduce__()[1][0])\n"
        f"print(Tokenizer.from_pretrained('someorg/tiny', revision='{commit}').n_vocab)\n")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    n, path, n2 = out.stdout.split("\n")[:3]
    assert n == n2 == "257"
    assert path.endswith(f"snapshots/{commit}/tokenizer.json") and path.startswith(str(cache))


def test_from_tiktoken_uses_the_package_cache(monkeypatch, bl_path):
    calls = []
    module = types.ModuleType("quorvane._tiktoken")

    def get_cached_tokenizer_path(*args, **kwargs):
        calls.append((args, kwargs))
        return module.result

    module.get_cached_tokenizer_path = get_cached_tokenizer_path
    monkeypatch.setitem(sys.modules, "quorvane._tiktoken", module)
    module.result = bl_path
    tok = Tokenizer.from_tiktoken("cl100k_base")
    assert calls == [(("cl100k_base",), {})]
    assert tok.__reduce__()[1] == (bl_path,) and tok.n_vocab == 258
    module.result = 7
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'str'$"):
        Tokenizer.from_tiktoken(name="cl100k_base")
    with pytest.raises(TypeError, match=r"^argument 'name': 'bytes' object"):
        Tokenizer.from_tiktoken(b"cl100k_base")

    def failing(name):
        raise KeyError(name)
    module.get_cached_tokenizer_path = failing
    with pytest.raises(KeyError):
        Tokenizer.from_tiktoken("nope")
    monkeypatch.setitem(sys.modules, "quorvane._tiktoken", None)
    with pytest.raises(ImportError):
        Tokenizer.from_tiktoken("cl100k_base")


def test_empty_vocab_has_one_id(tmp_path):
    doc = byte_level_doc()
    doc["model"]["vocab"] = {}
    doc["model"]["merges"] = []
    tok = Tokenizer(write(tmp_path, doc))
    assert tok.n_vocab == len(tok) == 1
    assert tok.decode([0]) == ""
    assert json.dumps(tok.__reduce__()[1][0])

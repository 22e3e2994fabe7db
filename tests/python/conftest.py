"""Shared helpers for the Python tests: test data, corpora, and the `slow` marker.

Test data lives in $QUORVANE_TEST_CACHE (default <repo>/.cache/test-data), decompressed from
the shared data by tests/prepare_data.py. Tests that need data the machine lacks skip.
"""

from __future__ import annotations

import functools
import importlib.util
import json
import os
import pathlib
import random
import sysconfig

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

# Tokenizers of the shared data, in the order the tests report them.
MODEL_NAMES = (
    "gpt2",
    "claude",
    "gpt35turbo",
    "gpt4o",
    "llama3",
    "qwen3",
    "deepseek_v3",
    "llama2",
    "gemma3",
)
TIKTOKEN_NAMES = ("r50k_base", "p50k_base", "cl100k_base", "o200k_base")

FULL = os.environ.get("QUORVANE_FULL") == "1"


def test_cache() -> pathlib.Path:
    return pathlib.Path(os.environ.get("QUORVANE_TEST_CACHE", REPO / ".cache" / "test-data"))


test_cache.__test__ = False  # not a test, despite the name


def _shared_data_present() -> bool:
    shared = os.environ.get("QUORVANE_SHARED_DATA")
    return pathlib.Path(shared).is_dir() if shared else (REPO.parent / "shared" / "data").is_dir()


@functools.cache
def ensure_test_data() -> pathlib.Path:
    """The test cache, decompressed from the shared data first when it is missing."""
    cache = test_cache()
    if not (cache / "tokenizers").is_dir() and _shared_data_present():
        spec = importlib.util.spec_from_file_location("prepare_data", REPO / "tests" / "prepare_data.py")
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        module.prepare()
    return cache


def data_file(*parts: str) -> pathlib.Path:
    """Path of a file in the test cache; skips the test when it is absent."""
    path = ensure_test_data().joinpath(*parts)
    if not path.is_file():
        pytest.skip(f"test data {'/'.join(parts)} not available")
    return path


def model_path(name: str) -> str:
    """Path of the shared tokenizer.json `name` (gpt2, llama3, ...); skips when absent."""
    return str(data_file("tokenizers", f"{name}.json"))


def tiktoken_files(name: str) -> tuple[pathlib.Path, dict]:
    """The rank file and parsed meta.json of a tiktoken encoding; skips when absent."""
    ranks = data_file("tiktoken", f"{name}.tiktoken")
    meta = json.loads(data_file("tiktoken", f"{name}.meta.json").read_text(encoding="utf-8"))
    return ranks, meta


@functools.cache
def _jsonl(name: str) -> tuple[dict, ...]:
    with open(data_file("corpus", name), encoding="utf-8") as f:
        return tuple(json.loads(line) for line in f if line.strip())


def mail_records() -> tuple[dict, ...]:
    """mail.jsonl: {"group", "id", "text"} per e-mail."""
    return _jsonl("mail.jsonl")


def udhr_records() -> tuple[dict, ...]:
    """udhr.jsonl: {"code", "lang", "name", "text"} per language."""
    return _jsonl("udhr.jsonl")


@functools.cache
def stdlib_sources() -> tuple[tuple[str, str], ...]:
    """(relative path, text) of every UTF-8 .py file of the Python standard library, sorted."""
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    out = []
    for path in sorted(root.rglob("*.py")):
        rel = path.relative_to(root).as_posix()
        if rel.startswith(("site-packages/", "dist-packages/")):
            continue
        try:
            out.append((rel, path.read_text(encoding="utf-8")))
        except (UnicodeDecodeError, OSError):
            continue
    return tuple(out)


def sample(items, count: int | None, seed: int = 0) -> list:
    """A fixed pseudo-random sample of `count` items in their original order; all when None."""
    items = list(items)
    if count is None or count >= len(items):
        return items
    picked = sorted(random.Random(seed).sample(range(len(items)), count))
    return [items[i] for i in picked]


# Hand-picked texts where pre-tokenizers, normalizers and mergers tend to go wrong.
COMBINING_MARKS = "\u0301\u0308\u0327\u20dd\u0345\u1ab0\u1dc0\ufe20"
ADVERSARIAL_TEXTS = [
    "\x1f-a",
    "¼-a",
    "\ufeff//",
    "Cửa Việt",
    "Cu\u031b\u0309a Vie\u0323\u0302t",  # the same, decomposed
    "\xa0aC",
    "\u2029 \ua3e4",
    "\u0301",
    "\u0301\u0301a",
    " \u0301x",
    "a" + COMBINING_MARKS * 3,
    "1\u0301",
    "\u0e01\u0e33\u0e4a",
    "👨\u200d👩\u200d👧\u200d👦 family",
    "🏳️\u200d🌈 and 👩🏽\u200d💻",
    "\U0001f1fa\U0001f1f8\U0001f1ef\U0001f1f5",
    "\r\n\r\n\n\r\r\n x \r\n",
    "\r" * 17 + "a" + "\n" * 33,
    " \r\n \r\n\t\t\n  \n",
    "1234567890" * 50,
    "x " + "9" * 1001 + " y",
    " " * 2000,
    "a" + " " * 999 + "b",
    "\t" * 300 + "\n" * 300,
    "z" * 10_000,
    "A" + "ä" * 10_000,
    "한" * 10_000,
    "€" * 3333 + "x",
    "\U00010348" * 2500,
    "'s 'S 'T 'Re 'rE 'LL 'll 'Ve 've don't I'M we'Ll",
    "HELLO World hELLO WoRlD CamelCaseWords XMLHttpRequest",
    "ǅungla ǈ ǋ Ǳ ᾈᾉ ʰʱ ʼn",
    "a\u0300\u0301\u0302 A\u0300B",
    "100,000.00 1 2 3 12345 ١٢٣٤٥ ໑໒໓ ௧௨",
    "\u3000全角\u3000スペース、です。 中文字符和ｆｕｌｌｗｉｄｔｈ",
    "\u180e \u200b\u200c\u200d\u2060 \u00ad",
    "\x00\x01\x02\x7f\x80\x9f",
    "\ue000\uf8ff\U000f0000\U0010fffd",
    "\u0378\u0379\u0560\U0002fffe\U000e0080",
    "  leading and trailing  ",
    "end with space ",
    "a/b//c///d /e/\n/",
    "https://example.com/path?q=1&r=2#frag",
    "\u00a0\u00a0\u2009\u200a\u202f\u205f",
    "Ω ω Å Å K K ﬁ ﬃ ㎏ ①②",
    "ſ 'ſ K 'K",
    "▁▁ ▁x ▁",
    "<0x41> <unk> <s>",
    "Ġ Ċ ĉ",
]


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: the full sweep, run only with QUORVANE_FULL=1")


def pytest_collection_modifyitems(config, items):
    if FULL:
        return
    skip = pytest.mark.skip(reason="full sweep: set QUORVANE_FULL=1")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def quorvane_module():
    """The quorvane package; skips when the extension is not importable."""
    try:
        import quorvane
        from quorvane import _core  # noqa: F401
    except ImportError as exc:
        pytest.skip(f"quorvane extension not importable: {exc}")
    return quorvane

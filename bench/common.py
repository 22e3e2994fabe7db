"""Shared pieces of the benchmarks: test data, corpora, timing and the result table."""

from __future__ import annotations

import gc
import json
import os
import pathlib
import shutil
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent

MODEL_NAMES = ("gpt2", "claude", "gpt35turbo", "gpt4o", "llama3", "qwen3", "deepseek_v3", "llama2", "gemma3")
TIKTOKEN_NAMES = ("cl100k_base", "o200k_base")


def data_dir() -> pathlib.Path:
    cache = pathlib.Path(os.environ.get("QUORVANE_TEST_CACHE", REPO / ".cache" / "test-data"))
    if not (cache / "tokenizers").is_dir():
        sys.path.insert(0, str(REPO / "tests"))
        import prepare_data

        prepare_data.prepare()
    return cache


def model_path(name: str) -> pathlib.Path | None:
    path = data_dir() / "tokenizers" / f"{name}.json"
    return path if path.is_file() else None


def corpus(kind: str, max_bytes: int) -> list[str]:
    """The first texts of mail.jsonl or udhr.jsonl, up to about `max_bytes` of UTF-8."""
    path = data_dir() / "corpus" / f"{kind}.jsonl"
    texts, total = [], 0
    if not path.is_file():
        return texts
    with open(path, encoding="utf-8") as f:
        for line in f:
            text = json.loads(line)["text"]
            texts.append(text)
            total += len(text.encode("utf-8"))
            if total >= max_bytes:
                break
    return texts


def utf8_size(texts: list[str]) -> int:
    return sum(len(t.encode("utf-8")) for t in texts)


def best_times(fns, repeat: int) -> list[float | None]:
    """The fastest of `repeat` runs of each fn (None: no figure), in seconds.

    The functions take turns, one run each per round, so that a change in the
    machine's speed during the measurement falls on both sides of a ratio
    instead of on one of them. The garbage collector is off while they run, as
    timeit has it, so that neither side pays for collecting the other's objects."""
    for fn in fns:
        if fn is not None:
            fn()
    best = [float("inf") if fn is not None else None for fn in fns]
    with _gc_paused():
        for _ in range(repeat):
            for i, fn in enumerate(fns):
                if fn is None:
                    continue
                start = time.perf_counter()
                fn()
                best[i] = min(best[i], time.perf_counter() - start)
    return best


def best_time(fn, repeat: int) -> float:
    """The fastest of `repeat` runs of fn(), in seconds (after one warm-up run)."""
    return best_times([fn], repeat)[0]


class _gc_paused:
    def __enter__(self):
        self.was_enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.was_enabled:
            gc.enable()


class TiktokenCache:
    """A temporary QUORVANE_CACHE_DIR holding the shared rank files, so nothing is downloaded."""

    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="quorvane-bench-")
        for name in TIKTOKEN_NAMES:
            src = data_dir() / "tiktoken" / f"{name}.tiktoken"
            if src.is_file():
                os.symlink(src, os.path.join(self.dir, src.name))
        self.saved = os.environ.get("QUORVANE_CACHE_DIR")
        os.environ["QUORVANE_CACHE_DIR"] = self.dir
        return self

    def __exit__(self, *exc):
        if self.saved is None:
            os.environ.pop("QUORVANE_CACHE_DIR", None)
        else:
            os.environ["QUORVANE_CACHE_DIR"] = self.saved
        shutil.rmtree(self.dir, ignore_errors=True)


def tiktoken_reference(name: str):
    """tiktoken.Encoding built from the shared rank file and meta.json, or None."""
    try:
        import tiktoken
        from tiktoken.load import load_tiktoken_bpe
    except ImportError:
        return None
    ranks = data_dir() / "tiktoken" / f"{name}.tiktoken"
    meta_path = data_dir() / "tiktoken" / f"{name}.meta.json"
    if not ranks.is_file() or not meta_path.is_file():
        return None
    meta = json.loads(meta_path.read_text(encoding="utf-8"))
    return tiktoken.Encoding(
        name,
        pat_str=meta["pat_str"],
        mergeable_ranks=load_tiktoken_bpe(str(ranks)),
        special_tokens=meta["special_tokens"],
    )


class Table:
    """Rows of (section, figure, quorvane, other, ratio); printed once, also kept for JSON."""

    def __init__(self):
        self.rows: list[dict] = []

    def add(self, section: str, figure: str, ours: float | None, other: float | None,
            unit: str, ratio: float | None = None, other_name: str = "") -> None:
        if ratio is None and ours and other:
            ratio = ours / other
        self.rows.append(
            {"section": section, "figure": figure, "quorvane": ours, "other": other,
             "other_name": other_name, "unit": unit, "ratio": ratio}
        )

    def render(self) -> str:
        def num(v):
            return "-" if v is None else (f"{v:,.1f}" if abs(v) >= 10 else f"{v:.3g}")

        head = ("figure", "unit", "quorvane", "other", "vs", "ratio")
        lines = []
        body = [
            (r["figure"], r["unit"], num(r["quorvane"]), num(r["other"]), r["other_name"],
             "-" if r["ratio"] is None else f"{r['ratio']:.2f}x")
            for r in self.rows
        ]
        widths = [max(len(str(x)) for x in col) for col in zip(head, *body)]
        section = None
        for row, raw in zip(body, self.rows):
            if raw["section"] != section:
                section = raw["section"]
                lines.append("")
                lines.append(f"== {section}")
                lines.append("  ".join(h.ljust(w) for h, w in zip(head, widths)))
            lines.append("  ".join(str(x).ljust(w) for x, w in zip(row, widths)))
        return "\n".join(lines)

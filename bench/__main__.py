"""All benchmarks in one table: `python -m bench [--json PATH] [--mb 2] [--repeat 5]`.

Figures are printed, never asserted; see bench/README.md for what each one means.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time

os.environ.setdefault("TOKENIZERS_PARALLELISM", "true")

from bench.bench_encode import encode_rows  # noqa: E402
from bench.common import (  # noqa: E402
    MODEL_NAMES,
    REPO,
    Table,
    TiktokenCache,
    best_time,
    best_times,
    corpus,
    data_dir,
    model_path,
    tiktoken_reference,
    utf8_size,
)

THREADS = 8


def batch_rows(table: Table, texts: list[str], repeat: int) -> None:
    import quorvane

    section = f"encode_ordinary_batch, {THREADS} threads (mail)"
    size = utf8_size(texts) / 1e6
    path = model_path("gpt4o")
    if path is None:
        return
    ours = quorvane.Tokenizer(str(path))
    # A parallel run takes a few milliseconds, and any other process that wakes
    # on one of its cores stretches it: more runs find one that was left alone.
    t1, tn = best_times([lambda: ours.encode_ordinary_batch(texts, num_threads=1),
                         lambda: ours.encode_ordinary_batch(texts, num_threads=THREADS)],
                        4 * repeat)
    table.add(section, f"gpt4o {THREADS} threads vs 1 thread", size / tn, size / t1, "MB/s",
              other_name="quorvane 1 thread")
    try:
        import tokenizers

        ref = tokenizers.Tokenizer.from_file(str(path))
        tr = best_time(lambda: ref.encode_batch(texts, add_special_tokens=False), repeat)
        table.add(section, f"gpt4o {THREADS} threads", size / tn, size / tr, "MB/s",
                  other_name="tokenizers encode_batch")
    except ImportError:
        pass
    with TiktokenCache():
        enc = tiktoken_reference("o200k_base")
        if enc is not None:
            ours_tk = quorvane.Tokenizer.from_tiktoken("o200k_base")
            tq, tt = best_times([lambda: ours_tk.encode_ordinary_batch(texts, num_threads=THREADS),
                                 lambda: enc.encode_ordinary_batch(texts, num_threads=THREADS)], repeat)
            table.add(section, f"o200k_base {THREADS} threads", size / tq, size / tt, "MB/s",
                      other_name="tiktoken encode_ordinary_batch")

    section = "count_tokens (gpt4o, mail)"
    tc, te = best_times([lambda: [ours.count_tokens(t) for t in texts],
                         lambda: [ours.encode_ordinary(t) for t in texts]], repeat)
    table.add(section, "count_tokens vs encode_ordinary", size / tc, size / te, "MB/s",
              other_name="quorvane encode_ordinary")
    tcb = best_time(lambda: ours.count_tokens_batch(texts, num_threads=THREADS), repeat)
    table.add(section, f"count_tokens_batch vs encode_ordinary_batch, {THREADS} threads",
              size / tcb, size / tn, "MB/s", other_name="quorvane encode_ordinary_batch")


def normalize_rows(table: Table, mb: float, repeat: int) -> None:
    """normalize_text straight on the engine, from the normalize_bench binary of the engine build."""
    binary = REPO / "build" / "engine" / "normalize_bench"
    if not binary.is_file():
        print(f"({binary} not built: no normalization figures; `./scripts/dev test` builds it)")
        return
    out = subprocess.run([str(binary), str(data_dir() / "corpus"), str(mb), str(repeat)],
                         capture_output=True, text=True, timeout=600).stdout
    for line in out.splitlines():
        corpus_name, form, rate = line.split()[:3]
        table.add("normalize_text, one text per call", f"{form} / {corpus_name}", float(rate), None,
                  "MB/s")


def load_rows(table: Table, repeat: int) -> None:
    import quorvane

    path = model_path("gpt4o")
    if path is None:
        return
    section = "loading gpt4o tokenizer.json"
    t_ours = best_time(lambda: quorvane.Tokenizer(str(path)), repeat)
    try:
        import tokenizers

        t_ref = best_time(lambda: tokenizers.Tokenizer.from_file(str(path)), repeat)
    except ImportError:
        t_ref = None
    # Lower is better here, so the ratio is the other's time over ours.
    table.add(section, "load time", t_ours * 1e3, t_ref * 1e3 if t_ref else None, "ms",
              ratio=(t_ref / t_ours) if t_ref else None, other_name="tokenizers")

    for label, snippet in (("quorvane", _LOAD_QUORVANE), ("tokenizers", _LOAD_TOKENIZERS)):
        figures = _memory_in_subprocess(snippet, str(path))
        if figures is not None:
            table.memory[label] = figures
    m_ours, m_ref = table.memory.get("quorvane"), table.memory.get("tokenizers")
    for key, figure in (("rss_added_mb", "resident memory added"), ("peak_added_mb", "peak resident memory during load")):
        a = m_ours[key] if m_ours else None
        b = m_ref[key] if m_ref else None
        table.add(section, figure, a, b, "MB", ratio=(b / a) if a and b else None, other_name="tokenizers")


_MEMORY_PROBE = r"""
import sys
def status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) / 1024.0
    return out
IMPORT
try:
    with open("/proc/self/clear_refs", "w") as f:  # restart VmHWM from the current RSS
        f.write("5")
except OSError:
    pass
before = status()
model = LOAD(sys.argv[1])
after = status()
print(after["VmRSS"] - before["VmRSS"], after["VmHWM"] - before["VmRSS"])
"""
_LOAD_QUORVANE = _MEMORY_PROBE.replace("IMPORT", "import quorvane").replace("LOAD", "quorvane.Tokenizer")
_LOAD_TOKENIZERS = _MEMORY_PROBE.replace("IMPORT", "import tokenizers").replace("LOAD", "tokenizers.Tokenizer.from_file")


def _memory_in_subprocess(snippet: str, path: str):
    try:
        out = subprocess.run([sys.executable, "-c", snippet, path], capture_output=True, text=True,
                             timeout=300, check=True).stdout.split()
        return {"rss_added_mb": float(out[0]), "peak_added_mb": float(out[1])}
    except (subprocess.SubprocessError, ValueError, IndexError, OSError):
        return None


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", default=str(REPO / "bench" / "results" / "latest.json"),
                        help="where to write the figures (default bench/results/latest.json)")
    parser.add_argument("--mb", type=float, default=2.0, help="MB of each corpus (default 2)")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs, best kept (default 5)")
    parser.add_argument("--models", default=",".join(MODEL_NAMES), help="comma-separated model names")
    args = parser.parse_args(argv)

    started = time.time()
    corpora = {k: corpus(k, int(args.mb * 1e6)) for k in ("mail", "udhr")}
    table = Table()
    table.memory = {}
    encode_rows(table, corpora, [m for m in args.models.split(",") if m], args.repeat)
    batch_rows(table, corpora["mail"], args.repeat)
    load_rows(table, args.repeat)
    normalize_rows(table, args.mb, args.repeat)

    cores = os.cpu_count()
    print(f"cores: {cores}   python: {platform.python_version()}   machine: {platform.machine()}")
    print(f"corpora: " + ", ".join(f"{k} {utf8_size(v) / 1e6:.1f} MB in {len(v)} texts" for k, v in corpora.items()))
    print(table.render())
    print(f"\n(ratio: quorvane over the other for throughput, the other over quorvane for time and memory;"
          f" above 1 means quorvane is ahead; {time.time() - started:.0f} s)")

    result = {
        "cores": cores,
        "python": platform.python_version(),
        "machine": platform.machine(),
        "corpus_mb": {k: utf8_size(v) / 1e6 for k, v in corpora.items()},
        "rows": table.rows,
        "memory": table.memory,
    }
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(result, f, indent=1)
    print(f"figures written to {args.json}")


if __name__ == "__main__":
    main()

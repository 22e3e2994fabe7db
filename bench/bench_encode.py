"""Single-thread encode_ordinary throughput: quorvane against tokenizers and tiktoken.

    python -m bench.bench_encode [--mb 2] [--repeat 5] [--models gpt2,gpt4o]

Throughput is MB/s of UTF-8 input; the ratio is quorvane's throughput over the other's.
"""

from __future__ import annotations

import argparse
import os
import pathlib

# tokenizers runs single calls on one thread anyway; keep its pool from competing as well.
os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")

from bench.common import (  # noqa: E402
    MODEL_NAMES,
    TIKTOKEN_NAMES,
    Table,
    TiktokenCache,
    best_times,
    corpus,
    model_path,
    tiktoken_reference,
    utf8_size,
)

SECTION = "single-thread encode_ordinary"


def compiled_road_rows(table: Table, corpora: dict[str, list[str]], path, repeat: int) -> None:
    """llama3's pattern on quorvane's compiled road (a never-matching second Split keeps the
    scanner out; the figure includes BPE) against the reference's Split pre-tokenization."""
    import json
    import tempfile

    import quorvane
    import tokenizers

    doc = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    members = doc["pre_tokenizer"]["pretokenizers"]
    members.insert(1, {"type": "Split", "pattern": {"Regex": "[^\\s\\S]"}, "behavior": "Isolated"})
    split = tokenizers.pre_tokenizers.Split(tokenizers.Regex(members[0]["pattern"]["Regex"]), "isolated")
    with tempfile.TemporaryDirectory() as tmp:
        (pathlib.Path(tmp) / "t.json").write_text(json.dumps(doc), encoding="utf-8")
        ours = quorvane.Tokenizer(str(pathlib.Path(tmp) / "t.json"))
    for kind, texts in corpora.items():
        size = utf8_size(texts) / 1e6
        t_ours, t_ref = best_times(
            [lambda: [ours.encode_ordinary(t) for t in texts],
             lambda: [split.pre_tokenize_str(t) for t in texts]],
            repeat)
        table.add(SECTION, f"llama3 compiled road vs Split / {kind}", size / t_ours, size / t_ref,
                  "MB/s", other_name="tokenizers Split")


def encode_rows(table: Table, corpora: dict[str, list[str]], models, repeat: int) -> None:
    import quorvane

    try:
        import tokenizers
    except ImportError:
        tokenizers = None

    for name in models:
        path = model_path(name)
        if path is None:
            continue
        ours = quorvane.Tokenizer(str(path))
        ref = tokenizers.Tokenizer.from_file(str(path)) if tokenizers else None
        for kind, texts in corpora.items():
            size = utf8_size(texts) / 1e6
            t_ours, t_ref = best_times(
                [lambda: [ours.encode_ordinary(t) for t in texts],
                 (lambda: [ref.encode(t, add_special_tokens=False) for t in texts]) if ref else None],
                repeat)
            table.add(SECTION, f"{name} / {kind}", size / t_ours, size / t_ref if t_ref else None,
                      "MB/s", other_name="tokenizers")

    if tokenizers is not None and "llama3" in models and model_path("llama3"):  # against Split alone
        compiled_road_rows(table, corpora, model_path("llama3"), repeat)

    with TiktokenCache():
        for name in TIKTOKEN_NAMES:
            enc = tiktoken_reference(name)
            try:
                ours = quorvane.Tokenizer.from_tiktoken(name)
            except ValueError:
                continue
            for kind, texts in corpora.items():
                size = utf8_size(texts) / 1e6
                t_ours, t_ref = best_times(
                    [lambda: [ours.encode_ordinary(t) for t in texts],
                     (lambda: [enc.encode_ordinary(t) for t in texts]) if enc else None],
                    repeat)
                table.add(SECTION, f"{name} / {kind}", size / t_ours, size / t_ref if t_ref else None,
                          "MB/s", other_name="tiktoken")


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=float, default=2.0, help="MB of each corpus (default 2)")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs, best kept (default 5)")
    parser.add_argument("--models", default=",".join(MODEL_NAMES), help="comma-separated model names")
    args = parser.parse_args(argv)
    corpora = {k: corpus(k, int(args.mb * 1e6)) for k in ("mail", "udhr")}
    table = Table()
    encode_rows(table, corpora, [m for m in args.models.split(",") if m], args.repeat)
    print(f"cores: {os.cpu_count()}")
    print(table.render())


if __name__ == "__main__":
    main()

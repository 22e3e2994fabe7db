"""A fixed workload for profilers: load one model, encode a fixed slice of a corpus.

    PYTHONPATH=$(scripts/stage.sh build/py):. python -m bench.profile_encode gpt4o mail 0.5 [rounds] [method]
    valgrind --tool=callgrind --collect-atstart=no \
        --toggle-collect='quorvane::py::tok_encode_ordinary*' python -m bench.profile_encode ...

`method` is encode_ordinary (default), count_tokens or encode_ordinary_batch.
"""

from __future__ import annotations

import sys

from bench import common


def main(argv: list[str]) -> None:
    import quorvane

    model = argv[0] if argv else "gpt4o"
    kind = argv[1] if len(argv) > 1 else "mail"
    mb = float(argv[2]) if len(argv) > 2 else 0.5
    rounds = int(argv[3]) if len(argv) > 3 else 1
    method = argv[4] if len(argv) > 4 else "encode_ordinary"
    texts = common.corpus(kind, int(mb * 1e6))
    if model in common.TIKTOKEN_NAMES:
        with common.TiktokenCache():
            tok = quorvane.Tokenizer.from_tiktoken(model)
    else:
        tok = quorvane.Tokenizer(str(common.model_path(model)))
    total = 0
    for _ in range(rounds):
        if method == "encode_ordinary_batch":
            total += sum(len(ids) for ids in tok.encode_ordinary_batch(texts, num_threads=8))
        else:
            fn = getattr(tok, method)
            for text in texts:
                r = fn(text)
                total += r if isinstance(r, int) else len(r)
    print(f"{model} {kind}: {len(texts)} texts, {total} tokens")


if __name__ == "__main__":
    main(sys.argv[1:])

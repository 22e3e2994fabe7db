"""The main job: load the GPT-2 tokenizer shipped beside this file, encode and decode text.

    ./scripts/dev demo ["your text"]

With a tiktoken rank file available (QUORVANE_CACHE_DIR/NAME.tiktoken, or the
tiktoken package), it also encodes the text with cl100k_base via from_tiktoken.
"""
import lzma
import os
import pathlib
import sys
import time

import quorvane

HERE = pathlib.Path(__file__).resolve().parent
SAMPLE = (
    "quorvane turns text into token ids: Hello world! It's 2026, and naïve café "
    "owners say 'こんにちは' — 12345 tokens/s isn't fast enough.\n"
)


def shipped_tokenizer() -> pathlib.Path:
    cache = HERE.parent / ".cache"
    out = cache / "gpt2.json"
    src = HERE / "gpt2.json.xz"
    if not out.exists() or out.stat().st_mtime < src.stat().st_mtime:
        cache.mkdir(exist_ok=True)
        tmp = out.with_suffix(".part")
        tmp.write_bytes(lzma.decompress(src.read_bytes()))
        os.replace(tmp, out)
    return out


def main() -> int:
    text = sys.argv[1] if len(sys.argv) > 1 else SAMPLE
    start = time.perf_counter()
    tok = quorvane.Tokenizer(str(shipped_tokenizer()))
    loaded = time.perf_counter() - start
    print(f"{tok!r} loaded in {loaded * 1000:.1f} ms")
    ids = tok.encode_ordinary(text)
    print(f"text    : {text!r}")
    print(f"ids     : {ids}")
    print(f"count   : {tok.count_tokens(text)} tokens for {len(text.encode())} bytes")
    print(f"pieces  : {[tok.decode([i]) for i in ids]}")
    back = tok.decode(ids)
    print(f"decoded : {back!r}")
    print(f"round trip {'ok' if back == text else 'DIFFERS'}")
    try:
        cl = quorvane.Tokenizer.from_tiktoken("cl100k_base")
    except Exception as exc:  # no rank file and no tiktoken package: that part is optional
        print(f"from_tiktoken('cl100k_base') unavailable: {exc}")
    else:
        print(f"cl100k_base ids: {cl.encode_ordinary(text)}")
    return 0 if back == text else 1


if __name__ == "__main__":
    sys.exit(main())

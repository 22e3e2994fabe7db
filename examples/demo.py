"""The main job: load the GPT-2 tokenizer shipped beside this file, encode and decode text.

    ./scripts/dev demo ["your text"]

When a cl100k_base rank file is at hand (already in the quorvane cache, or in the
shared test data beside the checkout), it also encodes the text through
from_tiktoken. It never downloads anything.
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


def cl100k_rank_file_available() -> bool:
    cache = pathlib.Path(os.environ.setdefault("QUORVANE_CACHE_DIR", str(HERE.parent / ".cache" / "tiktoken")))
    ranks = cache / "cl100k_base.tiktoken"
    shared = pathlib.Path(os.environ.get("QUORVANE_SHARED_DATA", HERE.parent.parent / "shared" / "data"))
    packed = shared / "tiktoken" / "cl100k_base.tiktoken.xz"
    if not ranks.exists() and packed.exists():
        cache.mkdir(parents=True, exist_ok=True)
        tmp = ranks.with_suffix(".part")
        tmp.write_bytes(lzma.decompress(packed.read_bytes()))
        os.replace(tmp, ranks)
    return ranks.exists()


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
    if cl100k_rank_file_available():
        cl = quorvane.Tokenizer.from_tiktoken("cl100k_base")
        print(f"cl100k_base ids: {cl.encode_ordinary(text)}")
    return 0 if back == text else 1


if __name__ == "__main__":
    sys.exit(main())

"""Decompresses the shared test data into the test cache (once).

Reads $QUORVANE_SHARED_DATA (default ../shared/data beside the checkout) and
writes plain files under $QUORVANE_TEST_CACHE: tokenizers/NAME.json,
tiktoken/NAME.tiktoken and corpus/NAME.jsonl. Absent data is not an error:
the tests that need it skip.
"""
import lzma
import os
import pathlib
import shutil
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def shared_dir() -> pathlib.Path:
    return pathlib.Path(os.environ.get("QUORVANE_SHARED_DATA", ROOT.parent / "shared" / "data"))


def cache_dir() -> pathlib.Path:
    return pathlib.Path(os.environ.get("QUORVANE_TEST_CACHE", ROOT / ".cache" / "test-data"))


def prepare() -> int:
    src, dst = shared_dir(), cache_dir()
    if not src.is_dir():
        print(f"shared data not found at {src}; data-driven tests will skip", file=sys.stderr)
        return 0
    count = 0
    for sub in ("tokenizers", "tiktoken", "corpus"):
        for f in sorted((src / sub).glob("*")):
            out = dst / sub / (f.name[:-3] if f.name.endswith(".xz") else f.name)
            if out.exists() and out.stat().st_mtime >= f.stat().st_mtime:
                continue
            out.parent.mkdir(parents=True, exist_ok=True)
            tmp = out.with_suffix(out.suffix + ".part")
            if f.name.endswith(".xz"):
                with lzma.open(f) as fin, open(tmp, "wb") as fout:
                    shutil.copyfileobj(fin, fout, 1 << 20)
            else:
                shutil.copyfile(f, tmp)
            os.replace(tmp, out)
            count += 1
    if count:
        print(f"prepared {count} data files in {dst}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(prepare())

"""Checks an installed quorvane wheel: loads real models, encodes, compares ids.

    python -I tests/wheel_smoke.py SHARED_DATA_DIR

Run with the interpreter of a virtualenv into which only the wheel was
installed. The ids are those of the reference tokenizers for the same texts;
the GPT-2 tokenizer shipped in examples/ is always checked, the shared models
(one with an NFKC normalizer, one byte_fallback) when the shared data exists.
"""
import lzma
import pathlib
import sys
import tempfile

import quorvane

HERE = pathlib.Path(__file__).resolve().parent
CASES = [
    (HERE.parent / "examples" / "gpt2.json.xz", "Hello world, naïve café",
     [15496, 995, 11, 41492, 40304]),
    ("tokenizers/claude.json.xz", "ﬁne Ｆｕｌｌ-width café ①",
     [24199, 18091, 17, 1989, 54057, 355]),
    ("tokenizers/gpt4o.json.xz", "Hello world! It's 2026 — naïve café",
     [13225, 2375, 0, 7744, 220, 1323, 21, 2733, 153475, 737, 30469]),
    ("tokenizers/llama2.json.xz", "Hello world, こんにちは",
     [22557, 1526, 28725, 28705, 29543, 29585, 29174, 30173, 29277]),
]


def main() -> int:
    shared = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else None
    if not pathlib.Path(quorvane.__file__).resolve().is_relative_to(pathlib.Path(sys.prefix).resolve()):
        print(f"wheel smoke: quorvane was imported from {quorvane.__file__}, outside {sys.prefix}",
              file=sys.stderr)
        return 1
    checked = 0
    with tempfile.TemporaryDirectory() as tmp:
        for source, text, expected in CASES:
            path = pathlib.Path(source) if pathlib.Path(source).is_absolute() else (
                shared / source if shared else None)
            if path is None or not path.exists():
                continue
            plain = pathlib.Path(tmp) / path.name.removesuffix(".xz")
            plain.write_bytes(lzma.decompress(path.read_bytes()))
            tok = quorvane.Tokenizer(str(plain))
            ids = tok.encode_ordinary(text)
            if ids != expected:
                print(f"wheel smoke: {path.name}: {text!r} gave {ids}, expected {expected}",
                      file=sys.stderr)
                return 1
            checked += 1
    print(f"wheel smoke: {checked} models give the reference ids "
          f"(quorvane {quorvane.__version__} from {pathlib.Path(quorvane.__file__).parent})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

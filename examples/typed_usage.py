"""Typed use of quorvane, checked by `mypy --strict` in the test run.

    python examples/typed_usage.py path/to/tokenizer.json ["some text"]
"""
import sys

import numpy
from numpy.typing import NDArray

from quorvane import Tokenizer


def round_trip(tok: Tokenizer, text: str) -> bool:
    ids: list[int] = tok.encode_ordinary(text)
    return tok.decode(ids) == text and tok.count_tokens(text) == len(ids)


def padded_ids(tok: Tokenizer, texts: list[str], width: int) -> tuple[NDArray[numpy.uint32], int]:
    batch = tok.encode_batch(texts, max_length=width, pad_id=0)
    return batch["input_ids"], int(batch["attention_mask"].sum())


def spans(tok: Tokenizer, text: str) -> list[str]:
    data = text.encode()
    _, offsets = tok.encode_with_offsets(text)
    return [data[start:end].decode(errors="replace") for start, end in offsets]


def main(argv: list[str]) -> int:
    tok = Tokenizer(argv[1])
    text = argv[2] if len(argv) > 2 else "Hello world"
    print(tok, round_trip(tok, text), spans(tok, text))
    print(padded_ids(tok, [text, text[:3]], 8))
    ids = numpy.frombuffer(tok.encode_to_bytes(text), dtype=numpy.uint32)
    print(tok.decode_array(ids), tok.encode_ordinary_batch([text], num_threads=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

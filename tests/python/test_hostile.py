"""Hostile input: every bad argument or file gets a clear Python exception, huge
inputs encode without crashing or exhausting memory, and nothing is leaked on
the error paths. Memory-hungry cases run in a child interpreter so that their
peak memory is their own and a crash fails one test instead of the session."""
import array
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvane._core import Tokenizer

from conftest import FULL, model_path
from tokfiles import borrow_count, byte_level_doc, write

SURROGATE_TEXTS = ["\ud800", "a\udfffb", "ok " * 100 + "\udbff", "\udc00" + "x" * 10_000]


def child(code, timeout=300):
    """Runs `code` in a fresh interpreter with this one's import path; returns stdout."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stderr[-3000:]}"
    return proc.stdout


@pytest.fixture
def small(tmp_path):
    return Tokenizer(write(tmp_path, byte_level_doc(merges=[("a", "b"), ("ab", "c"), (" ", "a")])))


@pytest.fixture(scope="module")
def gpt2():
    return Tokenizer(model_path("gpt2"))


# --- lone surrogates -------------------------------------------------------------------------

PER_TEXT = ["encode_ordinary", "encode_ordinary_no_prefix", "encode_special", "encode_to_bytes",
            "_encode_ordinary_stream", "_encode_ordinary_scan", "count_tokens",
            "encode_with_offsets"]
BATCH = {
    "encode_ordinary_batch": lambda t, texts, n: t.encode_ordinary_batch(texts, num_threads=n),
    "encode_special_batch": lambda t, texts, n: t.encode_special_batch(texts, num_threads=n),
    "count_tokens_batch": lambda t, texts, n: t.count_tokens_batch(texts, num_threads=n),
    "encode_batch": lambda t, texts, n: t.encode_batch(texts, num_threads=n),
    "encode_special_padded": lambda t, texts, n: t.encode_special_padded(texts, [1], [2],
                                                                         num_threads=n),
}


def _fail_everywhere(tok, text):
    for name in PER_TEXT:
        with pytest.raises(UnicodeEncodeError):
            getattr(tok, name)(text)
    for call in BATCH.values():
        for threads in (0, 1):
            texts = ["fine"] * 5 + [text] + ["fine <s>"] * 5
            with pytest.raises(UnicodeEncodeError):
                call(tok, texts, threads)


def test_lone_surrogates_raise_unicode_error_and_leak_nothing(small):
    small.set_special_tokens(["<s>"], [900], [False], [False], 0)
    for text in SURROGATE_TEXTS:
        _fail_everywhere(small, text)
        gc.collect()
        refs = sys.getrefcount(text)  # the last error may still hold the text
        for _ in range(10):
            _fail_everywhere(small, text)
        gc.collect()
        assert sys.getrefcount(text) == refs, "a failed call kept a reference to its text"
        assert borrow_count(small) == 0
    # Registration refuses the text too and keeps the previous registration.
    with pytest.raises(UnicodeEncodeError):
        small.set_special_tokens(["<t\ud800>"], [901], [False], [False], 0)
    assert borrow_count(small) == 0
    assert small.encode_special("x<s>x") == [ord("x"), 900, ord("x")]


def test_surrogate_failures_do_not_grow_memory(small):
    out = child("""
        import gc, resource, sys, tracemalloc
        from quorvane._core import Tokenizer
        tok = Tokenizer(%r)
        texts = ["fine"] * 50 + ["bad \\ud800"]

        def fail(n):
            for _ in range(n):
                for call in (lambda: tok.encode_ordinary_batch(texts),
                             lambda: tok.encode_ordinary_batch(texts, num_threads=1),
                             lambda: tok.encode_special_padded(texts, [1], [2]),
                             lambda: tok.encode_special("a\\udfff")):
                    try:
                        call()
                    except UnicodeEncodeError:
                        pass
                    else:
                        raise AssertionError("no error")

        fail(1000)
        gc.collect()
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        fail(50_000)
        gc.collect()
        objects = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        print(objects, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss)
    """ % small.__reduce__()[1][0])
    objects, rss_kb = map(int, out.split())
    assert objects < 16 * 1024, f"{objects} bytes of Python objects leaked"
    assert rss_kb < 16 * 1024, f"resident memory grew by {rss_kb} KiB over 200,000 failures"


# --- very large and very long texts -------------------------------------------------------------

HUGE_TEXT_CHILD = """
    import resource, sys
    from quorvane._core import Tokenizer
    tok = Tokenizer({path!r})
    line = "The quick brown fox jumps over the lazy dog. 1234567 \\u4e2d\\u6587 caf\\u00e9\\n"
    text = line * ({size} // len(line.encode()))
    size = len(text.encode())
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    count = tok.count_tokens(text)
    raw = tok.encode_to_bytes(text)
    assert len(raw) == 4 * count, (len(raw), count)
    del raw
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    {extra}
    print(size, count, grown)
"""


@pytest.mark.parametrize("size", [
    100 * 10**6,
    pytest.param(400 * 10**6, marks=pytest.mark.slow),
])
def test_huge_text_encodes_and_counts_with_sane_memory(size):
    extra = ""
    if FULL and size <= 100 * 10**6:  # 30 million Python ints cost about 1.3 GB
        extra = "assert len(tok.encode_ordinary(text)) == count"
    out = child(HUGE_TEXT_CHILD.format(path=model_path("gpt2"), size=size, extra=extra))
    nbytes, count, grown = map(int, out.split())
    assert nbytes > size * 0.99 and count > nbytes // 5
    # Counting keeps no per-token state beyond one id vector; encode_to_bytes adds its copy.
    assert grown < 3 * nbytes, f"peak memory grew by {grown} bytes for a {nbytes}-byte text"


LONG_RUNS = {
    "word": lambda n: "a" * n,
    "mixed-case word": lambda n: ("Hello" * (n // 5 + 1))[:n],
    "digits": lambda n: "7" * n,
    "cjk": lambda n: "\u4e2d\u6587\u5b57" * (n // 9),  # n UTF-8 bytes
}


def _check_long_runs(name, size, cjk_size):
    tok = Tokenizer(model_path(name))
    for kind, make in LONG_RUNS.items():
        text = make(cjk_size if kind == "cjk" else size)
        ids = tok.encode_ordinary(text)
        assert len(ids) == tok.count_tokens(text), kind
        assert tok.decode(ids) == text, kind
        assert 0 < len(ids) <= len(text.encode()) + 1, kind


@pytest.mark.parametrize("name", ["gpt2", "deepseek_v3", "llama2"])
def test_one_megabyte_runs_encode_and_round_trip(name):
    _check_long_runs(name, 1 << 20, 1 << 20)


@pytest.mark.slow
@pytest.mark.timeout(600)
@pytest.mark.parametrize("name", ["gpt2", "deepseek_v3", "llama2"])
def test_ten_megabyte_word_digits_and_three_megabyte_cjk(name):
    _check_long_runs(name, 10 << 20, 3 << 20)


# --- many special tokens -------------------------------------------------------------------------

@pytest.mark.parametrize("count", [100_000])
def test_hundred_thousand_special_tokens(gpt2, count):
    tok = Tokenizer(model_path("gpt2"))  # its own object: the registration stays here
    contents = [f"<|tok{i}|>" for i in range(count)]
    ids = [60_000 + i for i in range(count)]
    tok.set_special_tokens(contents, ids, [False] * count, [False] * count, 0)
    picked = list(range(0, count, 997)) + [count - 1]
    text = "".join(f" w{contents[i]}" for i in picked)
    got = tok.encode_special(text)
    assert [i for i in got if i >= 60_000] == [ids[i] for i in picked]
    # The ordinary pieces between the tokens are encoded as without registration.
    plain = [i for i in got if i < 60_000]
    assert plain == gpt2.encode_ordinary(" w") * len(picked)
    # A near miss of every token is ordinary text.
    near = "<|tok|> <|tok1|x <tok2|>"
    assert tok.encode_special(near) == gpt2.encode_ordinary(near)
    # Prefix-sharing contents resolve to the longest: <|tok1|> inside <|tok12|>.
    assert tok.encode_special("<|tok12|>") == [ids[12]]
    batch = tok.encode_special_batch([text] * 8)
    assert batch == [got] * 8


# --- ids at the edge of 32 bits ------------------------------------------------------------------

def test_ids_at_and_beyond_the_vocabulary(gpt2):
    n = gpt2.n_vocab
    hello = gpt2.encode_ordinary("hello")
    edge = [n, n + 1, 2**31 - 1, 2**31, 2**32 - 2, 2**32 - 1]
    assert gpt2.decode(edge) == ""
    assert gpt2.decode(edge + hello + edge) == "hello"
    assert gpt2.decode([n - 1]) == "<|endoftext|>"
    assert gpt2.decode_array(np.array(edge + hello, dtype=np.uint32)) == "hello"
    assert gpt2.decode_batch([edge, hello, edge + hello]) == ["", "hello", "hello"]
    for bad in (2**32, 2**32 + 5, -1, -(2**31)):
        with pytest.raises(OverflowError):
            gpt2.decode([1, bad])
        with pytest.raises(OverflowError):
            gpt2.decode((1, bad))  # the general sequence path
        with pytest.raises(OverflowError):
            gpt2.decode_batch([[1], [bad]])
    for bad in (2**63, 2**64, 10**30):
        with pytest.raises(OverflowError):
            gpt2.decode([bad])
    assert borrow_count(gpt2) == 0


def test_special_ids_and_padding_values_at_the_edges(small):
    small.set_special_tokens(["<x>"], [2**32 - 1], [False], [False], 0)
    ids = small.encode_special("a<x>b")
    assert ids == [ord("a"), 2**32 - 1, ord("b")]
    assert small.decode(ids) == "ab"  # the registered id has no bytes in the vocabulary
    with pytest.raises(OverflowError):
        small.set_special_tokens(["<y>"], [2**32], [False], [False], 0)
    assert small.encode_special("a<x>b") == ids  # the failed registration changed nothing
    out = small.encode_special_padded(["<x>", "abab"], [-(2**63)], [2**63 - 1], pad_id=-(2**63))
    assert out["input_ids"].tolist() == [[-(2**63), 2**32 - 1, 2**63 - 1, -(2**63)],
                                         [-(2**63), 256, 256, 2**63 - 1]]
    for bad in ([2**63], [-(2**63) - 1], [2**64]):
        with pytest.raises(OverflowError):
            small.encode_special_padded(["a"], bad, [])
    with pytest.raises(OverflowError):
        small.encode_special_padded(["a"], [], [], pad_id=2**63)
    assert borrow_count(small) == 0


# --- decode_array: only C-contiguous native uint32 ----------------------------------------------

NOT_U32 = ["u1", "i1", "u2", "i2", "i4", "u8", "i8", "f2", "f4", "f8", "c8", "c16", "?",
           ">u4", ">i4", "V4", "S4", "U1"]


def test_decode_array_refuses_every_other_dtype(gpt2):
    for dtype in NOT_U32:
        buf = np.zeros(4, dtype=dtype)
        with pytest.raises(BufferError, match="not compatible with u32|format"):
            gpt2.decode_array(buf)
    for dtype in ("m8[s]", "M8[s]"):  # numpy itself refuses to export these
        with pytest.raises((BufferError, ValueError)):
            gpt2.decode_array(np.zeros(4, dtype=dtype))
    # array.array: only 'I' (4-byte unsigned int) is uint32 here.
    assert gpt2.decode_array(array.array("I", gpt2.encode_ordinary("ok"))) == "ok"
    for code in "bBhHilLqQfd":  # 'L' is 8 bytes here, 'i' signed
        with pytest.raises(BufferError):
            gpt2.decode_array(array.array(code, [1, 2]))
    with pytest.raises(BufferError, match="not compatible"):
        gpt2.decode_array(b"\x01\x00\x00\x00")
    with pytest.raises(TypeError):
        gpt2.decode_array([1, 2, 3])
    with pytest.raises(TypeError):
        gpt2.decode_array(None)
    assert borrow_count(gpt2) == 0


def test_decode_array_strides_shapes_and_alignment(gpt2):
    ids = np.array(gpt2.encode_ordinary("one two three four five six"), dtype=np.uint32)
    text = gpt2.decode(ids.tolist())
    assert gpt2.decode_array(ids) == text
    assert gpt2.decode_array(ids.reshape(2, 3)) == text  # row by row
    assert gpt2.decode_array(ids.reshape(1, 2, 3, 1)) == text
    assert gpt2.decode_array(ids[:0]) == ""
    assert gpt2.decode_array(np.ascontiguousarray(ids[::-1])) == gpt2.decode(ids[::-1].tolist())
    assert gpt2.decode_array(memoryview(ids.tobytes()).cast("I")) == text
    for view in (ids[::2], ids[::-1], ids.reshape(2, 3).T, np.asfortranarray(ids.reshape(2, 3)),
                 ids.reshape(2, 3)[:, :2], np.lib.stride_tricks.as_strided(ids, (6,), (0,))):
        with pytest.raises(ValueError, match="C-contiguous"):
            gpt2.decode_array(view)
    raw = np.zeros(4 * 7, dtype=np.uint8)
    for offset in (1, 2, 3):
        misaligned = raw[offset:offset + 24].view(np.uint32)
        with pytest.raises(BufferError, match="aligned"):
            gpt2.decode_array(misaligned)
    readonly = ids.copy()
    readonly.flags.writeable = False
    assert gpt2.decode_array(readonly) == text
    assert borrow_count(gpt2) == 0


# --- absurd widths -------------------------------------------------------------------------------

@pytest.mark.parametrize("max_length", [2**40, 2**62, 2**63, 2**64 - 1])
def test_absurd_max_length_is_a_python_error(small, max_length):
    with pytest.raises((MemoryError, ValueError)):
        small.encode_batch(["ab", "c"], max_length=max_length)
    with pytest.raises((MemoryError, ValueError)):
        small.encode_special_padded(["ab", "c"], [1], [2], max_length=max_length,
                                    pad_to_max=True)
    with pytest.raises((MemoryError, ValueError)):
        small.encode_special_padded(["ab", "c"], [1], [2], max_length=max_length,
                                    pad_to_max=True, num_threads=1, truncation=True)
    assert borrow_count(small) == 0
    assert small.encode_batch(["ab"], max_length=3)["input_ids"].tolist() == [[256, 0, 0]]


def test_pad_to_max_narrower_than_prefix_and_suffix(small):
    for max_length in (0, 1, 2):
        with pytest.raises(ValueError):
            small.encode_special_padded(["abc"], [1, 2], [3], max_length=max_length,
                                        pad_to_max=True)
        with pytest.raises(ValueError):
            small.encode_special_padded(["abc"], [1, 2], [3], max_length=max_length,
                                        pad_to_max=True, truncation=True, pad_left=True)
    with pytest.raises(ValueError):
        small.encode_special_padded(["abc"], [1], [], pad_to_max=True)  # no max_length
    # Exactly the prefix and suffix fit: the content is cut away.
    out = small.encode_special_padded(["abc", ""], [1, 2], [3], max_length=3, pad_to_max=True)
    assert out["input_ids"].tolist() == [[1, 2, 3], [1, 2, 3]]
    # Without pad_to_max a small max_length with truncation keeps prefix and suffix whole.
    out = small.encode_special_padded(["abc"], [1, 2], [3], max_length=1, truncation=True)
    assert out["input_ids"].tolist() == [[1, 2, 3]]
    assert borrow_count(small) == 0


# --- hostile tokenizer.json files ----------------------------------------------------------------

def _refused(path):
    with pytest.raises(ValueError) as info:
        Tokenizer(str(path))
    message = str(info.value)
    assert message and len(message) < 2000, message
    return message


def test_truncated_files_are_refused(tmp_path):
    doc = (tmp_path / "full.json")
    write(tmp_path, byte_level_doc(merges=[("a", "b")], added=["<s>"]), "full.json")
    data = doc.read_bytes()
    Tokenizer(str(doc))  # the whole file loads
    cut = tmp_path / "cut.json"
    # Every cut short of the closing brace (whitespace-only tails aside).
    for end in list(range(0, 400)) + list(range(400, len(data) - 1, 97)) + [len(data) - 1]:
        cut.write_bytes(data[:end])
        _refused(cut)


def test_truncated_real_model_is_refused(tmp_path):
    data = open(model_path("gpt2"), "rb").read()
    cut = tmp_path / "gpt2-cut.json"
    for end in (1, len(data) // 3, len(data) // 2, len(data) - 2):
        cut.write_bytes(data[:end])
        assert "JSON" in _refused(cut)


@pytest.mark.parametrize("shape", ["arrays", "objects", "open", "in-model", "in-vocab",
                                   "in-pre-tokenizer"])
def test_nesting_a_million_deep_is_refused(tmp_path, shape):
    n = 10**6
    body = {
        "arrays": "[" * n + "]" * n,
        "objects": '{"a":' * n + "1" + "}" * n,
        "open": "[" * n,
        "in-model": '{"model":' + '{"m":' * n + "0" + "}" * n + "}",
        "in-vocab": '{"model":{"type":"BPE","vocab":{"a":' + "[" * n + "]" * n + "}}}",
        "in-pre-tokenizer": '{"pre_tokenizer":{"type":"Sequence","pretokenizers":'
                            + '[{"type":"Sequence","pretokenizers":' * (n // 40)
                            + "[]" + "}]" * (n // 40) + "}}",
    }[shape]
    path = tmp_path / "deep.json"
    path.write_text(body)
    _refused(path)


@pytest.mark.parametrize("size", [10**9])
def test_a_gigabyte_of_whitespace_is_refused(tmp_path, size):
    path = tmp_path / "blank.json"
    chunk = b" \n\t\r" * (1 << 18)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(chunk[:left])
            left -= len(chunk)
    try:
        assert "JSON" in _refused(path)
    finally:
        path.unlink()


@pytest.mark.parametrize("content", [
    b"", b"\x00", b"\xff\xfe{}", b"null", b"[]", b"42", b'"model"', b"{}",
    b'{"model":null}', b'{"model":{"vocab":[]}}', b'{"model":{"vocab":{"a":"zero"}}}',
    b'{"model":{"vocab":{"\xff\xfe":0}}}', b'{"model":{"vocab":{"a":0},"merges":[[[[]]]]}}',
    b'{"model":{"vocab":{"a":1e999}}}', b'{"model":{"vocab":{"a":-1}}}',
    b'{"model":{"vocab":{"a":4294967296}}}', b'{"model":{"vocab":{"a":1000000000000}}}',
    b'{"model":{"vocab":{"a":0}},"added_tokens":[{"id":1000000000000,"content":"x"}]}',
    b'{"model":{"vocab":{"a":0}},"pre_tokenizer":{"type":"Split","pattern":{"Regex":"(("}}}',
    b'{"model":{"vocab":{"a":0}},"normalizer":{"type":"Sequence","normalizers":7}}',
    b"\xef\xbb\xbf" + b"{" * 5000,
])
def test_malformed_files_get_a_value_error_or_load(tmp_path, content):
    path = tmp_path / "bad.json"
    path.write_bytes(content)
    try:
        tok = Tokenizer(str(path))
    except ValueError as exc:
        assert str(exc)
    else:  # leniently read: whatever loaded must work
        tok.encode_ordinary("hello a world")
        tok.decode(list(range(min(tok.n_vocab, 300))))


def test_paths_that_are_not_files(tmp_path):
    for path in (str(tmp_path), str(tmp_path / "missing.json"), "", "\x00"):
        with pytest.raises(ValueError):
            Tokenizer(path)

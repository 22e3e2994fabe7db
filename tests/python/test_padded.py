"""encode_batch and encode_special_padded: shapes, dtypes, ownership, the
padded layout on both sides, truncation, and their argument errors."""
import itertools
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")

from quorvane._core import Tokenizer

from batch_fixtures import TEXTS, write_small_byte_level


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    return Tokenizer(write_small_byte_level(tmp_path_factory.mktemp("padded")))


@pytest.fixture(scope="module")
def small_path(tmp_path_factory):
    return write_small_byte_level(tmp_path_factory.mktemp("padded_path"))


def check_array(arr, dtype, shape):
    assert arr.dtype == np.dtype(dtype)
    assert arr.shape == shape
    assert arr.flags.c_contiguous
    assert arr.flags.owndata
    assert arr.flags.writeable


# ---- encode_batch ----

@pytest.mark.parametrize("num_threads", [0, 1, 2, 8])
def test_encode_batch_rows_match_encode_ordinary(small, num_threads):
    rows = [small.encode_ordinary(t) for t in TEXTS]
    width = max(map(len, rows))
    out = small.encode_batch(TEXTS, num_threads=num_threads)
    assert list(out) == ["input_ids", "attention_mask"]
    check_array(out["input_ids"], "uint32", (len(TEXTS), width))
    check_array(out["attention_mask"], "uint8", (len(TEXTS), width))
    for row, ids, mask in zip(rows, out["input_ids"], out["attention_mask"]):
        assert mask.tolist() == [1] * len(row) + [0] * (width - len(row))
        assert ids.tolist() == row + [0] * (width - len(row))


def test_encode_batch_truncates_and_pads_on_the_right(small):
    texts = ["hello there the world", "", "in"]
    rows = [small.encode_ordinary(t) for t in texts]
    out = small.encode_batch(texts, max_length=3, pad_id=7)
    check_array(out["input_ids"], "uint32", (3, 3))
    expected = [(r[:3] + [7, 7, 7])[:3] for r in rows]
    assert out["input_ids"].tolist() == expected
    assert out["attention_mask"].tolist() == [[1 if j < len(r) else 0 for j in range(3)]
                                              for r in rows]


def test_encode_batch_mask_marks_positions_not_values(small):
    row = small.encode_ordinary("hello")
    out = small.encode_batch(["hello"], max_length=len(row) + 1, pad_id=row[0])
    assert out["attention_mask"].tolist() == [[1] * len(row) + [0]]


def test_encode_batch_empty_shapes(small):
    check_array(small.encode_batch([])["input_ids"], "uint32", (0, 0))
    out = small.encode_batch([], max_length=8)
    check_array(out["input_ids"], "uint32", (0, 8))
    check_array(out["attention_mask"], "uint8", (0, 8))
    out = small.encode_batch(["abc", "de"], max_length=0)
    check_array(out["input_ids"], "uint32", (2, 0))
    out = small.encode_batch([""], max_length=None, pad_id=5)
    check_array(out["input_ids"], "uint32", (1, 0))


def test_encode_batch_argument_errors(small):
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        small.encode_batch(["a"], pad_id=-1)
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        small.encode_batch(["a"], pad_id=2**32)
    with pytest.raises(OverflowError):
        small.encode_batch(["a"], pad_id=2**64)
    with pytest.raises(TypeError, match=r"^argument 'pad_id': "):
        small.encode_batch(["a"], pad_id=None)
    with pytest.raises(OverflowError):
        small.encode_batch(["a"], max_length=-1)
    with pytest.raises(TypeError, match=r"^argument 'max_length': "):
        small.encode_batch(["a"], max_length=2.0)
    with pytest.raises(TypeError, match=r"^argument 'texts': Can't extract `str` to `Vec`$"):
        small.encode_batch("abc", max_length=-1)
    with pytest.raises(OverflowError):
        small.encode_batch(["a"], num_threads=-1)


def test_encode_batch_too_large_is_an_exception(small):
    with pytest.raises(MemoryError, match="too large"):
        small.encode_batch(["a", "b"], max_length=2**63)
    with pytest.raises(MemoryError):
        small.encode_batch(["a"], max_length=2**60)
    # Representable but beyond any allocator: the message names the buffer.
    with pytest.raises(MemoryError, match=r"^encode_batch: cannot allocate 4398046511104 bytes "
                                          r"for a batch of 1 x 1099511627776 cells$"):
        small.encode_batch(["a"], max_length=2**40)


# ---- encode_special_padded ----

def layout(rows, prefix, suffix, max_length, pad_id, truncation, pad_to_max, pad_left,
           trunc_left):
    """The documented row layout, written out independently of the module."""
    s = len(prefix) + len(suffix)
    cut = truncation and max_length is not None
    budget = max_length - s if max_length is not None and max_length >= s else 0
    lengths = [min(len(r), budget) if cut else len(r) for r in rows]
    if pad_to_max:
        width = max_length or 0
    else:
        width = max(lengths) + s if rows else 0
    ids, mask = [], []
    for row, length in zip(rows, lengths):
        kept = min(width - s, length)
        content = row[len(row) - kept:] if trunc_left and kept < len(row) else row[:kept]
        body = prefix + content + suffix
        pad = width - len(body)
        if pad_left:
            ids.append([pad_id] * pad + body)
            mask.append([0] * pad + [1] * len(body))
        else:
            ids.append(body + [pad_id] * pad)
            mask.append([1] * len(body) + [0] * pad)
    return ids, mask, width


PADDED_TEXTS = ["hello there the world", "", "in", "the theater " * 5]


@pytest.mark.parametrize("max_length", [None, 0, 2, 3, 5, 9, 40])
@pytest.mark.parametrize("prefix,suffix", [([], []), ([-1], [-2]), ([101, 102], [103])])
def test_special_padded_matches_the_layout(small, max_length, prefix, suffix):
    rows = [small.encode_special(t) for t in PADDED_TEXTS]
    s = len(prefix) + len(suffix)
    for truncation, pad_to_max, pad_left, trunc_left in itertools.product([False, True],
                                                                          repeat=4):
        if pad_to_max and (max_length or 0) < s:
            continue
        args = dict(max_length=max_length, pad_id=-7, truncation=truncation,
                    pad_to_max=pad_to_max, pad_left=pad_left, trunc_left=trunc_left)
        out = small.encode_special_padded(PADDED_TEXTS, prefix, suffix, **args)
        ids, mask, width = layout(rows, prefix, suffix, **args)
        assert list(out) == ["input_ids", "attention_mask"]
        check_array(out["input_ids"], "int64", (len(rows), width))
        check_array(out["attention_mask"], "int64", (len(rows), width))
        assert out["input_ids"].tolist() == ids, args
        assert out["attention_mask"].tolist() == mask, args


def test_special_padded_explicit_rows(small):
    content = small.encode_special("hello there")
    assert len(content) >= 3
    out = small.encode_special_padded(["hello there", ""], [-1], [-2], max_length=4,
                                      truncation=True, pad_left=True, trunc_left=True)
    assert out["input_ids"].tolist() == [[-1] + content[-2:] + [-2], [0, 0, -1, -2]]
    assert out["attention_mask"].tolist() == [[1, 1, 1, 1], [0, 0, 1, 1]]
    # max_length below the prefix and suffix with truncation: rows keep no content.
    out = small.encode_special_padded(["hello"], [1, 2], [3], max_length=1, truncation=True)
    assert out["input_ids"].tolist() == [[1, 2, 3]]
    # Neither truncation nor pad_to_max: max_length has no effect.
    out = small.encode_special_padded(["hello there"], [], [], max_length=1)
    assert out["input_ids"].tolist() == [content]


def test_special_padded_empty_and_zero_width(small):
    out = small.encode_special_padded([], [1], [2])
    check_array(out["input_ids"], "int64", (0, 0))
    out = small.encode_special_padded([], [1], [2], max_length=6, pad_to_max=True)
    check_array(out["attention_mask"], "int64", (0, 6))
    out = small.encode_special_padded(["abc", "d"], [], [], pad_to_max=True)
    check_array(out["input_ids"], "int64", (2, 0))


def test_special_padded_refuses_pad_to_max_below_prefix_and_suffix(small):
    with pytest.raises(ValueError, match=r"^encode_special_padded: with pad_to_max, max_length "
                                         r"must be at least 3, the number of prefix and suffix "
                                         r"ids, but is 2$"):
        small.encode_special_padded(["abc"], [1, 2], [3], max_length=2, pad_to_max=True)
    with pytest.raises(ValueError, match=r"^encode_special_padded: with pad_to_max, max_length "
                                         r"must be given and at least 1, the number of prefix and "
                                         r"suffix ids$"):
        small.encode_special_padded([], [], [3], pad_to_max=True)


def test_special_padded_argument_errors(small):
    call = small.encode_special_padded
    with pytest.raises(TypeError, match=r"missing 2 required positional arguments: 'prefix' and "
                                        r"'suffix'"):
        call(["a"])
    with pytest.raises(TypeError, match=r"^argument 'texts': Can't extract `str` to `Vec`$"):
        call("a", [], [])
    with pytest.raises(TypeError, match=r"^argument 'prefix': Can't extract `str` to `Vec`$"):
        call(["a"], "1", [])
    with pytest.raises(TypeError, match=r"^argument 'suffix': "):
        call(["a"], [], [1.5])
    with pytest.raises(OverflowError):
        call(["a"], [2**63], [])
    with pytest.raises(OverflowError):
        call(["a"], [], [], max_length=-1)
    with pytest.raises(OverflowError):
        call(["a"], [], [], pad_id=2**63)
    for name in ("pad_id", "truncation", "pad_to_max", "pad_left", "trunc_left", "num_threads"):
        with pytest.raises(TypeError, match=rf"^argument '{name}': "):
            call(["a"], [], [], **{name: None})
    for name in ("truncation", "pad_to_max", "pad_left", "trunc_left"):
        with pytest.raises(TypeError, match=rf"^argument '{name}': 'int' object is not an "
                                            rf"instance of 'bool'$"):
            call(["a"], [], [], **{name: 1})
    out = call(["hello"], [], [], max_length=np.uint64(2), truncation=np.True_,
               pad_left=np.bool_(False))
    assert out["input_ids"].shape == (1, 2)


def test_special_padded_too_large_is_an_exception(small):
    with pytest.raises(MemoryError, match="too large"):
        small.encode_special_padded(["a", "b"], [], [], max_length=2**62, pad_to_max=True)


@pytest.mark.parametrize("num_threads", [0, 1, 2, 8, 5000])
def test_special_padded_thread_counts_agree(small, num_threads):
    texts = [f"{i} the other " * (i % 9) for i in range(500)]
    expected = small.encode_special_padded(texts, [-1], [-2], max_length=12, truncation=True,
                                           num_threads=1)
    out = small.encode_special_padded(texts, [-1], [-2], max_length=12, truncation=True,
                                      num_threads=num_threads)
    assert np.array_equal(out["input_ids"], expected["input_ids"])
    assert np.array_equal(out["attention_mask"], expected["attention_mask"])


def test_numpy_missing(small_path):
    code = """
        import sys
        sys.modules["numpy"] = None
        from quorvane._core import Tokenizer
        tok = Tokenizer(sys.argv[1])
        calls = [lambda: tok.encode_batch(["hello", "x"]),
                 lambda: tok.encode_batch("hello"),
                 lambda: tok.encode_special_padded(["hello"], [1], [2]),
                 lambda: tok.encode_special_padded("hello", [1], [2])]
        for call in calls:
            try:
                call()
            except Exception as e:
                print(type(e).__name__, e)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), small_path],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ValueError encode_batch requires numpy (pip install numpy)",
        "TypeError argument 'texts': Can't extract `str` to `Vec`",
        "ValueError return_tensors requires numpy (pip install numpy)",
        "TypeError argument 'texts': Can't extract `str` to `Vec`",
    ]

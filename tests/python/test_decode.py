"""decode and decode_array: id conversion, the buffer checks, the leading-space
strip, UTF-8 repair, and agreement with the reference library."""
import array
import random
import sys

import pytest

from quorvane import Tokenizer
from tokfiles import (METASPACE_VOCAB, bl, bl_path, borrow_count, metaspace_doc, ms,  # noqa: F401
                      shared_tokenizer_paths, write)

SP = METASPACE_VOCAB.index


def test_decode_sequences_of_every_kind(bl):
    ids = [ord("h"), ord("i"), 256]
    text = "hiab"
    assert bl.decode(ids) == text
    assert bl.decode(tuple(ids)) == text
    assert bl.decode(array.array("I", ids)) == text
    assert bl.decode(range(104, 106)) == "hi"
    assert bl.decode([]) == ""
    assert bl.decode([True]) == "\x01"

    class Idx:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v
    assert bl.decode([Idx(104), 105]) == "hi"
    assert bl.decode([104, bl.n_vocab, 2**32 - 1, 105]) == "hi"  # unknown ids: nothing

    class ListSub(list):
        pass
    assert bl.decode(ListSub(ids)) == text


def test_decode_refusals(bl):
    for bad in ([-1], [2**32], (5, -1), [1, 2**70]):
        with pytest.raises(OverflowError) as info:
            bl.decode(bad)
        if bad != [1, 2**70]:
            assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        bl.decode([1.5])
    with pytest.raises(TypeError) as info:
        bl.decode("abc")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        bl.decode(5)
    assert str(info.value) == "'int' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError, match="'generator' object is not an instance of 'Sequence'"):
        bl.decode(i for i in [1])
    with pytest.raises(TypeError, match="'None' is not an instance of 'Sequence'"):
        bl.decode(None)
    assert borrow_count(bl) == 0


def test_decode_list_mutated_by_index(bl):
    items = []

    class Shrinker:
        def __index__(self):
            items.clear()
            return 104
    items.extend([Shrinker(), 105, 106])
    # The fast path must not read past the shrunken list.
    assert bl.decode(items) in ("h", "hij", "")


class Iterating:
    """A sequence whose iteration fails half way."""

    def __len__(self):
        raise RuntimeError("no len")

    def __getitem__(self, i):
        if i == 2:
            raise KeyError("boom")
        return 104


def test_decode_general_path_errors(bl):
    with pytest.raises(KeyError):
        bl.decode(Iterating())


def test_strip_space(tmp_path, ms):
    space_ab = [SP("\u2581ab")]
    assert ms.decode(space_ab) == "ab"
    assert ms.decode([SP("\u2581"), SP("\u2581"), SP("<0x78>")]) == " x"
    assert ms.decode([SP("<0x09>"), SP("a")]) == "\ta"
    assert ms.decode([]) == ""
    assert ms.decode_array(array.array("I", space_ab)) == "ab"
    assert ms.decode_array(array.array("I")) == ""
    plain = Tokenizer(write(tmp_path / "..", metaspace_doc(strip_space=False), "plain.json"))
    assert plain.decode(space_ab) == " ab"


def test_invalid_utf8_is_repaired_per_maximal_subpart(bl):
    cases = [
        [0x80],                       # lone continuation
        [0xE2, 0x82],                 # truncated three-byte sequence
        [0xE2, 0x82, 0x41],
        [0xED, 0xA0, 0x80],           # surrogate: three subparts
        [0xF0, 0x9F, 0x98],           # truncated four-byte
        [0xC0, 0xAF, 0xFF, 0xF5, 0x41],
        [0xE2, 0x82, 0xAC],           # valid across three ids
        [0xF0, 0x9F, 0x98, 0x80, 0x80],
    ]
    for ids in cases:
        expected = bytes(ids).decode("utf-8", "replace")
        assert bl.decode(ids) == expected, ids
        assert bl.decode_array(array.array("I", ids)) == expected
    rng = random.Random(7)
    for _ in range(300):
        ids = [rng.choice([0x41, 0x80, 0xBF, 0xC2, 0xE0, 0xE2, 0xED, 0xF0, 0xF4, 0xFF, 0x9F])
               for _ in range(rng.randrange(12))]
        assert bl.decode(ids) == bytes(ids).decode("utf-8", "replace"), ids


def test_decode_array_accepts_uint32_buffers(bl):
    np = pytest.importorskip("numpy")
    ids = bl.encode_ordinary("abc hello")
    text = bl.decode(ids)
    assert bl.decode_array(array.array("I", ids)) == text
    assert bl.decode_array(np.array(ids, dtype=np.uint32)) == text
    raw = bl.encode_to_bytes("abc hello")
    assert bl.decode_array(np.frombuffer(raw, dtype=np.uint32)) == text
    assert bl.decode_array(memoryview(raw).cast("I")) == text
    grid = np.array([[104, 105], [106, 107]], dtype=np.uint32)
    assert bl.decode_array(grid) == "hijk"
    assert bl.decode_array(np.zeros(0, dtype=np.uint32)) == ""
    assert bl.decode_array(np.array(ids, dtype="<u4")) == text
    assert bl.decode_array(np.array(ids, dtype="=u4")) == text


def test_decode_array_refusals(bl):
    np = pytest.importorskip("numpy")
    compat = "buffer contents are not compatible with u32"
    for bad in [b"abcd", array.array("L", [1]), np.array([1], dtype=">u4"),
                np.array([1], dtype=np.int64), np.array([1], dtype=np.int32),
                np.array([1.0], dtype=np.float32)]:
        with pytest.raises(BufferError) as info:
            bl.decode_array(bad)
        assert str(info.value) == compat, bad
    with pytest.raises(ValueError) as info:
        bl.decode_array(np.arange(8, dtype=np.uint32)[::2])
    assert str(info.value) == "decode_array requires a C-contiguous uint32 buffer"
    with pytest.raises(ValueError, match="C-contiguous"):
        bl.decode_array(np.arange(8, dtype=np.uint32).reshape(2, 4).T)
    misaligned = np.frombuffer(b"\0" * 9, dtype=np.uint8)[1:].view(np.uint32)
    with pytest.raises(BufferError) as info:
        bl.decode_array(misaligned)
    assert str(info.value) == "buffer contents are insufficiently aligned for u32"
    # An empty buffer holds no id, whatever its address (an empty array.array may
    # hand out an odd one).
    assert bl.decode_array(memoryview(b"\0" * 5)[1:1].cast("I")) == ""
    with pytest.raises(TypeError):
        bl.decode_array([1, 2])
    assert borrow_count(bl) == 0


def test_decode_array_releases_the_view(bl):
    data = bytearray(8)
    view = memoryview(data).cast("I")
    bl.decode_array(view)
    with pytest.raises(BufferError):
        bl.decode_array(memoryview(bytes(8)))  # format B
    view.release()
    data.extend(b"\0\0\0\0")  # resizing fails while any export is still held


@pytest.mark.parametrize("path", shared_tokenizer_paths(), ids=lambda p: p.stem)
def test_decode_matches_reference(path):
    hf = pytest.importorskip("tokenizers")
    ref = hf.Tokenizer.from_file(str(path))
    try:
        tok = Tokenizer(str(path))
    except ValueError as e:
        pytest.skip(f"not loadable here: {e}")
    rng = random.Random(path.stem)
    n = ref.get_vocab_size(with_added_tokens=True)
    for _ in range(300):
        ids = [rng.randrange(n) for _ in range(rng.randrange(1, 24))]
        assert tok.decode(ids) == ref.decode(ids, skip_special_tokens=False), ids
    # Whole-text round trips through the reference's own ids.
    for text in ["Hello, world!", "  two  spaces", "caf\u00e9 \u4e2d\u6587 \U0001F600", ""]:
        ids = ref.encode(text, add_special_tokens=False).ids
        assert tok.decode(ids) == ref.decode(ids, skip_special_tokens=False)


def test_byte_fallback_runs_that_are_not_utf8_follow_the_reference():
    """The ByteFallback decoder writes one U+FFFD per byte token of a run that is
    not valid UTF-8 (a valid character inside such a run is lost too), in decode
    and decode_batch alike."""
    hf = pytest.importorskip("tokenizers")
    paths = [p for p in shared_tokenizer_paths() if p.stem == "llama2"]
    if not paths:
        pytest.skip("llama2 tokenizer not in the test cache")
    ref = hf.Tokenizer.from_file(str(paths[0]))
    tok = Tokenizer(str(paths[0]))
    byte = {b: ref.token_to_id(f"<0x{b:02X}>") for b in (0xE2, 0x82, 0xAC, 0x28, 0xC3, 0xA9)}
    runs = [
        [byte[0xE2], byte[0x82], ref.token_to_id("\u2581a")],
        [byte[0xE2], byte[0x28]],
        [byte[0xC3], byte[0xA9], byte[0xE2]],
        [byte[0xE2], byte[0x82], byte[0xAC]],
        [byte[0xC3], 10**6, byte[0xA9]],
    ]
    for ids in runs:
        assert tok.decode(ids) == ref.decode(ids, skip_special_tokens=False), ids
    assert tok.decode_batch(runs) == [ref.decode(ids, skip_special_tokens=False) for ids in runs]

"""The int objects in returned id lists come from one table for the process:
the values must be exact, shared per id (across tokenizers too), never freed
early, and ids past the table (special ids set high) must still come out
right."""
import gc
import sys
import sysconfig
import threading

from quorvane._core import Tokenizer

from tokfiles import byte_level_doc, write


def _tok(tmp_path, added=()):
    return Tokenizer(write(tmp_path, byte_level_doc(merges=[("a", "b"), ("ab", "c")],
                                                    added=added)))


def test_lists_share_one_int_per_id_and_keep_values(tmp_path):
    tok = _tok(tmp_path)
    text = "abc ab a\xff\u20ac" * 5
    first = tok.encode_ordinary(text)
    second = tok.encode_ordinary(text)
    assert first == second
    assert first[:2] == [257, 32]
    big = [i for i in first if i > 256]  # outside the interpreter's small-int cache
    assert big and all(a is b for a, b in zip(first, second) if a > 256)
    batch = tok.encode_ordinary_batch([text, "", text], num_threads=3)
    assert batch == [first, [], first]
    assert batch[0][0] is first[0]


# Where the interpreter has immortal objects the table's ints are made
# immortal: lists then never write their reference counts.
IMMORTAL_INTS = sys.version_info[:2] in ((3, 12), (3, 13)) and not sysconfig.get_config_var(
    "Py_GIL_DISABLED")


def test_ints_outlive_the_tokenizer_and_lists(tmp_path):
    tok = _tok(tmp_path)
    ids = tok.encode_ordinary("abc" * 3)
    one = ids[0]
    copies = ids.count(one)
    before = sys.getrefcount(one)
    again = tok.encode_ordinary("abc")
    assert sys.getrefcount(one) == before + (0 if IMMORTAL_INTS else 1)
    del again
    assert sys.getrefcount(one) == before
    other = tmp_path / "other"
    other.mkdir()
    assert _tok(other).encode_ordinary("abc")[0] is one  # shared by every tokenizer
    del tok, ids
    gc.collect()
    assert one == 257 and one + 1 == 258
    assert sys.getrefcount(one) == before - (0 if IMMORTAL_INTS else copies)


def test_special_ids_beyond_the_table(tmp_path):
    tok = _tok(tmp_path, added=["<s>"])
    n = tok.n_vocab
    high = 2**32 - 1
    tok.set_special_tokens(["<s>", "<big>"], [n - 1, high], [False, False], [False, False], 0)
    assert tok.encode_special("ab<s>ab<big>") == [256, n - 1, 256, high]
    assert tok.encode_special_batch(["<big>ab"] * 2, num_threads=2) == [[high, 256]] * 2


def test_many_threads_fill_the_table_at_once(tmp_path):
    tok = _tok(tmp_path)
    text = "".join(chr(c) for c in range(0x20, 0x250)) + "abc"
    fresh = tmp_path / "fresh"
    fresh.mkdir()
    want = _tok(fresh).encode_ordinary(text)
    results, start = [], threading.Barrier(8)

    def run():
        start.wait()
        results.append(tok.encode_ordinary(text))

    threads = [threading.Thread(target=run) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [want] * 8
    for r in results[1:]:
        assert all(a is b for a, b in zip(r, results[0]))

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


def test_pool_batches_build_rows_of_every_kind(tmp_path):
    # Rows built on the pool must come out the same as per text when an id's
    # int does not exist yet, when a text gives more ids than it has bytes
    # (NFKC lengthens U+FDFA to 18 characters), when ids lie past the table,
    # and when empty.
    tok = Tokenizer(write(tmp_path, byte_level_doc(normalizer={"type": "NFKC"},
                                                   added=["<s>", "<t>"])))
    n = tok.n_vocab
    fresh = 1_500_000 + (id(tmp_path) % 100_000) * 4  # ids no list of this process used
    for round_, high in enumerate((fresh, 2**32 - 2)):
        tok.set_special_tokens(["<s>", "<t>"], [high, high + 1], [False, False],
                               [False, False], 0)
        texts = ["", "\ufdfa", "ab<s>", "<t><s>" * 50, "x" * 3000, "\ufdfa" * 40 + "<t>", "<s>",
                 "<s>" + "\ufdfa" * 7 + "<t>" + "\ufdfa" * 3]
        texts = texts * (3 + round_)
        for num_threads in (2, 8):
            ordinary = tok.encode_ordinary_batch(texts, num_threads=num_threads)
            special = tok.encode_special_batch(texts, num_threads=num_threads)
            assert ordinary == [tok.encode_ordinary(t) for t in texts]
            assert special == [tok.encode_special(t) for t in texts]
            assert special[2][-1] == high and special[3][:2] == [high + 1, high]
            if high < 2**21:
                assert all(i is special[2][-1] for row in special for i in row if i == high)
    assert len(tok.encode_ordinary("\ufdfa")) > 3 and n > 256

"""The list-returning batch methods: per-item equality with the per-text
methods for every thread count, argument errors, pools and borrows."""
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from quorvane._core import Tokenizer

from batch_fixtures import SHARED_MODELS, TEXTS, shared_model, write_small_byte_level

THREAD_COUNTS = [0, 1, 2, 8, 5000]
MANY_TEXTS = [f"item {i}: " + "the other thing " * (i % 17) for i in range(3000)]


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    return Tokenizer(write_small_byte_level(tmp_path_factory.mktemp("small")))


def check_batches(tok, texts, num_threads):
    assert tok.encode_ordinary_batch(texts, num_threads) == [tok.encode_ordinary(t) for t in texts]
    assert tok.count_tokens_batch(texts, num_threads=num_threads) == [
        tok.count_tokens(t) for t in texts]
    assert tok.encode_special_batch(texts, num_threads=num_threads) == [
        tok.encode_special(t) for t in texts]
    sequences = [tok.encode_ordinary(t) for t in texts]
    assert tok.decode_batch(sequences, num_threads=num_threads) == [
        tok.decode(s) for s in sequences]


@pytest.mark.parametrize("num_threads", THREAD_COUNTS)
def test_batches_equal_per_text_methods(small, num_threads):
    check_batches(small, TEXTS, num_threads)
    check_batches(small, MANY_TEXTS, num_threads)
    check_batches(small, TEXTS[3:4], num_threads)


@pytest.mark.parametrize("name", SHARED_MODELS)
@pytest.mark.parametrize("num_threads", [1, 8])
def test_shared_models_batches(name, num_threads):
    tok = Tokenizer(shared_model(name))
    check_batches(tok, TEXTS + MANY_TEXTS[:300], num_threads)


def test_decode_batch_keeps_per_sequence_results(small):
    sequences = [[], [104, 105], [0xE6], list(range(32, 127)), [99999999]]
    for num_threads in THREAD_COUNTS:
        assert small.decode_batch(sequences, num_threads) == [small.decode(s) for s in sequences]


def test_decode_batch_strips_one_leading_space_when_the_model_says_so():
    tokenizers = pytest.importorskip("tokenizers")
    path = shared_model("llama2")
    tok = Tokenizer(path)
    reference = tokenizers.Tokenizer.from_file(path)
    texts = ["hello", "  two spaces", "x y"]
    sequences = [reference.encode(t, add_special_tokens=False).ids for t in texts]
    decoded = tok.decode_batch(sequences, 2)
    assert decoded == [tok.decode(s) for s in sequences]
    assert decoded == [reference.decode(s) for s in sequences]


def test_empty_batches(small):
    for num_threads in THREAD_COUNTS:
        assert small.encode_ordinary_batch([], num_threads) == []
        assert small.encode_special_batch((), num_threads) == []
        assert small.count_tokens_batch([], num_threads) == []
        assert small.decode_batch([], num_threads) == []


def test_sequences_other_than_lists(small):
    texts = ("hello", "world")
    assert small.encode_ordinary_batch(texts) == [small.encode_ordinary(t) for t in texts]
    assert small.decode_batch(((104, 105), range(104, 106))) == ["hi", "hi"]


@pytest.mark.parametrize("method", ["encode_ordinary_batch", "encode_special_batch",
                                    "count_tokens_batch"])
def test_text_argument_errors(small, method):
    fn = getattr(small, method)
    with pytest.raises(TypeError, match=r"^argument 'texts': Can't extract `str` to `Vec`$"):
        fn("hello")
    with pytest.raises(TypeError, match=r"^argument 'texts': 'generator' object is not an "
                                        r"instance of 'Sequence'$"):
        fn(t for t in ["a"])
    with pytest.raises(TypeError, match=r"^argument 'texts': 'int' object is not an instance "
                                        r"of 'str'$"):
        fn(["a", 3])
    with pytest.raises(TypeError, match=r"^argument 'texts': 'bytes' object"):
        fn([b"a"])
    with pytest.raises(UnicodeEncodeError):
        fn(["\ud800"])
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'texts'"):
        fn()
    with pytest.raises(TypeError, match=r"takes from 1 to 2 positional arguments but 3 were"):
        fn([], 1, 2)


@pytest.mark.parametrize("method", ["encode_ordinary_batch", "encode_special_batch",
                                    "count_tokens_batch", "decode_batch"])
def test_num_threads_errors(small, method):
    fn = getattr(small, method)
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            fn([], bad)
    for bad in (2.5, "2", None):
        with pytest.raises(TypeError, match=r"^argument 'num_threads': "):
            fn([], num_threads=bad)
    assert fn([], num_threads=True) == []  # bool is an int


def test_sequences_argument_errors(small):
    with pytest.raises(TypeError, match=r"^argument 'sequences': Can't extract `str` to `Vec`$"):
        small.decode_batch("abc")
    with pytest.raises(TypeError, match=r"^argument 'sequences': Can't extract `str` to `Vec`$"):
        small.decode_batch(["abc"])
    with pytest.raises(TypeError, match=r"^argument 'sequences': 'generator' object"):
        small.decode_batch([1] for _ in range(2))
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        small.decode_batch([[1], [-1]])
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        small.decode_batch([[2**32]])
    with pytest.raises(TypeError, match=r"^argument 'sequences': "):
        small.decode_batch([[1.5]])


def test_iteration_errors_pass_through(small):
    class Broken(list):
        def __iter__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        small.encode_ordinary_batch(Broken(["a"]))


def run_python(code, *args):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_pools_are_built_once_per_thread_count(small, tmp_path):
    # Thread counts of the process: a pool's workers are started on first use
    # and reused by every later call with the same count.
    out = run_python("""
        import os, sys
        from quorvane._core import Tokenizer
        tok = Tokenizer(sys.argv[1])
        texts = ["the other thing %d " % i * 40 for i in range(4000)]
        def threads():
            return len(os.listdir("/proc/self/task"))
        base = threads()
        tok.encode_special_batch(texts[:1], num_threads=8)
        tok.encode_ordinary_batch(texts, num_threads=1)
        serial = threads()
        tok.encode_ordinary_batch(texts, num_threads=8)
        first = threads()
        for _ in range(5):
            tok.count_tokens_batch(texts, num_threads=8)
        again = threads()
        print(base, serial, first, again)
    """, write_small_byte_level(tmp_path))
    base, serial, first, again = map(int, out.split())
    assert serial == base
    assert base < first <= base + 8
    assert again <= base + 8


def test_concurrent_batches_share_the_helper_threads(small):
    # Runs from several Python threads at once, with different thread counts,
    # post to the same helper threads: one run may take over a helper another
    # had asked for, and every run must still finish with its own results.
    texts = [f"text {i}: " + "the other thing in " * (40 + i % 300) for i in range(400)]
    want = [small.encode_ordinary(t) for t in texts]
    counts = [len(ids) for ids in want]
    faults = []

    def run(num_threads):
        try:
            for _ in range(6):
                if small.encode_ordinary_batch(texts, num_threads=num_threads) != want:
                    faults.append(f"encode_ordinary_batch, {num_threads} threads")
                if small.count_tokens_batch(texts, num_threads=num_threads) != counts:
                    faults.append(f"count_tokens_batch, {num_threads} threads")
        except BaseException as exc:  # noqa: BLE001 - every escape is a fault
            faults.append(repr(exc))

    threads = [threading.Thread(target=run, args=(n,)) for n in (2, 3, 8, 8, 0, 64)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert faults == []


def test_set_special_tokens_refused_while_a_batch_runs(small):
    texts = ["some words here and there " * 400] * 100
    seen = []
    for _ in range(6):
        done = threading.Event()
        results = []

        def run():
            results.append(small.encode_ordinary_batch(texts, num_threads=2))
            done.set()

        worker = threading.Thread(target=run)
        worker.start()
        while not done.is_set():
            try:
                small.set_special_tokens([], [], [], [], 0)
            except RuntimeError as e:
                seen.append(str(e))
                break
        worker.join()
        assert len(results) == 1
        if seen:
            break
        texts = texts * 4
    assert seen == ["Already borrowed"]

"""Many threads share one Tokenizer: readers of every method run beside threads
that swap the special-token registration. Every result must equal the
single-threaded result under one of the registrations, the only errors are the
borrow refusals, and nothing deadlocks."""
import os
import random
import threading
import time

import numpy as np
import pytest

from quorvane._core import Tokenizer

from conftest import FULL, test_cache
from tokfiles import borrow_count, byte_level_doc, write

THREADS = 16
WRITERS = 2
SECONDS = 30.0 if FULL else 4.0
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")

# Two registrations that cut the texts differently: <b> is in both with different ids.
REGISTRATIONS = {
    "A": (["<a>", "<b>"], [1000, 1001], [False, False], [False, False], 0),
    "B": (["<b>", "<c>", "<b>x"], [2000, 2001, 2002], [False, True, False], [True, False, False], 0),
}
TEXTS = [
    "",
    "plain text without markers",
    "x<a>y<b>z<c>w<b>xx",
    "<b> <c> <a>",
    "ab abc " * 40 + "<c>" + " 12345 " * 30,
    "caf\u00e9 \u4e2d\u6587 <b>x\u00e9 \U0001f600<a>",
    "  <c>  <b>  ",
]


def _model(kind, tmp_path):
    if kind == "small":
        return write(tmp_path, byte_level_doc(merges=[("a", "b"), ("ab", "c"), (" ", "a"),
                                                      ("<", "b"), ("1", "2")]))
    path = test_cache() / "tokenizers" / f"{kind}.json"
    if not path.is_file():
        pytest.skip(f"test data {kind} not available")
    return str(path)


def _expected(tok):
    """Per registration: the special-aware results; plus the registration-free ones."""
    special = {}
    for name, reg in REGISTRATIONS.items():
        tok.set_special_tokens(*reg)
        padded = tok.encode_special_padded(TEXTS, [7], [8], num_threads=1)
        special[name] = {
            "encode_special": [tok.encode_special(t) for t in TEXTS],
            "padded": (padded["input_ids"].tolist(), padded["attention_mask"].tolist()),
            "padded_trunc": {k: v.tolist() for k, v in tok.encode_special_padded(
                TEXTS, [7], [], max_length=6, truncation=True, pad_to_max=True, pad_left=True,
                trunc_left=True, num_threads=1).items()},
        }
    assert special["A"]["encode_special"] != special["B"]["encode_special"]
    ordinary = [tok.encode_ordinary(t) for t in TEXTS]
    batch = tok.encode_batch(TEXTS, max_length=50, pad_id=3, num_threads=1)
    plain = {
        "encode_ordinary": ordinary,
        "encode_ordinary_no_prefix": [tok.encode_ordinary_no_prefix(t) for t in TEXTS],
        "count_tokens": [len(ids) for ids in ordinary],
        "encode_with_offsets": [tok.encode_with_offsets(t) for t in TEXTS],
        "encode_batch": (batch["input_ids"].tolist(), batch["attention_mask"].tolist()),
        "decode": [tok.decode(ids) for ids in ordinary],
    }
    return special, plain


def _reader_step(tok, rng, special, plain, record):
    """One random method call; returns a description of a wrong result, or None."""
    i = rng.randrange(len(TEXTS))
    text = TEXTS[i]
    threads = rng.choice([0, 1, 2, 4])
    op = rng.randrange(14)
    if op == 0:
        got, want = tok.encode_ordinary(text), plain["encode_ordinary"][i]
    elif op == 1:
        got, want = tok.encode_ordinary_no_prefix(text), plain["encode_ordinary_no_prefix"][i]
    elif op == 2:
        got, want = tok._encode_ordinary_stream(text), plain["encode_ordinary"][i]
    elif op == 3:
        got, want = tok._encode_ordinary_scan(text), plain["encode_ordinary"][i]
    elif op == 4:
        got = np.frombuffer(tok.encode_to_bytes(text), dtype=np.uint32).tolist()
        want = plain["encode_ordinary"][i]
    elif op == 5:
        got, want = tok.count_tokens(text), plain["count_tokens"][i]
    elif op == 6:
        got, want = tok.encode_with_offsets(text), plain["encode_with_offsets"][i]
    elif op == 7:
        got = tok.encode_ordinary_batch(TEXTS, num_threads=threads)
        want = plain["encode_ordinary"]
    elif op == 8:
        got = tok.count_tokens_batch(TEXTS, num_threads=threads)
        want = plain["count_tokens"]
    elif op == 9:
        out = tok.encode_batch(TEXTS, max_length=50, pad_id=3, num_threads=threads)
        got, want = (out["input_ids"].tolist(), out["attention_mask"].tolist()), plain["encode_batch"]
    elif op == 10:
        ids = plain["encode_ordinary"]
        if rng.random() < 0.5:
            got, want = tok.decode_batch(ids, num_threads=threads), plain["decode"]
        else:
            got = tok.decode_array(np.array(ids[i], dtype=np.uint32))
            want = plain["decode"][i]
    elif op == 11:  # one whole call runs under one registration
        got = tok.encode_special(text)
        return _one_of(got, [s["encode_special"][i] for s in special.values()], "encode_special", record)
    elif op == 12:
        got = tok.encode_special_batch(TEXTS, num_threads=threads)
        return _one_of(got, [s["encode_special"] for s in special.values()],
                       "encode_special_batch", record)
    else:
        if rng.random() < 0.5:
            out = tok.encode_special_padded(TEXTS, [7], [8], num_threads=threads)
            got = (out["input_ids"].tolist(), out["attention_mask"].tolist())
            return _one_of(got, [s["padded"] for s in special.values()], "padded", record)
        out = tok.encode_special_padded(TEXTS, [7], [], max_length=6, truncation=True,
                                        pad_to_max=True, pad_left=True, trunc_left=True,
                                        num_threads=threads)
        got = {k: v.tolist() for k, v in out.items()}
        return _one_of(got, [s["padded_trunc"] for s in special.values()], "padded_trunc", record)
    return None if got == want else f"op {op} text {i}: {got!r} != {want!r}"


def _one_of(got, choices, what, record):
    if got not in choices:
        return f"{what}: {got!r} matches no registration"
    record("seen_" + "AB"[choices.index(got)])
    return None


@pytest.mark.timeout(120)
@pytest.mark.parametrize("kind", ["small", "gpt2"])
def test_threads_share_one_tokenizer(tmp_path, kind):
    tok = Tokenizer(_model(kind, tmp_path))
    special, plain = _expected(tok)
    deadline = time.monotonic() + SECONDS
    faults, lock = [], threading.Lock()
    calls = {"ok": 0, "refused": 0, "swaps": 0, "swap_refused": 0, "seen_A": 0, "seen_B": 0}

    def record(key, n=1):
        with lock:
            calls[key] += n

    def guarded(body):
        try:
            body()
        except BaseException as exc:  # noqa: BLE001 - every escape is a fault
            with lock:
                faults.append(f"{type(exc).__name__}: {exc}")

    # Readers hold a borrow nearly all the time, so a writer would only ever be
    # refused; a writer that wants a turn raises `quiet`, and readers that see it
    # pause before their next call, while those already in a call race the writer.
    quiet = threading.Event()
    start = threading.Barrier(THREADS)

    def reader(seed):
        rng = random.Random(seed)
        start.wait()
        while time.monotonic() < deadline and not faults:
            if quiet.is_set():
                time.sleep(0.0005)
            try:
                wrong = _reader_step(tok, rng, special, plain, record)
            except RuntimeError as exc:
                assert str(exc) in BORROW_ERRORS, str(exc)
                record("refused")
                continue
            if wrong:
                raise AssertionError(wrong)
            record("ok")

    def writer(seed):
        rng = random.Random(seed)
        name = "A"
        start.wait()
        while time.monotonic() < deadline and not faults:
            quiet.set()
            turn_ends = time.monotonic() + 0.002
            while time.monotonic() < turn_ends:
                try:
                    tok.set_special_tokens(*REGISTRATIONS[name])
                except RuntimeError as exc:
                    assert str(exc) in BORROW_ERRORS, str(exc)
                    record("swap_refused")
                    time.sleep(0)
                    continue
                record("swaps")
                name = "B" if name == "A" else "A"
                break
            quiet.clear()
            time.sleep(rng.random() * 0.003)  # readers run under this registration

    workers = [threading.Thread(target=guarded, args=(lambda s=s: writer(s),), daemon=True)
               for s in range(WRITERS)]
    workers += [threading.Thread(target=guarded, args=(lambda s=s: reader(s),), daemon=True)
                for s in range(WRITERS, THREADS)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=SECONDS + 60)
    stuck = [w for w in workers if w.is_alive()]
    assert not stuck, f"{len(stuck)} threads still running: deadlock?"
    assert not faults, faults[:5]
    assert calls["ok"] > 100, calls
    # Registrations changed under the readers, and both were seen.
    assert calls["swaps"] >= 10 and calls["seen_A"] and calls["seen_B"], calls
    assert borrow_count(tok) == 0
    # The object is still fully usable and takes a registration at once.
    tok.set_special_tokens(*REGISTRATIONS["A"])
    assert [tok.encode_special(t) for t in TEXTS] == special["A"]["encode_special"]
    print(calls)


@pytest.mark.timeout(120)
def test_registration_eventually_lands_between_readers(tmp_path):
    """Readers that pause between calls leave room: a writer that retries succeeds."""
    tok = Tokenizer(_model("small", tmp_path))
    special, _ = _expected(tok)
    stop = threading.Event()
    errors = []

    def reader():
        while not stop.is_set():
            try:
                tok.encode_ordinary_batch(TEXTS * 20, num_threads=2)
            except RuntimeError as exc:
                if str(exc) not in BORROW_ERRORS:
                    errors.append(exc)
            time.sleep(0.001)

    readers = [threading.Thread(target=reader, daemon=True) for _ in range(4)]
    for r in readers:
        r.start()
    landed = 0
    try:
        for name in "ABAB":
            for _ in range(100_000):
                try:
                    tok.set_special_tokens(*REGISTRATIONS[name])
                    break
                except RuntimeError as exc:
                    assert str(exc) == "Already borrowed"
                    time.sleep(0.0001)
            else:
                pytest.fail("registration never found the object free")
            landed += 1
            assert tok.encode_special(TEXTS[2]) == special[name]["encode_special"][2]
    finally:
        stop.set()
        for r in readers:
            r.join(timeout=60)
    assert landed == 4 and not errors
    assert borrow_count(tok) == 0

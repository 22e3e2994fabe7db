"""How real Python programs use a tokenizer: daemon threads still inside calls when the
interpreter exits, fork() in data-loader workers while other threads run batches, sequences
whose __len__ over-reports, and running out of memory. Each case runs in a fresh interpreter,
since its failure mode is the death or hang of the process."""
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import FULL, model_path

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="fork, /proc and RLIMIT_AS")


def run_script(code: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter; a hang fails the test by the timeout."""
    return subprocess.run([sys.executable, "-W", "ignore", "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=timeout)


def assert_clean(proc: subprocess.CompletedProcess, expected_stdout: str | None = None):
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    assert proc.stderr == ""
    if expected_stdout is not None:
        assert proc.stdout == expected_stdout


DAEMON_SCRIPT = """
    import sys, threading, time
    from quorvane import Tokenizer
    tok = Tokenizer(sys.argv[1])
    text = "hello world " * 50
    ids = tok.encode_ordinary(text)
    calls = [
        lambda: tok.encode_ordinary(text),
        lambda: tok.count_tokens(text),
        lambda: tok.encode_special(text),
        lambda: tok.decode(ids),
        lambda: tok.encode_ordinary_batch([text] * 64),
        lambda: tok.count_tokens_batch([text] * 64, num_threads=3),
        lambda: tok.decode_batch([ids] * 64),
        lambda: tok.encode_batch([text] * 64),
        lambda: tok.encode_special_padded([text] * 64, [1], [2]),
    ]
    def forever(call):
        while True:
            call()
    for call in calls * 2:
        threading.Thread(target=forever, args=(call,), daemon=True).start()
    time.sleep(0.3)
    print("exiting")
"""


def test_interpreter_exits_cleanly_with_daemon_threads_inside_calls():
    path = model_path("llama2")
    for _ in range(20 if FULL else 3):
        assert_clean(run_script(DAEMON_SCRIPT, path), "exiting\n")


FORK_SCRIPT = """
    import os, sys, threading, time
    from quorvane import Tokenizer
    tok = Tokenizer(sys.argv[1])
    forks = int(sys.argv[2])
    texts = [f"line {i}: the quick brown fox jumps over the lazy dog " * 3 for i in range(256)]
    want = [tok.encode_ordinary(t) for t in texts]

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def child(measure):
        assert tok.encode_ordinary_batch(texts) == want
        assert tok.encode_ordinary_batch(texts, num_threads=3) == want
        assert tok.encode_special_batch(texts) == want
        assert tok.count_tokens_batch(texts) == [len(ids) for ids in want]
        assert tok.decode_batch(want) == [tok.decode(ids) for ids in want]
        rows = tok.encode_batch(texts[:4], max_length=8)["input_ids"].tolist()
        assert rows == [ids[:8] for ids in want[:4]]
        # The parent's threads held borrows when it forked; none of them exist here.
        tok.set_special_tokens(["<x>"], [5], [False], [False], 0)
        tok.set_special_tokens([], [], [], [], 0)
        if measure:
            # Several tasks per batch, so that a pool would be asked for helpers.
            long_texts = [t * 30 for t in texts[:4]]
            for _ in range(1000):
                tok.encode_ordinary_batch(long_texts)
            rss()
            before = rss()
            for _ in range(10000):
                tok.encode_ordinary_batch(long_texts)
            grown = rss() - before
            assert grown < 64 * 10000, f"grew by {grown} bytes over 10000 batches"

    def fork_and_check(measure=False):
        pid = os.fork()
        if pid == 0:
            code = 0
            try:
                child(measure)
            except BaseException as e:
                print("child failed:", repr(e), flush=True)
                code = 1
            os._exit(code)
        deadline = time.monotonic() + 20
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                return "hung"
            time.sleep(0.002)

    # Before the pools ever ran, and then while two threads keep them busy.
    failures = [code for code in [fork_and_check()] if code != 0]
    stop = False
    def busy():
        while not stop:
            assert tok.encode_ordinary_batch(texts) == want
            assert tok.count_tokens_batch(texts, num_threads=4) == [len(ids) for ids in want]
    threads = [threading.Thread(target=busy) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(0.05)
    for i in range(forks):
        code = fork_and_check(measure=i == 0)
        if code != 0:
            failures.append(code)
    stop = True
    for t in threads:
        t.join()
    print("failures", failures)
"""


def test_forked_children_are_fully_usable():
    proc = run_script(FORK_SCRIPT, model_path("gpt2"), "40" if FULL else "8", timeout=240)
    assert_clean(proc, "failures []\n")


LYING_SCRIPT = """
    import sys
    from quorvane import Tokenizer
    tok = Tokenizer(sys.argv[1])

    class Lazy:
        # A sequence whose __len__ over-reports, as a lazy dataset view may.
        def __init__(self, items):
            self.items = list(items)
        def __len__(self):
            return 10**10
        def __getitem__(self, i):
            return self.items[i]

    texts = ["hello world", "foo bar baz", ""]
    ids = tok.encode_ordinary("hello world")
    def calls(wrap):
        return [
            lambda: tok.encode_ordinary_batch(wrap(texts)),
            lambda: tok.encode_special_batch(wrap(texts)),
            lambda: tok.count_tokens_batch(wrap(texts)),
            lambda: tok.encode_batch(wrap(texts))["input_ids"].tolist(),
            lambda: tok.decode(wrap(ids)),
            lambda: tok.decode_batch(wrap([ids, ids])),
            lambda: tok.decode_batch([wrap(ids)]),
            lambda: tok.encode_special_padded(wrap(texts), wrap([1]), wrap([2]))["input_ids"].tolist(),
            lambda: tok.set_special_tokens(wrap(["<x>"]), wrap([5]), wrap([False]), wrap([False]), 0),
        ]
    for lazy, plain in zip(calls(Lazy), calls(list)):
        assert lazy() == plain()
    print("ok")
"""


def test_over_reported_lengths_are_only_hints():
    assert_clean(run_script(LYING_SCRIPT, model_path("gpt2")), "ok\n")


OOM_SCRIPT = """
    import array, resource, sys
    from quorvane import Tokenizer
    tok = Tokenizer(sys.argv[1])
    small = "Hello world, caf\\u00e9 12345 \\u6f22\\u5b57 <x>"
    tok.set_special_tokens(["<x>"], [3], [False], [False], 0)
    want = (tok.encode_ordinary(small), tok.encode_special(small), tok.decode(tok.encode_ordinary(small)))
    big = "The quick brown fox jumps over the lazy dog. " * (60_000_000 // 45)
    # A few ids that decode to ~100 MB.
    longest = max(range(min(tok.n_vocab, 50_000)), key=lambda i: len(tok.decode([i]).encode()))
    many = [longest] * (100_000_000 // max(1, len(tok.decode([longest]).encode())))
    many_array = array.array("I", many)

    def address_space():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    # No room for any new mapping: only memory the process already holds.
    resource.setrlimit(resource.RLIMIT_AS, (address_space(), resource.RLIM_INFINITY))
    counted = []
    calls = {
        "encode_ordinary": lambda: tok.encode_ordinary(big),
        "encode_ordinary_no_prefix": lambda: tok.encode_ordinary_no_prefix(big),
        "_encode_ordinary_scan": lambda: tok._encode_ordinary_scan(big),
        "count_tokens": lambda: tok.count_tokens(big),
        "encode_to_bytes": lambda: tok.encode_to_bytes(big),
        "encode_with_offsets": lambda: tok.encode_with_offsets(big),
        "encode_special": lambda: tok.encode_special(big),
        "decode": lambda: tok.decode(many),
        "decode_array": lambda: tok.decode_array(many_array),
        "encode_ordinary_batch": lambda: tok.encode_ordinary_batch([big]),
    }
    for name, call in calls.items():
        try:
            result = call()
        except MemoryError:
            result = "MemoryError"
        except ValueError:
            result = "refused"  # encode_with_offsets on models it does not serve
        if name == "count_tokens" and isinstance(result, int):
            counted.append(result)  # the count may fit where the id list does not
        else:
            assert result in ("MemoryError", "refused"), name
        got = (tok.encode_ordinary(small), tok.encode_special(small), tok.decode(tok.encode_ordinary(small)))
        assert got == want, name
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert counted in ([], [tok.count_tokens(big)])
    print("ok")
"""


@pytest.mark.parametrize("model", ["llama2", "gpt2", "deepseek_v3"])
def test_allocation_failure_is_a_memory_error(model):
    assert_clean(run_script(OOM_SCRIPT, model_path(model), timeout=120), "ok\n")

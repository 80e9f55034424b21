"""The batch engine under hostile input: huge batches, huge words, interrupts,
many Python threads, fork()."""

import _thread
import gc
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB


@pytest.fixture(scope="module")
def tok():
    return morfex.default_model()


def test_ten_million_words_in_one_batch(tok):
    word = "kot\u2581ami"
    ids, offsets = tok.encode_flat([word] * 10_000_000, threads=2)
    one = tok.encode(word)
    assert len(offsets) == 10_000_001
    assert len(ids) == 10_000_000 * len(one)
    assert ids[-len(one) :].tolist() == one and np.all(np.diff(offsets) == len(one))


def test_a_one_megabyte_word(tok):
    word = ("kot\u2581ami\u2581" * 100_000)[: 1 << 20]
    expected = tok.encode(word)
    assert tok.encode_batch([word, "dom", word], threads=2) == [expected, tok.encode("dom"), expected]
    assert tok.decode_batch([expected]) == [tok.decode(expected)]


def test_a_non_str_at_the_last_index_leaves_nothing_behind(tok):
    words = ["dom"] * 200_000 + [None]
    with pytest.raises(TypeError, match="^item 200000: argument 'text': "):
        tok.encode_batch(words, threads=2)
    assert tok.encode_batch(["dom"]) == [tok.encode("dom")]


def interrupt_after(seconds):
    timer = threading.Timer(seconds, _thread.interrupt_main)
    timer.start()
    return timer


def assert_ctrl_c_stops_it_early(whole, part, parts):
    """Times part(), a parts-th of the work of whole(), uninterrupted, then
    interrupts whole() early and checks that it ended within half of its
    own uninterrupted time as the part predicts it: measured rather than
    assumed, so that a busy machine or a sanitizer slows both alike. A call
    that ignored the interrupt would run its whole time; one that honours it
    ends soon after, so half the predicted time leaves room for a part that
    predicts the whole only within a factor of about two."""
    # The lists of encode_batch are made under the lock and can start a
    # collection; a gc callback (hypothesis installs one) would then take the
    # interrupt itself and report it as unraisable.
    gc.disable()
    try:
        start = time.monotonic()
        part()
        whole_time = parts * (time.monotonic() - start)
        timer = interrupt_after(min(0.3, whole_time / 30))
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            whole()
        elapsed = time.monotonic() - start
    finally:
        gc.enable()
    timer.join()
    assert elapsed < whole_time / 2, (elapsed, whole_time)


@pytest.mark.parametrize("method", ["encode_flat", "encode_batch"])
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_batch_quickly(tok, method, threads):
    words = ["kot\u2581ami\u2581" * 40] * 3_000_000  # far more than a second of work
    encode = getattr(tok, method)
    assert_ctrl_c_stops_it_early(
        # Parts of more than 4096 words, which run on `threads` as the whole does.
        lambda: encode(words, threads=threads), lambda: encode(words[:5_000], threads=threads), parts=600
    )
    assert tok.encode_batch(["dom"], threads=threads) == [tok.encode("dom")]


def test_ctrl_c_stops_a_long_decode(tok):
    ids = np.full(60_000_000, 500, dtype=np.uint32)
    offsets = np.arange(0, 60_000_001, 6, dtype=np.int64)
    timer = interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        tok.decode_flat(ids, offsets, threads=2)
    timer.join()


TEXT = "Ala ma kota, a kot ma 12 ps\u00f3w \u20ac.\n"


def same_word(word):
    return word


@pytest.mark.parametrize("segmenter", [None, same_word], ids=["native", "python-segmenter"])
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_text_batch_quickly(tok, threads, segmenter):
    texts = [TEXT * 20] * 600_000  # far more than a second of work
    assert_ctrl_c_stops_it_early(
        lambda: tok.encode_text_batch(texts, threads=threads, segmenter=segmenter),
        # Parts of more than 4096 texts, which run on `threads` as the whole does.
        lambda: tok.encode_text_batch(texts[:5_000], threads=threads, segmenter=segmenter),
        parts=120,
    )
    assert tok.encode_text_batch([TEXT], threads=threads) == [tok.encode_text(TEXT)]


def test_ctrl_c_stops_a_long_text_decode(tok):
    ids = np.full(60_000_000, 500, dtype=np.uint32)
    offsets = np.arange(0, 60_000_001, 6, dtype=np.int64)
    assert_ctrl_c_stops_it_early(
        lambda: tok.decode_text_flat(ids, offsets, threads=2),
        lambda: tok.decode_text_flat(ids[:600_000], offsets[:100_001], threads=2),
        parts=100,
    )
    assert tok.decode_text_flat(ids[:6], offsets[:2]) == [tok.decode_text(ids[:6].tolist())]


@pytest.fixture(scope="module")
def fallback(tok):
    """The shipped model with the 256 byte tokens added, so that byte fallback is on."""
    vocab = dict(tok.vocab)
    vocab |= {morfex.vocabulary.byte_token(b): len(tok) + 1000 + b for b in range(256)}
    return morfex.Tokenizer(vocab, tok.merges, byte_fallback=True)


def test_eight_python_threads_share_one_tokenizer_on_text(fallback):
    rng = np.random.default_rng(5)
    words = ["kot", "ami", "ma", "\u20ac", "\U0001f600", "12", ",", "\n", " ", "Ala", "\u017c\u00f3\u0142w"]
    texts = ["".join(rng.choice(words, size=int(rng.integers(0, 30)))) for _ in range(6000)]

    def halves(word):
        return word[: len(word) // 2] + "\u2581" + word[len(word) // 2 :] if len(word) > 3 else word

    expected = [fallback.encode_text(t, segmenter=halves) for t in texts]
    spans = [fallback.encode_text(t, offsets=True)[1] for t in texts[:200]]
    failures = []

    def work(seed):
        try:
            part = slice(seed * 300, None)
            assert fallback.encode_text_batch(texts[part], threads=2, segmenter=halves) == expected[part]
            ids, offsets = fallback.encode_text_flat(texts[part], threads=2, segmenter=halves)
            assert fallback.decode_text_flat(ids, offsets, threads=2) == texts[part]
            assert [fallback.encode_text(t, offsets=True)[1] for t in texts[:200]] == spans
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def reenter_encode_text(tok, word, segment):
    assert tok.encode_text(word) == tok.encode(word)


def reenter_batch(tok, word, segment):
    assert tok.encode_text_batch([word] * 5000, threads=2) == [tok.encode(word)] * 5000


def reenter_with_itself(tok, word, segment):
    # The inner call segments with this same segmenter, one character shorter each level.
    if len(word) > 1:
        assert tok.encode_text(word[1:], segmenter=segment) == tok.encode(word[1:])


def reenter_decode(tok, word, segment):
    ids, offsets = tok.encode_text_flat([word] * 5000, threads=2)
    assert tok.decode_text_flat(ids, offsets, threads=2) == [word.replace("\u2581", "")] * 5000


def reenter_resize_cache(tok, word, segment):
    tok.cache_size = len(word) % 5



@pytest.mark.parametrize(
    "action",
    [reenter_encode_text, reenter_batch, reenter_with_itself, reenter_decode, reenter_resize_cache],
)
def test_a_segmenter_may_call_the_tokenizer(tok, action):
    # The shipped model's own segmenter stays out: the calls inside compare with plain encoding.
    tok = morfex.Tokenizer(tok.vocab, tok.merges, byte_fallback=tok.byte_fallback)
    texts = ["Ala ma kota, a kot ma psa.", "kot\u2581ami i psy"] * 3000
    expected = tok.encode_text_batch(texts, threads=2)

    def segment(word):
        action(tok, word, segment)
        return word

    try:
        assert tok.encode_text_batch(texts, threads=2, segmenter=segment) == expected
        ids, offsets = tok.encode_text_flat(texts, threads=2, segmenter=segment)
        assert [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(texts))] == expected
    finally:
        tok.cache_size = morfex.engine.DEFAULT_CACHE_SIZE


def test_eight_python_threads_share_one_tokenizer(tok):
    rng = np.random.default_rng(3)
    vocab = [t for t in tok.vocab if t not in morfex.SPECIAL_TOKENS]
    # Each thread's batches start at most 7002 words in: at 12,000 words every
    # batch is large enough to run on the engine's threads.
    words = ["\u2581".join(vocab[i] for i in rng.integers(0, len(vocab), 3)) for _ in range(12_000)]
    expected = [tok.encode(w) for w in words]
    failures = []

    def work(seed):
        try:
            for round_ in range(3):
                part = words[seed * 1000 + round_ :]
                assert tok.encode_batch(part, threads=2) == expected[seed * 1000 + round_ :]
                ids, offsets = tok.encode_flat(part, threads=2)
                assert tok.decode_flat(ids, offsets, threads=2) == [tok.decode(e) for e in expected[seed * 1000 + round_ :]]
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_other_python_threads_run_while_a_batch_works(tok):
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    # A batch of about a quarter of a second in this build, optimised or
    # sanitized alike: long enough for many ticks, no longer.
    words = ["kot\u2581ami\u2581" * 40] * 500
    start = time.monotonic()
    tok.encode_flat(words, threads=1)
    words *= max(1, round(0.25 / (time.monotonic() - start)))
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.monotonic()
        tok.encode_flat(words, threads=1)
        end = time.monotonic()
    finally:
        stop.set()
        thread.join()
    during = [t for t in ticks if start < t < end]
    assert len(during) > 3, (len(words), end - start, len(during))


FORK_SCRIPT = """
import os, sys
import morfex
tok = morfex.Tokenizer(VOCAB, MERGES)
words = ["k\\u2581um\\u2581ain", "aab"] * 50000
expected = tok.encode_batch(words, threads=1)
assert tok.encode_batch(words, threads=2) == expected
pid = os.fork()
if pid == 0:
    ok = tok.encode_batch(words, threads=2) == expected and tok.decode_batch(expected, threads=2)[0] == "kumain"
    os._exit(0 if ok else 1)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""


# The fork happens while another thread is inside a batch, its workers running.
BUSY_FORK_SCRIPT = FORK_SCRIPT.replace(
    "pid = os.fork()",
    """import threading
busy = threading.Thread(target=lambda: tok.encode_flat(["k\\u2581um\\u2581ain" * 30] * 2_000_000, threads=2))
busy.start()
import time
time.sleep(0.2)
pid = os.fork()""",
).replace("sys.exit(", "busy.join()\nsys.exit(")


@pytest.mark.parametrize("script", [FORK_SCRIPT, BUSY_FORK_SCRIPT], ids=["after a batch", "during a batch"])
def test_a_child_process_encodes_after_fork(script):
    script = script.replace("VOCAB", repr(EXAMPLE_VOCAB)).replace("MERGES", repr(EXAMPLE_MERGES))
    result = subprocess.run([sys.executable, "-W", "ignore", "-c", script], timeout=60, capture_output=True)
    assert result.returncode == 0, result.stderr.decode()


def run_script(script, timeout=120, **kwargs):
    """Runs `script` in a fresh interpreter; returns (status, stderr)."""
    result = subprocess.run(
        [sys.executable, "-W", "ignore", "-c", script], timeout=timeout, capture_output=True, **kwargs
    )
    return result.returncode, result.stderr.decode(errors="replace")


BATCH_PATHS = {
    "encode_batch": lambda tok, batch: tok.encode_batch(batch, threads=2),
    "encode_flat": lambda tok, batch: tok.encode_flat(batch, threads=2),
    "encode_padded": lambda tok, batch: tok.encode_padded(batch, threads=2),
    "encode_text_batch": lambda tok, batch: tok.encode_text_batch(batch, threads=2),
    "encode_text_flat": lambda tok, batch: tok.encode_text_flat(batch, threads=2),
    "encode_text_padded": lambda tok, batch: tok.encode_text_padded(batch, threads=2),
    "encode_text_batch with a Python segmenter": lambda tok, batch: tok.encode_text_batch(
        batch, threads=2, segmenter=same_word
    ),
    "segment_batch": lambda tok, batch: tok.segmenter.segment_batch(batch, threads=2),
}


@pytest.mark.parametrize("path", BATCH_PATHS.values(), ids=BATCH_PATHS.keys())
@pytest.mark.parametrize("prefix", [0, 70_000], ids=["first block", "second block"])
def test_every_batch_path_reports_the_first_bad_item(tok, path, prefix):
    batch = ["dom"] * prefix + ["\ud800", 5]
    with pytest.raises(UnicodeEncodeError, match=f"item {prefix}: surrogates not allowed"):
        path(tok, batch)


SHRINKING_BATCH = """
import signal, sys, threading, time
import morfex
tok = morfex.default_model()
words = ["kotami", "ala ma kota", "przyszli\u2581\u015bmy"] * 100_000
expected = {w: tok.segmenter.segment(w) for w in set(words)}
expected_text = {w: tok.encode_text(w) for w in set(words)}
original = list(words)
HOW
result = CALL
# A call done before the alarm must not meet it after the handler is gone.
signal.setitimer(signal.ITIMER_REAL, 0)
# Whatever was read before the list shrank is the start of the answer.
if "segment_batch" in "CALL":
    assert result == [expected[w] for w in original[: len(result)]], len(result)
elif "encode_text_batch" in "CALL":
    assert result == [expected_text[w] for w in original[: len(result)]], len(result)
"""

SHRINK_BY = {
    "thread": "threading.Timer(0.02, words.clear).start()",
    "signal handler": "signal.signal(signal.SIGALRM, lambda *_: words.clear()); signal.setitimer(signal.ITIMER_REAL, 0.02)",
}

SHRINKING_CALLS = {
    "segment_batch": "tok.segmenter.segment_batch(words, threads=2)",
    "encode_text_batch": "tok.encode_text_batch(words, threads=2)",
    "encode_text_flat": "tok.encode_text_flat(words, threads=2)",
    "encode_text_padded": "tok.encode_text_padded(words, threads=2)",
    "encode_flat": "tok.encode_flat(words, threads=2)",
}


@pytest.mark.parametrize("how", SHRINK_BY.values(), ids=SHRINK_BY.keys())
@pytest.mark.parametrize("call", SHRINKING_CALLS.values(), ids=SHRINKING_CALLS.keys())
def test_a_batch_whose_list_shrinks_ends_cleanly(how, call):
    status, stderr = run_script(SHRINKING_BATCH.replace("HOW", how).replace("CALL", call), timeout=60)
    assert status == 0, stderr


def clearing_segmenter(texts):
    def segment(word):
        texts.clear()
        return word

    return segment


@pytest.mark.parametrize("method", ["encode_text_batch", "encode_text_flat", "encode_text_padded"])
def test_a_segmenter_that_clears_the_batch_ends_the_batch(method):
    script = f"""
import morfex
tok = morfex.default_model()
texts = ["ala ma kota"] * 70_000
def segment(word):
    texts.clear()
    return word
tok.{method}(texts, threads=2, segmenter=segment)
"""
    status, stderr = run_script(script, timeout=60)
    assert status == 0, stderr


def test_format_lines_reads_ids_that_another_thread_rewrites_once():
    script = """
import threading
import numpy as np
from morfex import _engine
ids = np.zeros(4_000_000, np.uint32)
stop = False
def churn():
    while not stop:
        ids.fill(4294967295)
        ids.fill(0)
thread = threading.Thread(target=churn)
thread.start()
try:
    for _ in range(10):
        text = _engine.format_lines(ids, np.array([0, ids.size]))
        numbers = text.split()
        assert len(numbers) == ids.size and text.endswith(b"\\n")
        assert set(numbers[:1] + numbers[-1:]) <= {b"0", b"4294967295"}
finally:
    stop = True
    thread.join()
"""
    status, stderr = run_script(script, timeout=600)
    assert status == 0, stderr


FORK_CHURN_SCRIPT = """
import os, random, signal, sys, threading, time
import morfex
tok = morfex.default_model()
words = ["kot\u2581ami", "dom", "przyszli\u015bmy"] * 20_000
expected = tok.encode_flat(words[:9000], threads=1)[0].tolist()

def churn():
    while True:
        tok.cache_size = 32768
        tok.encode_flat(words, threads=2)

threading.Thread(target=churn, daemon=True).start()
hung = failed = 0
for _ in range(FORKS):
    time.sleep(random.uniform(0, 0.02))
    pid = os.fork()
    if pid == 0:
        ok = tok.encode_flat(words[:9000], threads=2)[0].tolist() == expected
        os._exit(0 if ok else 1)
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            failed += os.waitstatus_to_exitcode(status) != 0
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            hung += 1
            break
        time.sleep(0.005)
print(hung, failed)
sys.exit(0 if hung == failed == 0 else 1)
"""


def test_children_forked_at_random_moments_of_a_batch_encode():
    status, stderr = run_script(FORK_CHURN_SCRIPT.replace("FORKS", "40"), timeout=600)
    assert status == 0, stderr


EXIT_SCRIPT = """
import threading, time
import numpy as np
import morfex
tok = morfex.default_model()
words = ["kot\u2581ami", "dom", "przyszli\u015bmy"] * 20_000
text = "ala ma kota, a kot ma al\u0119. " * 2000
ids, offsets = tok.encode_flat(words)
corpus = "kot\u2581ami dom\u2581y przy\u2581szli\u2581\u015bmy\\n" * 20_000
CALLS = {
    "encode_flat": lambda: tok.encode_flat(words, threads=2),
    "encode_batch": lambda: tok.encode_batch(words[:30], threads=2),
    "segment_batch": lambda: tok.segmenter.segment_batch(words, threads=2),
    "encode_text": lambda: tok.encode_text(text),
    "encode_text_flat": lambda: tok.encode_text_flat([text] * 8, threads=2),
    "decode_flat": lambda: tok.decode_flat(ids, offsets, threads=2),
    "train": lambda: morfex.train(corpus, vocab_size=400),
}
call = CALLS[NAME]
def loop():
    while True:
        call()
started = threading.Event()
threading.Thread(target=lambda: (started.set(), loop()), daemon=True).start()
started.wait()
time.sleep(0.3)
"""

EXIT_CALLS = ["encode_flat", "encode_batch", "segment_batch", "encode_text", "encode_text_flat", "decode_flat",
              "train"]


@pytest.mark.parametrize("name", EXIT_CALLS)
def test_the_interpreter_exits_while_a_daemon_thread_works(name):
    # Each run ends the daemon thread at a different point of its call.
    for _ in range(3):
        status, stderr = run_script(EXIT_SCRIPT.replace("NAME", repr(name)), timeout=120)
        assert status == 0, stderr


@pytest.mark.skipif(sys.platform != "linux", reason="address-space limits as Linux applies them")
@pytest.mark.skipif("sanitize" in morfex.__file__, reason="a sanitizer reserves the address space up front")
@pytest.mark.parametrize("call", ["tok.segmenter.segment_batch(words, threads=64)",
                                  "tok.encode_text_flat(words, threads=64)",
                                  "tok.encode_flat(words, threads=64)"])
def test_many_threads_under_an_address_space_limit_raise_memory_error(call):
    script = f"""
import resource
import morfex
tok = morfex.default_model()
words = ["kotami{{}}".format(i) for i in range(300_000)]
resource.setrlimit(resource.RLIMIT_AS, (650_000_000, 650_000_000))
for _ in range(3):
    try:
        {call}
    except MemoryError:
        pass
"""
    status, stderr = run_script(script, timeout=300)
    assert status == 0, stderr

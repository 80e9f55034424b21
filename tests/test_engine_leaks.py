"""Native memory stays flat while the engine's entry points run their success
and error paths over and over (the approach of test_native_leaks.py): Python
references held across the unlocked work, buffers and sessions must all be
released on every path."""

import gc
import sys

import numpy as np
import pytest

from morfex._engine import Engine, format_lines
from protocol_objects import Index
from test_native_leaks import ALLOWED_GROWTH, LONG, MARKER, MERGES, VOCAB, resident_bytes

ENGINE = Engine(VOCAB, MERGES, 64)
WORDS = ["kum" + MARKER + "x" * 50, LONG, "\u00e9kum", "\U0001F600"] * 5
IDS = np.array([5, 4, 11, 12, 99, 0] * 100, dtype=np.uint32)
OFFSETS = np.arange(0, 601, 6, dtype=np.int64)
CHUNK = ("kum " + LONG + "\n").encode() * 20


def raise_value_error():
    raise ValueError("from __index__")


def interrupted_batch():
    def words():
        yield from WORDS
        raise KeyboardInterrupt

    ENGINE.encode_flat(words(), 2)


CASES = [
    ("new", lambda: Engine(VOCAB, MERGES, 16), None, 10_000),
    ("encode-flat", lambda: ENGINE.encode_flat(WORDS, 2), None, 1_500),
    ("encode-lists", lambda: ENGINE.encode_lists(WORDS, 1), None, 1_500),
    ("encode-generator-raises", interrupted_batch, "KeyboardInterrupt", 1_500),
    ("encode-not-str-last", lambda: ENGINE.encode_flat(WORDS + [Index(1)], 2), "TypeError", 1_500),
    ("encode-surrogate", lambda: ENGINE.encode_lists(WORDS + [LONG + "\ud800"], 2), "UnicodeEncodeError", 1_500),
    ("decode-lists", lambda: ENGINE.decode_lists([IDS.tolist()[:60]] * 20, 2), None, 1_500),
    ("decode-item-raises", lambda: ENGINE.decode_lists([[5], [Index(raise_value_error)]], 1), "ValueError", 1_500),
    ("decode-overflow", lambda: ENGINE.decode_lists([[5] * 500, [2**32]], 1), "OverflowError", 1_500),
    ("decode-flat", lambda: ENGINE.decode_flat(IDS, OFFSETS, 2), None, 1_500),
    ("decode-flat-bad-offsets", lambda: ENGINE.decode_flat(IDS, OFFSETS[::-1].copy(), 2), "ValueError", 1_500),
    ("encode-chunk", lambda: ENGINE.encode_chunk(CHUNK, 2), None, 1_500),
    ("encode-chunk-invalid", lambda: ENGINE.encode_chunk(CHUNK + b"\xff", 1), "ValueError", 1_500),
    ("format-lines", lambda: format_lines(IDS, OFFSETS), None, 1_500),
    ("bad-threads", lambda: ENGINE.encode_flat(WORDS, sys.maxsize * 4), "ValueError", 1_500),
]


def outcome(call):
    try:
        call()
    except BaseException as error:
        return type(error).__name__
    return None


@pytest.mark.parametrize(("call", "raises", "repetitions"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_resident_memory_stays_flat(call, raises, repetitions):
    def run(times):
        for _ in range(times):
            try:
                call()
            except BaseException:
                pass

    assert outcome(call) == raises
    run(repetitions // 5)
    gc.collect()
    before = resident_bytes()
    run(repetitions)
    gc.collect()
    after = resident_bytes()
    assert after - before < ALLOWED_GROWTH, f"grew by {after - before} bytes over {repetitions} calls"


def test_buffers_are_freed_with_their_last_view():
    ids, offsets = ENGINE.encode_flat(WORDS * 100, 1)
    array = np.frombuffer(ids, dtype=np.uint32)
    count = sys.getrefcount(ids)
    view = memoryview(ids)
    assert sys.getrefcount(ids) == count + 1
    view.release()
    del array
    assert sys.getrefcount(ids) == count - 1

"""Resident memory measured around a call repeated many times: a native leak
of what one call converted (kilobytes here) shows up as memory that keeps
growing after warm-up. The bound is generous (the interpreter's own
allocator may still settle), so the check does not flake."""

import contextlib
import gc
import os
import sys

from conftest import MARKER

# A small model for both modules' cases, and a payload long enough that
# leaking one call's copy of it shows within the bound.
VOCAB = {"<pad>": 0, "<unk>": 1, MARKER: 4, "k": 5, "u": 6, "m": 7, "um": 11, "kum": 12}
MERGES = [("u", "m"), ("k", "um")]
LONG = "x" * 4096
PAGE = os.sysconf("SC_PAGE_SIZE")
ALLOWED_GROWTH = 1 << 20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@contextlib.contextmanager
def stderr_silenced():
    # Each internal failure writes a report to stderr; keep it out of the log.
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def outcome(call):
    """The name of the exception `call` raises, or None."""
    try:
        call()
    except BaseException as error:
        return type(error).__name__
    return None


def assert_memory_stays_flat(call, raises, repetitions):
    """`call` raises `raises` (an exception's name, or None) and leaks nothing over `repetitions` calls."""

    def run(times):
        for _ in range(times):
            try:
                call()
            except BaseException:
                pass

    with stderr_silenced():
        assert outcome(call) == raises
        run(repetitions // 5)
        gc.collect()
        before = resident_bytes()
        run(repetitions)
        gc.collect()
        after = resident_bytes()
    assert after - before < ALLOWED_GROWTH, f"grew by {after - before} bytes over {repetitions} calls"

"""The interpreter failing to create a result object, reached for real.

A small test-only extension (tests/fault_injection/failing_alloc.cc), built
here with the running interpreter's headers, makes the n-th allocation of the
interpreter fail. Sweeping n over one call reaches every object the call
creates. Each sweep runs in its own process, so that an interpreter left in a
bad state cannot spoil the session.
"""

import functools
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1] / "fault_injection" / "failing_alloc.cc"
REPORT_HEADER = re.compile(r"thread '[^']+' \(\d+\) failed at (src/binding/[a-z_]+\.cc):\d+:\d+:")
BACKTRACE_HINT = (
    "note: run with `MORFEX_BACKTRACE=1` environment variable to display a stack trace"
)
SWEEPS_FOR_LEAKS = 200

# Ids from 300 up, so that every int of a result is a new object, not a cached
# small int. Every argument is built before a fault is armed, and the str
# arguments are ASCII or already converted once, so that within the armed
# window only the call's own allocations are counted.
DRIVER = textwrap.dedent("""
    import gc
    import json
    import sys

    sys.path.insert(0, sys.argv[1])
    import failing_alloc
    import morfex._trainer
    from _morfex import CoreBPE

    VOCAB = {"<pad>": 0, "<unk>": 1, "a": 300, "b": 301, "c": 302, "ab": 303,
             "\\u00e9": 304, "\\u0416": 305, "\\U0001F600": 306}
    MERGES = [("a", "b")]
    bpe = CoreBPE(VOCAB, MERGES)
    TEXT = "abcabcc"
    ASCII_IDS = [303, 302, 300]
    WIDE_IDS = [300, 304, 305, 306]
    CORPUS = "ab\\u2581c\\nab\\n"
    CASES = {
        "encode": lambda: bpe.encode(TEXT),
        "decode_ascii": lambda: bpe.decode(ASCII_IDS),
        "decode_wide": lambda: bpe.decode(WIDE_IDS),
        "train": lambda: morfex._trainer.train(CORPUS, 10, 1, 100, False, None),
        "train_counts": lambda: morfex._trainer.train_counts({"ab\\u2581c": 1, "ab": 1}, 10, 1, 100, False, None),
        "construct": lambda: CoreBPE(VOCAB, MERGES),
    }


    def sweep(call, mark):
        outcomes = []
        for n in range(1, 1000):
            if mark:
                sys.stderr.write(f"=== {n}\\n")
                sys.stderr.flush()
            failing_alloc.fail_allocation(n)
            error = result = None
            try:
                result = call()
            except BaseException as caught:
                error = caught
            fired = failing_alloc.disarm()
            if not fired:
                return outcomes, result
            outcomes.append([type(error).__module__, type(error).__qualname__,
                             [str(arg) for arg in getattr(error, "args", ())]])
        raise AssertionError("the call never got past its allocations")


    def comparable(result):
        return result.encode(TEXT) if isinstance(result, CoreBPE) else result


    call = CASES[sys.argv[2]]
    expected = call()
    outcomes, result = sweep(call, mark=True)
    sys.stderr.write("=== done\\n")
    sys.stderr.flush()
    # The interpreter keeps some blocks the first times round, and a few dozen
    # come and go later (caches, free lists): only the growth over the second
    # of two equal rounds counts.
    growth = []
    for _ in range(2):
        gc.collect()
        blocks = sys.getallocatedblocks()
        for _ in range(int(sys.argv[3])):
            sweep(call, mark=False)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    print(json.dumps({
        "outcomes": outcomes,
        "recovered": type(result) is type(expected) and comparable(result) == comparable(expected),
        "block_growth": growth,
        "sizes": [len(part) for part in expected] if isinstance(expected, tuple)
                 else [len(comparable(expected))],
    }))
""")

PANIC = ["tessel_runtime", "PanicException", ["Python API call failed"]]
MEMORY_ERROR = ["builtins", "MemoryError", []]

# (case, what every failed allocation must raise, whether the failure is
# reported on standard error, how many allocations must fail at the least)
CASES = [
    # The list, then one int per id.
    ("encode", PANIC, True, lambda sizes: 1 + sizes[0]),
    ("decode_ascii", PANIC, True, lambda sizes: 1),
    ("decode_wide", PANIC, True, lambda sizes: 1),
    # The other extension module, with its own copy of the binding layer: the
    # two lists and a str per token and per merge side (tuples may come from
    # the interpreter's free list).
    ("train", PANIC, True, lambda sizes: 2 + sizes[0] + 2 * sizes[1]),
    ("train_counts", PANIC, True, lambda sizes: 2 + sizes[0] + 2 * sizes[1]),
    # Only fallible interpreter calls: their error is raised as it is.
    ("construct", MEMORY_ERROR, False, lambda sizes: 1),
]


@pytest.fixture(scope="session")
def failing_alloc_dir(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no g++ to build the fault-injecting allocator")
    include = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(include, "Python.h")):
        pytest.skip(f"no Python.h in {include} to build the fault-injecting allocator")
    out = tmp_path_factory.mktemp("failing_alloc")
    target = out / ("failing_alloc" + sysconfig.get_config_var("EXT_SUFFIX"))
    # The compiler is not under test: it runs without any preloaded sanitizer.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run(
        [compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror",
         "-I", include, str(SOURCE), "-o", str(target)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert built.returncode == 0, built.stderr
    return out


# Both tests read the same run of a case.
@functools.cache
def run_sweep(directory, case):
    env = {k: v for k, v in os.environ.items() if k != "MORFEX_BACKTRACE"}
    done = subprocess.run(
        [sys.executable, "-c", DRIVER, str(directory), case, str(SWEEPS_FOR_LEAKS)],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout), done.stderr


# What the first sweep wrote, by the allocation made to fail.
def stderr_per_allocation(stderr):
    first, done, _ = stderr.partition("=== done\n")
    assert done
    chunks = re.split(r"^=== (\d+)\n", first, flags=re.MULTILINE)
    assert chunks[0] == ""
    return {int(n): text for n, text in zip(chunks[1::2], chunks[2::2])}


@pytest.mark.parametrize(("case", "raised", "reported", "least"), CASES, ids=[c[0] for c in CASES])
def test_every_failed_allocation(failing_alloc_dir, case, raised, reported, least):
    report, stderr = run_sweep(failing_alloc_dir, case)
    outcomes = report["outcomes"]
    assert len(outcomes) >= least(report["sizes"])
    assert outcomes == [raised] * len(outcomes)
    # Once the allocations succeed again, the call gives its usual result.
    assert report["recovered"]
    chunks = stderr_per_allocation(stderr)
    assert sorted(chunks) == list(range(1, len(outcomes) + 2))
    assert chunks[len(outcomes) + 1] == ""
    for n in range(1, len(outcomes) + 1):
        if not reported:
            assert chunks[n] == ""
            continue
        # The pending exception is printed first, then the failure report.
        lines = chunks[n].splitlines()
        assert len(lines) == 4, chunks[n]
        assert lines[0] == "MemoryError"
        assert REPORT_HEADER.fullmatch(lines[1]), lines[1]
        assert lines[2:] == ["Python API call failed", BACKTRACE_HINT]


@pytest.mark.parametrize("case", [c[0] for c in CASES])
def test_failed_allocations_leak_nothing(failing_alloc_dir, case):
    if sys.getallocatedblocks() == 0:
        pytest.skip("the interpreter's allocator does not count its blocks")
    report, _ = run_sweep(failing_alloc_dir, case)
    # Any object left behind by a failed call would grow the count by at
    # least one block in every sweep.
    assert report["block_growth"][-1] < SWEEPS_FOR_LEAKS

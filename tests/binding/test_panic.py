import gc
import inspect
import os
import re
import subprocess
import sys
import textwrap
import traceback

import pytest

import _morfex
from _morfex import CoreBPE

PANIC_DOC = (
    "\nThe exception raised when the native code of _morfex fails while called from Python."
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
REPORT_HEADER = re.compile(r"thread '([^']+)' \((\d+)\) failed at ([^:]+):(\d+):(\d+):")
BACKTRACE_HINT = (
    "note: run with `MORFEX_BACKTRACE=1` environment variable to display a stack trace"
)
RESUME_BANNER = (
    "--- _morfex is resuming an internal failure after fetching a PanicException from Python. ---"
)


# Each trigger makes the module fail internally from plain Python input. They are
# also pasted into subprocess scripts, so they only use CoreBPE and sys.
def changed_size():
    vocab = {}

    class Grow:
        def __index__(self):
            vocab["added"] = 7
            return 5

    vocab["a"] = Grow()
    CoreBPE(vocab, [])


def shrunk():
    vocab = {"b": 2}

    class Shrink:
        def __index__(self):
            del vocab["b"]
            return 5

    vocab["a"] = Shrink()
    CoreBPE(vocab, [])


def keys_changed():
    vocab = {"a": 1}

    class Swap:
        def __index__(self):
            del vocab["a"]
            vocab["c"] = 3
            return 2

    vocab["b"] = Swap()
    CoreBPE(vocab, [])


def ids_overflow():
    class Huge:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, index):
            raise IndexError(index)

    CoreBPE({}, []).decode(Huge())


def merges_overflow():
    class Huge:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, index):
            raise IndexError(index)

    CoreBPE({}, Huge())


TRIGGERS = [
    (changed_size, "dictionary changed size during iteration"),
    (shrunk, "dictionary changed size during iteration"),
    (keys_changed, "dictionary keys changed during iteration"),
    (ids_overflow, "capacity overflow"),
    (merges_overflow, "capacity overflow"),
]
TRIGGER_IDS = [trigger.__name__ for trigger, _ in TRIGGERS]
TRIGGER_SOURCE = "".join(textwrap.dedent(inspect.getsource(t)) + "\n" for t, _ in TRIGGERS)


def run_script(body, backtrace=None):
    env = {k: v for k, v in os.environ.items() if k != "MORFEX_BACKTRACE"}
    if backtrace is not None:
        env["MORFEX_BACKTRACE"] = backtrace
    script = "import sys\nfrom _morfex import CoreBPE\n\n" + TRIGGER_SOURCE + textwrap.dedent(body)
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120
    )


def catch_panic(trigger):
    with pytest.raises(BaseException) as info:
        trigger()
    return info.value


@pytest.fixture(scope="module")
def panic_type():
    return type(catch_panic(changed_size))


@pytest.mark.parametrize(("trigger", "message"), TRIGGERS, ids=TRIGGER_IDS)
def test_internal_failure_raises_panic_exception(trigger, message, panic_type):
    error = catch_panic(trigger)
    assert type(error) is panic_type
    assert error.args == (message,)
    assert str(error) == message
    assert error.__cause__ is None
    assert error.__context__ is None


def test_panic_exception_type(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "tessel_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__ == PANIC_DOC


def test_except_exception_does_not_catch_it(panic_type):
    caught_by_exception = False
    with pytest.raises(BaseException) as info:
        try:
            changed_size()
        except Exception:
            caught_by_exception = True
    assert not caught_by_exception
    assert type(info.value) is panic_type


def test_panic_exception_is_no_module_attribute(panic_type):
    assert not hasattr(_morfex, "PanicException")
    assert "tessel_runtime" not in sys.modules
    for module in list(sys.modules.values()):
        assert all(value is not panic_type for value in getattr(module, "__dict__", {}).values())


def test_same_type_object_every_time(panic_type):
    types = {type(catch_panic(trigger)) for trigger, _ in TRIGGERS * 3}
    assert types == {panic_type}


def test_bpe_usable_after_internal_failure(example_bpe):
    before = sys.getrefcount(example_bpe)

    class Huge:
        def __len__(self):
            return sys.maxsize

        def __getitem__(self, index):
            raise IndexError(index)

    for _ in range(20):
        assert catch_panic(lambda: example_bpe.decode(Huge())).args == ("capacity overflow",)
    assert sys.getrefcount(example_bpe) == before
    assert example_bpe.encode("k\u2581um\u2581ain") == [5, 4, 11, 4, 13]


class CustomBaseError(BaseException):
    pass


class TypeErrorSubclass(TypeError):
    pass


def raise_through_index(bpe, error):
    class Id:
        def __index__(self):
            raise error

    return bpe.decode([5, Id()])


def raise_through_iter(bpe, error):
    class Ids:
        def __getitem__(self, index):
            return 5

        def __iter__(self):
            raise error

    return bpe.decode(Ids())


def raise_through_vocab(bpe, error):
    class Id:
        def __index__(self):
            raise error

    return CoreBPE({"a": 1, "b": Id()}, [])


@pytest.mark.parametrize(
    "call", [raise_through_index, raise_through_iter, raise_through_vocab],
    ids=["ids-index", "ids-iter", "vocab-index"],
)
@pytest.mark.parametrize(
    "make_error",
    [
        lambda: ValueError("not an id"),
        lambda: TypeErrorSubclass("a TypeError subclass is not re-worded"),
        lambda: CustomBaseError("nor is a BaseException outside Exception"),
    ],
    ids=["ValueError", "TypeError-subclass", "BaseException"],
)
def test_user_exception_passes_through_as_same_object(example_bpe, call, make_error):
    error = make_error()
    text = str(error)
    before = sys.getrefcount(example_bpe)
    with pytest.raises(BaseException) as info:
        call(example_bpe, error)
    assert info.value is error
    assert str(error) == text
    assert error.__cause__ is None
    assert error.__context__ is None
    frames = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
    assert frames[-1] in ("__index__", "__iter__")
    assert call.__name__ in frames
    # The traceback's frames hold the instance until the cycle through them is collected.
    del info, error
    gc.collect()
    assert sys.getrefcount(example_bpe) == before


def test_exact_type_error_from_user_code_is_reworded(example_bpe):
    cause = KeyError("root")

    class Id:
        def __index__(self):
            raise TypeError("bad index") from cause

    with pytest.raises(TypeError) as info:
        example_bpe.decode([Id()])
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'ids': bad index"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize(("trigger", "message"), TRIGGERS, ids=TRIGGER_IDS)
def test_failure_report(trigger, message):
    result = run_script(f"""
        import threading
        try:
            {trigger.__name__}()
        except BaseException as error:
            print(type(error).__name__, str(error))
        print(threading.get_native_id())
    """)
    assert result.returncode == 0, result.stderr
    outcome, native_id = result.stdout.splitlines()
    assert outcome == f"PanicException {message}"
    lines = result.stderr.splitlines()
    assert len(lines) == 3, result.stderr
    header = REPORT_HEADER.fullmatch(lines[0])
    assert header, lines[0]
    name, tid, path, line, column = header.groups()
    assert name
    assert tid == native_id
    # Source paths are relative to the project, never the build machine's.
    assert re.fullmatch(r"src/[\w/]+\.(cc|h)", path), path
    assert int(line) > 0 and int(column) >= 0
    assert lines[1:] == [message, BACKTRACE_HINT]


def test_failure_report_gives_the_failing_threads_id():
    result = run_script("""
        import threading
        ids = []
        def work():
            ids.append(threading.get_native_id())
            try:
                changed_size()
            except BaseException:
                pass
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()
        print(ids[0])
    """)
    assert result.returncode == 0, result.stderr
    header = REPORT_HEADER.fullmatch(result.stderr.splitlines()[0])
    assert header, result.stderr
    assert header.group(2) == result.stdout.strip()


def test_every_internal_failure_is_reported():
    result = run_script("""
        for trigger in (changed_size, keys_changed, ids_overflow):
            try:
                trigger()
            except BaseException:
                pass
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    headers = [i for i, line in enumerate(lines) if REPORT_HEADER.fullmatch(line)]
    assert len(headers) == 3, result.stderr
    assert [lines[i + 1] for i in headers] == [
        "dictionary changed size during iteration",
        "dictionary keys changed during iteration",
        "capacity overflow",
    ]


def test_failure_report_with_backtrace():
    result = run_script("""
        try:
            changed_size()
        except BaseException:
            pass
    """, backtrace="1")
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    assert REPORT_HEADER.fullmatch(lines[0]), result.stderr
    assert lines[1] == "dictionary changed size during iteration"
    assert "stack backtrace:" in lines[2:], result.stderr
    frames = lines[lines.index("stack backtrace:") + 1:]
    assert any("_morfex" in frame for frame in frames), result.stderr


RESUME_SCRIPT = """
    if {nested}:
        def fail():
            changed_size()
    else:
        try:
            changed_size()
        except BaseException as error:
            saved = error

        def fail():
            raise saved

    class Seq:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            fail()

        def __iter__(self):
            fail()

    class Id:
        def __index__(self):
            fail()

    bpe = CoreBPE({{"a": 1, "b": 2, "ab": 3}}, [("a", "b")])
    calls = {{
        "merges-iter": lambda: CoreBPE({{}}, Seq()),
        "vocab-index": lambda: CoreBPE({{"a": Id()}}, []),
        "ids-iter": lambda: bpe.decode(Seq()),
        "ids-index": lambda: bpe.decode([1, Id()]),
    }}
    before = sys.getrefcount(bpe)
    try:
        calls[{call!r}]()
    except BaseException as outer:
        print(type(outer).__module__, type(outer).__name__, outer.args)
        print(outer is globals().get("saved"))
    print(sys.getrefcount(bpe) == before, bpe.encode("ab"), bpe.decode([1, 2]))
    print(getattr(sys, "last_exc", None), getattr(sys, "last_value", None))
"""


@pytest.mark.parametrize("nested", [False, True], ids=["reraised", "nested"])
@pytest.mark.parametrize("call", ["merges-iter", "vocab-index", "ids-iter", "ids-index"])
def test_resumed_panic_exception(call, nested):
    result = run_script(RESUME_SCRIPT.format(call=call, nested=nested))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "tessel_runtime PanicException ('dictionary changed size during iteration',)",
        "False",
        "True [3] ab",
        "None None",
    ]
    lines = result.stderr.splitlines()
    # One report, for the failure that started it; resuming writes none.
    assert [REPORT_HEADER.fullmatch(line) is not None for line in lines].count(True) == 1
    assert REPORT_HEADER.fullmatch(lines[0]), result.stderr
    assert lines[1:5] == [
        "dictionary changed size during iteration",
        BACKTRACE_HINT,
        RESUME_BANNER,
        "Python stack trace below:",
    ], result.stderr
    trace = lines[5:]
    assert trace[0] == "Traceback (most recent call last):"
    assert any(line.endswith(", in fail") for line in trace), result.stderr
    assert trace[-1] == "tessel_runtime.PanicException: dictionary changed size during iteration"


@pytest.mark.parametrize(
    ("argument", "check"),
    [
        ("'made in Python'", "outer.args == ('made in Python',)"),
        ("'lone \\ud800 surrogate'",
         "outer.args[0].startswith('lone ') and outer.args[0].endswith(' surrogate')"
         " and '\\ufffd' in outer.args[0] and '\\ud800' not in outer.args[0]"),
        ("Unprintable()", "len(outer.args) == 1 and isinstance(outer.args[0], str)"),
    ],
    ids=["plain", "lone-surrogate", "str-raises"],
)
def test_resumed_panic_exception_made_in_python(argument, check):
    result = run_script(f"""
        class Unprintable:
            def __str__(self):
                raise RuntimeError("no text")

        try:
            changed_size()
        except BaseException as error:
            panic_type = type(error)

        class Seq:
            def __getitem__(self, index):
                return 1

            def __iter__(self):
                raise panic_type({argument})

        try:
            CoreBPE({{}}, []).decode(Seq())
        except BaseException as outer:
            print(type(outer) is panic_type, {check})
        print(CoreBPE({{"a": 1}}, []).decode([1]))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True True", "a"]
    lines = result.stderr.splitlines()
    assert RESUME_BANNER in lines, result.stderr
    assert lines[lines.index(RESUME_BANNER) + 1] == "Python stack trace below:"


MEMORY_SCRIPT = """
    import resource

    def address_space_used():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    bpe = CoreBPE({{"a": 1, "b": 2, "ab": 3}}, [("a", "b")])
    {setup}
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space_used() + {headroom}, hard))
    before = sys.getrefcount(bpe)
    outcomes = []
    for _ in range(2):
        try:
            {call}
        except BaseException as error:
            outcomes.append(type(error).__name__)
        else:
            outcomes.append("no error")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(outcomes)
    print(sys.getrefcount(bpe) == before, bpe.encode("abab"), bpe.decode([3, 1]))
    print(CoreBPE({{"x": 9}}, [("x", "x")]).encode("xx"), sum(range(1000)))
"""


@pytest.mark.parametrize(
    ("setup", "call", "headroom"),
    [
        ("arg = 'a' * 50_000_000", "bpe.encode(arg)", 64 << 20),
        ("arg = [1] * 20_000_000", "bpe.decode(arg)", 16 << 20),
        ("arg = {str(i): i for i in range(1_000_000)}", "CoreBPE(arg, [])", 16 << 20),
        ("arg = [('a', 'b')] * 2_000_000", "CoreBPE({}, arg)", 16 << 20),
    ],
    ids=["encode", "decode", "vocab", "merges"],
)
def test_memory_exhaustion_raises_memory_error(setup, call, headroom):
    result = run_script(MEMORY_SCRIPT.format(setup=setup, call=call, headroom=headroom))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "['MemoryError', 'MemoryError']",
        "True [3, 3] aba",
        "[9, 9] 499500",
    ]
    assert "memory allocation of" not in result.stderr

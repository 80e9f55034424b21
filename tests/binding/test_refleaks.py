"""Every entry point, on its success path and on each error path, releases what it takes."""
import ctypes
import gc
import os
import sys

import pytest

from _morfex import CoreBPE
from conftest import MARKER
from protocol_objects import GetItemOnly, RaisingIndex, TypeErrorSub, Unprintable



def fresh(n, tag):
    """A new, non-interned str of n + len(tag) characters."""
    return "".join(["t" * n, tag])


def fresh_int(digits):
    """A new int object, outside the small-int cache."""
    return int(digits)


def vocab(n):
    entries = {fresh(n, str(i)): fresh_int(str(1000 + i)) for i in range(6)}
    entries[fresh(0, MARKER + "x")] = fresh_int("4294967295")
    return entries


def merges(n):
    return [(fresh(n, "a"), fresh(n, "b")) for _ in range(4)]


def bpe(n):
    return CoreBPE(vocab(n), merges(n))


def caused(exc, cause):
    exc.__cause__ = cause
    return exc


# Sized and FailsMidway of protocol_objects raise the one exception object
# they hold, which keeps each traceback alive: these raise a fresh one.
class Sized(GetItemOnly):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if self.length is None:
            raise ValueError("no length")
        return self.length


class FailsMidway(GetItemOnly):
    def __iter__(self):
        yield from self.items
        raise ValueError("midway")


class Reenter:
    """An id whose __index__ calls `call` (back into the module) first."""

    def __init__(self, call, value):
        self.call = call
        self.value = value

    def __index__(self):
        self.call()
        return self.value


class ToggleKey:
    """A vocab value that adds or removes a key of the dict being converted."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        if "toggled" in self.target:
            del self.target["toggled"]
        else:
            self.target["toggled"] = 7
        return 5


def toggling_vocab(n):
    entries = vocab(n)
    entries[fresh(n, "m")] = ToggleKey(entries)
    return entries


class Call:
    def __init__(self, fn, args=(), kwargs=None, raises=None, keep=()):
        self.fn = fn
        self.args = args
        self.kwargs = kwargs or {}
        self.raises = raises
        # Objects the call does not see directly but whose references it may take.
        self.keep = keep

    def run(self):
        try:
            self.fn(*self.args, **self.kwargs)
        except BaseException as exc:
            assert type(exc).__name__ == self.raises, repr(exc)
        else:
            assert self.raises is None


def method(obj, name, *args, raises=None, **kwargs):
    return Call(getattr(obj, name), args, kwargs, raises, keep=(obj,))


def encode(n, *args, raises=None, **kwargs):
    # Short tokens: a long text against long vocabulary keys is slow to look up.
    return method(bpe(4), "encode", *args, raises=raises, **kwargs)


def decode(n, *args, raises=None, **kwargs):
    # Long tokens make long decoded texts.
    return method(bpe(n), "decode", *args, raises=raises, **kwargs)


def reentering_decode(n, inner):
    obj = bpe(n)
    ids = [fresh_int("1000"), Reenter(lambda: inner(obj), fresh_int("1001"))]
    return Call(obj.decode, (ids,), raises=None, keep=(obj,))


def panicking_reentry(n):
    obj = bpe(n)
    ids = [Reenter(lambda: obj.decode(Sized([], sys.maxsize)), fresh_int("1000"))]
    return Call(obj.decode, (ids,), raises="PanicException", keep=(obj,))


CASES = {
    # constructor
    "new-ok": lambda n: Call(CoreBPE, (vocab(n), merges(n))),
    "new-ok-keywords": lambda n: Call(CoreBPE, (), {"merges": tuple(merges(n)), "vocab": vocab(n)}),
    "new-too-many": lambda n: Call(CoreBPE, (vocab(n), merges(n), fresh(n, "x")), raises="TypeError"),
    "new-unexpected": lambda n: Call(CoreBPE, (vocab(n), merges(n)), {"foo": fresh(n, "x")}, "TypeError"),
    "new-multiple": lambda n: Call(CoreBPE, (vocab(n),), {"vocab": vocab(n)}, "TypeError"),
    "new-missing": lambda n: Call(CoreBPE, (vocab(n),), raises="TypeError"),
    "vocab-not-dict": lambda n: Call(CoreBPE, (list(vocab(n).items()), merges(n)), raises="TypeError"),
    "vocab-int-key": lambda n: Call(CoreBPE, ({**vocab(n), fresh_int("10" * 20): 1}, merges(n)),
                                    raises="TypeError"),
    "vocab-surrogate-key": lambda n: Call(CoreBPE, ({**vocab(n), fresh(n, "\ud800"): 1}, merges(n)),
                                          raises="UnicodeEncodeError"),
    "vocab-float": lambda n: Call(CoreBPE, ({**vocab(n), fresh(n, "f"): float("1.5")}, merges(n)),
                                  raises="TypeError"),
    "vocab-out-of-range": lambda n: Call(CoreBPE, ({**vocab(n), fresh(n, "o"): fresh_int("4294967296")},
                                                   merges(n)), raises="OverflowError"),
    "vocab-too-large": lambda n: Call(CoreBPE, ({**vocab(n), fresh(n, "o"): fresh_int("9" * 30)}, merges(n)),
                                      raises="OverflowError"),
    "vocab-caused-typeerror": lambda n: Call(
        CoreBPE, ({**vocab(n), fresh(n, "c"): RaisingIndex(lambda: caused(TypeError("x"), KeyError("k")))},
                  merges(n)), raises="TypeError"),
    "vocab-interrupt": lambda n: Call(CoreBPE, ({**vocab(n), fresh(n, "i"): RaisingIndex(KeyboardInterrupt)},
                                                merges(n)), raises="KeyboardInterrupt"),
    "vocab-changes-size": lambda n: Call(CoreBPE, (toggling_vocab(n), merges(n)), raises="PanicException"),
    "merges-str": lambda n: Call(CoreBPE, (vocab(n), fresh(n, "s")), raises="TypeError"),
    "merges-dict": lambda n: Call(CoreBPE, (vocab(n), dict(merges(n))), raises="TypeError"),
    "merges-list-pair": lambda n: Call(CoreBPE, (vocab(n), merges(n) + [[fresh(n, "a"), fresh(n, "b")]]),
                                       raises="TypeError"),
    "merges-triple": lambda n: Call(CoreBPE, (vocab(n), merges(n) + [(fresh(n, "a"),) * 3]),
                                    raises="ValueError"),
    "merges-int-half": lambda n: Call(CoreBPE, (vocab(n), merges(n) + [(fresh(n, "a"), fresh_int("9" * 30))]),
                                      raises="TypeError"),
    "merges-surrogate-half": lambda n: Call(CoreBPE, (vocab(n), merges(n) + [(fresh(n, "a"), fresh(n, "\udc80"))]),
                                            raises="UnicodeEncodeError"),
    "merges-fails-midway": lambda n: Call(CoreBPE, (vocab(n), FailsMidway(merges(n))), raises="ValueError"),
    "merges-len-raises": lambda n: Call(CoreBPE, (vocab(n), Sized(merges(n), None))),
    "merges-capacity": lambda n: Call(CoreBPE, (vocab(n), Sized(merges(n), sys.maxsize)), raises="PanicException"),
    # encode
    "encode-ok": lambda n: encode(n, fresh(n, "0" + MARKER + "x")),
    "encode-ok-keyword": lambda n: encode(n, text=fresh(n, "1")),
    "encode-too-many": lambda n: encode(n, fresh(n, "1"), fresh(n, "2"), raises="TypeError"),
    "encode-unexpected": lambda n: encode(n, fresh(n, "1"), foo=fresh(n, "2"), raises="TypeError"),
    "encode-multiple": lambda n: encode(n, fresh(n, "1"), text=fresh(n, "2"), raises="TypeError"),
    "encode-missing": lambda n: encode(n, raises="TypeError"),
    "encode-not-str": lambda n: encode(n, [fresh(n, "1")], raises="TypeError"),
    "encode-surrogate": lambda n: encode(n, fresh(n, "\ud800"), raises="UnicodeEncodeError"),
    # decode
    "decode-ok-list": lambda n: decode(n, [fresh_int("1000"), fresh_int("1001"), fresh_int("4294967295")]),
    "decode-ok-tuple": lambda n: decode(n, ids=(fresh_int("1002"), fresh_int("77777"))),
    "decode-ok-bytes": lambda n: decode(n, bytes(range(20))),
    "decode-ok-range": lambda n: decode(n, range(995, fresh_int("1010"))),
    "decode-getitem-only": lambda n: decode(n, GetItemOnly([fresh_int("1000"), fresh_int("1001")])),
    "decode-len-raises": lambda n: decode(n, Sized([fresh_int("1000")], None)),
    "decode-too-many": lambda n: decode(n, [fresh_int("1000")], [fresh_int("1001")], raises="TypeError"),
    "decode-unexpected": lambda n: decode(n, [fresh_int("1000")], foo=fresh(n, "x"), raises="TypeError"),
    "decode-multiple": lambda n: decode(n, [fresh_int("1000")], ids=[fresh_int("1001")], raises="TypeError"),
    "decode-missing": lambda n: decode(n, raises="TypeError"),
    "decode-str": lambda n: decode(n, fresh(n, "s"), raises="TypeError"),
    "decode-dict": lambda n: decode(n, {fresh_int("1000"): fresh(n, "v")}, raises="TypeError"),
    "decode-float": lambda n: decode(n, [fresh_int("1000"), float("2.5")], raises="TypeError"),
    "decode-out-of-range": lambda n: decode(n, [fresh_int("1000"), fresh_int("4294967296")],
                                            raises="OverflowError"),
    "decode-too-large": lambda n: decode(n, [fresh_int("1000"), fresh_int("9" * 30)], raises="OverflowError"),
    "decode-caused-typeerror": lambda n: decode(
        n, [RaisingIndex(lambda: caused(TypeError("x"), KeyError("k")))], raises="TypeError"),
    "decode-typeerror-subclass": lambda n: decode(n, [RaisingIndex(TypeErrorSub)], raises="TypeErrorSub"),
    "decode-unprintable-typeerror": lambda n: decode(n, [RaisingIndex(lambda: TypeError(Unprintable()))],
                                                     raises="TypeError"),
    "decode-interrupt": lambda n: decode(n, [RaisingIndex(KeyboardInterrupt)], raises="KeyboardInterrupt"),
    "decode-fails-midway": lambda n: decode(n, FailsMidway([fresh_int("1000")]), raises="ValueError"),
    "decode-capacity": lambda n: decode(n, Sized([fresh_int("1000")], sys.maxsize), raises="PanicException"),
    "decode-reenter": lambda n: reentering_decode(n, lambda obj: obj.encode(fresh(4, "r"))),
    "decode-reenter-error": lambda n: reentering_decode(
        n, lambda obj: pytest.raises(TypeError, obj.decode, fresh(n, "s"))),
    "decode-reenter-panic": panicking_reentry,
}


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    """Unraisable reports and resumed failures print on every iteration; drop them
    (formatting tracebacks also fills the interpreter's own caches)."""
    devnull = open(os.devnull, "w")
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    monkeypatch.setattr(sys, "excepthook", lambda *exc_info: None)
    monkeypatch.setattr(sys, "stderr", devnull)
    yield
    monkeypatch.undo()
    devnull.close()


def reachable(*roots):
    """The roots and everything a call could take a reference to from them."""
    found = {}
    stack = list(roots)
    while stack:
        obj = stack.pop()
        if id(obj) in found or isinstance(obj, type):
            continue
        found[id(obj)] = obj
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif hasattr(obj, "__dict__"):
            stack.extend(vars(obj).values())
    return list(found.values())


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_argument_refcounts(make):
    call = make(4)
    objects = reachable(call.args, call.kwargs, *call.keep)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(50):
        call.run()
    gc.collect()
    after = [sys.getrefcount(obj) for obj in objects]
    changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(objects, before, after) if a != b]
    assert changed == []


def test_type_refcount():
    gc.collect()
    before = sys.getrefcount(CoreBPE)
    for _ in range(1000):
        CoreBPE(vocab(4), merges(4))
        CASES["new-multiple"](4).run()
        CASES["vocab-out-of-range"](4).run()
    live = [CoreBPE({}, []) for _ in range(100)]
    assert sys.getrefcount(CoreBPE) == before + len(live)
    del live
    gc.collect()
    assert sys.getrefcount(CoreBPE) == before


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_allocated_blocks_flat(make):
    call = make(4)
    for _ in range(50):
        call.run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(600):
        call.run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def malloc_in_use():
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        pytest.skip("needs glibc's mallinfo2")
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_native_memory_flat(make):
    """Long token strings make a leaked native copy or Python object stand out from the noise."""
    call = make(1 << 14)
    for _ in range(6):
        call.run()
    gc.collect()
    before = malloc_in_use()
    for _ in range(40):
        call.run()
    gc.collect()
    assert malloc_in_use() - before < 1 << 18

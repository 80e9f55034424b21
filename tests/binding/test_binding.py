"""Argument binding and conversion of CoreBPE's constructor, encode and decode."""
import collections
import sys
import types

import pytest

from _morfex import CoreBPE
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER
from protocol_objects import FailsMidway, GetItemOnly, Index, Sized, TypeErrorSub, Unprintable

STR_REJECTION = "Can't extract `str` into a list"
OUT_OF_RANGE = "out of range integral type conversion attempted"
# What the interpreter itself says when an int does not fit a signed 64-bit integer.
TOO_LARGE = "Python int too large to convert to C long"
KUMAIN = f"k{MARKER}um{MARKER}ain"
KUMAIN_IDS = [5, 4, 11, 4, 13]


def catch(thunk):
    """Runs thunk, which must raise, and returns what it raised (any BaseException)."""
    with pytest.raises(BaseException) as info:
        thunk()
    return info.value


def assert_exactly(exc, exc_type, message):
    assert type(exc) is exc_type, f"{type(exc).__name__}: {exc}"
    assert str(exc) == message


def assert_panic(exc, message):
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "tessel_runtime"
    assert not isinstance(exc, Exception)
    assert exc.args == (message,)


def utf8_error_text(text):
    """The interpreter's own UnicodeEncodeError text for a str without a UTF-8 form."""
    with pytest.raises(UnicodeEncodeError) as info:
        text.encode("utf-8")
    return str(info.value)


class StrSub(str):
    def __str__(self):
        return "overridden"


class IntSub(int):
    def __index__(self):
        return 99


class GetItemFails(GetItemOnly):
    """Raises KeyError instead of IndexError past its last item."""

    def __getitem__(self, index):
        if index == len(self.items):
            raise KeyError("gone")
        return self.items[index]


class NoIter(GetItemOnly):
    __iter__ = None


class BadIter(GetItemOnly):
    def __iter__(self):
        return 5


class Recorder(GetItemOnly):
    """A sequence that records every use of its protocol methods."""

    def __init__(self, items):
        super().__init__(items)
        self.touched = []

    def __len__(self):
        self.touched.append("__len__")
        return len(self.items)

    def __iter__(self):
        self.touched.append("__iter__")
        return iter(self.items)


# --- binding ---------------------------------------------------------------

BINDING_CASES = [
    # too many positional arguments
    ("new-3", lambda b: CoreBPE({}, [], 1), TypeError,
     "CoreBPE.__new__() takes 2 positional arguments but 3 were given"),
    ("new-4", lambda b: CoreBPE({}, [], 1, 2), TypeError,
     "CoreBPE.__new__() takes 2 positional arguments but 4 were given"),
    ("encode-2", lambda b: b.encode("k", "u"), TypeError,
     "CoreBPE.encode() takes 1 positional arguments but 2 were given"),
    ("decode-2", lambda b: b.decode([1], [2]), TypeError,
     "CoreBPE.decode() takes 1 positional arguments but 2 were given"),
    # unexpected keyword
    ("new-foo", lambda b: CoreBPE({}, [], foo=1), TypeError,
     "CoreBPE.__new__() got an unexpected keyword argument 'foo'"),
    ("encode-foo", lambda b: b.encode("k", foo=1), TypeError,
     "CoreBPE.encode() got an unexpected keyword argument 'foo'"),
    ("decode-case", lambda b: b.decode(IDS=[1]), TypeError,
     "CoreBPE.decode() got an unexpected keyword argument 'IDS'"),
    ("decode-prefix", lambda b: b.decode(**{"id": [1]}), TypeError,
     "CoreBPE.decode() got an unexpected keyword argument 'id'"),
    ("decode-nul", lambda b: b.decode(**{"ids\0": [1]}), TypeError,
     "CoreBPE.decode() got an unexpected keyword argument 'ids\0'"),
    ("encode-surrogate", lambda b: b.encode(**{"\ud800": 1}), TypeError,
     "CoreBPE.encode() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("new-surrogate", lambda b: CoreBPE({}, [], **{"x\udcffy": 1}), TypeError,
     "CoreBPE.__new__() got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'"),
    # multiple values
    ("decode-multiple", lambda b: b.decode([1], ids=[2]), TypeError,
     "CoreBPE.decode() got multiple values for argument 'ids'"),
    ("encode-multiple", lambda b: b.encode("k", text="u"), TypeError,
     "CoreBPE.encode() got multiple values for argument 'text'"),
    ("new-multiple-vocab", lambda b: CoreBPE({}, [], vocab={}), TypeError,
     "CoreBPE.__new__() got multiple values for argument 'vocab'"),
    ("new-multiple-after-keyword", lambda b: CoreBPE({}, merges=[], vocab={}), TypeError,
     "CoreBPE.__new__() got multiple values for argument 'vocab'"),
    # missing arguments
    ("new-none", lambda b: CoreBPE(), TypeError,
     "CoreBPE.__new__() missing 2 required positional arguments: 'vocab' and 'merges'"),
    ("new-no-merges", lambda b: CoreBPE({}), TypeError,
     "CoreBPE.__new__() missing 1 required positional argument: 'merges'"),
    ("new-no-vocab", lambda b: CoreBPE(merges=[]), TypeError,
     "CoreBPE.__new__() missing 1 required positional argument: 'vocab'"),
    ("encode-none", lambda b: b.encode(), TypeError,
     "CoreBPE.encode() missing 1 required positional argument: 'text'"),
    ("decode-none", lambda b: b.decode(), TypeError,
     "CoreBPE.decode() missing 1 required positional argument: 'ids'"),
    # ordering: too many before keywords, keywords before missing, in the order given
    ("too-many-before-keyword", lambda b: b.decode([1], [2], foo=1), TypeError,
     "CoreBPE.decode() takes 1 positional arguments but 2 were given"),
    ("new-too-many-before-keyword", lambda b: CoreBPE(1, 2, 3, vocab=4), TypeError,
     "CoreBPE.__new__() takes 2 positional arguments but 3 were given"),
    ("keyword-before-missing", lambda b: b.encode(foo=1), TypeError,
     "CoreBPE.encode() got an unexpected keyword argument 'foo'"),
    ("first-keyword-unexpected", lambda b: CoreBPE({}, foo=1, vocab={}), TypeError,
     "CoreBPE.__new__() got an unexpected keyword argument 'foo'"),
    ("first-keyword-repeated", lambda b: CoreBPE({}, vocab={}, foo=1), TypeError,
     "CoreBPE.__new__() got multiple values for argument 'vocab'"),
    # ordering: binding before conversion
    ("binding-before-ids", lambda b: b.decode("abc", foo=1), TypeError,
     "CoreBPE.decode() got an unexpected keyword argument 'foo'"),
    ("binding-before-text", lambda b: b.encode(1, 2), TypeError,
     "CoreBPE.encode() takes 1 positional arguments but 2 were given"),
    ("binding-before-vocab", lambda b: CoreBPE(1), TypeError,
     "CoreBPE.__new__() missing 1 required positional argument: 'merges'"),
    # ordering: vocab before merges
    ("vocab-type-first", lambda b: CoreBPE(1, 2), TypeError,
     "argument 'vocab': 'int' object cannot be converted to 'PyDict'"),
    ("vocab-key-first", lambda b: CoreBPE({1: 2}, "x"), TypeError,
     "argument 'vocab': 'int' object cannot be converted to 'PyString'"),
    ("vocab-value-first", lambda b: CoreBPE({"a": -1}, [("a",)]), OverflowError, OUT_OF_RANGE),
]


@pytest.mark.parametrize("call, exc_type, message",
                         [row[1:] for row in BINDING_CASES],
                         ids=[row[0] for row in BINDING_CASES])
def test_binding(example_bpe, call, exc_type, message):
    assert_exactly(catch(lambda: call(example_bpe)), exc_type, message)


@pytest.mark.parametrize("vocab", [[("a", 1)], {1: 1}, {"a": -1}, {"a": 1.5}],
                         ids=["list", "int-key", "negative", "float"])
def test_vocab_error_leaves_merges_untouched(vocab):
    merges = Recorder(EXAMPLE_MERGES)
    catch(lambda: CoreBPE(vocab, merges))
    assert merges.touched == []


# --- constructor -----------------------------------------------------------

CONSTRUCTOR_CASES = [
    ("positional", lambda v, m: CoreBPE(v, m)),
    ("keywords", lambda v, m: CoreBPE(vocab=v, merges=m)),
    ("keywords-reversed", lambda v, m: CoreBPE(merges=m, vocab=v)),
    ("mixed", lambda v, m: CoreBPE(v, merges=m)),
    ("explicit-new", lambda v, m: CoreBPE.__new__(CoreBPE, v, m)),
    ("explicit-new-keywords", lambda v, m: CoreBPE.__new__(CoreBPE, merges=m, vocab=v)),
    ("empty-keywords", lambda v, m: CoreBPE(v, m, **{})),
]


@pytest.mark.parametrize("construct", [row[1] for row in CONSTRUCTOR_CASES],
                         ids=[row[0] for row in CONSTRUCTOR_CASES])
def test_constructor(construct):
    bpe = construct(dict(EXAMPLE_VOCAB), list(EXAMPLE_MERGES))
    assert type(bpe) is CoreBPE
    assert bpe.encode(text=KUMAIN) == KUMAIN_IDS
    assert bpe.decode(ids=KUMAIN_IDS) == "kumain"


def test_empty_constructor():
    bpe = CoreBPE({}, [])
    assert bpe.encode("ab") == [1, 1]
    assert bpe.decode([0, 1, 2]) == ""


# --- vocab -----------------------------------------------------------------

VOCAB_REJECTED = [
    ("list", [("a", 1)], TypeError, "argument 'vocab': 'list' object cannot be converted to 'PyDict'"),
    ("none", None, TypeError, "argument 'vocab': 'NoneType' object cannot be converted to 'PyDict'"),
    ("mappingproxy", types.MappingProxyType({"a": 1}), TypeError,
     "argument 'vocab': 'mappingproxy' object cannot be converted to 'PyDict'"),
    ("int-key", {1: 1}, TypeError, "argument 'vocab': 'int' object cannot be converted to 'PyString'"),
    ("bytes-key", {b"a": 1}, TypeError,
     "argument 'vocab': 'bytes' object cannot be converted to 'PyString'"),
    ("later-int-key", {"a": 1, 2: 3}, TypeError,
     "argument 'vocab': 'int' object cannot be converted to 'PyString'"),
    ("negative", {"a": -1}, OverflowError, OUT_OF_RANGE),
    ("2**32", {"a": 2**32}, OverflowError, OUT_OF_RANGE),
    ("2**63-1", {"a": 2**63 - 1}, OverflowError, OUT_OF_RANGE),
    ("-2**63", {"a": -2**63}, OverflowError, OUT_OF_RANGE),
    ("index-negative", {"a": Index(-1)}, OverflowError, OUT_OF_RANGE),
    ("2**63", {"a": 2**63}, OverflowError, TOO_LARGE),
    ("2**64", {"a": 2**64}, OverflowError, TOO_LARGE),
    ("-2**63-1", {"a": -2**63 - 1}, OverflowError, TOO_LARGE),
    ("float", {"a": 1.5}, TypeError, "argument 'vocab': 'float' object cannot be interpreted as an integer"),
    ("str-value", {"a": "1"}, TypeError, "argument 'vocab': 'str' object cannot be interpreted as an integer"),
    ("none-value", {"a": None}, TypeError,
     "argument 'vocab': 'NoneType' object cannot be interpreted as an integer"),
    ("index-float", {"a": Index(1.5)}, TypeError,
     "argument 'vocab': __index__ returned non-int (type float)"),
    ("surrogate-key", {"a\ud800": 1}, UnicodeEncodeError, utf8_error_text("a\ud800")),
]


@pytest.mark.parametrize("vocab, exc_type, message", [row[1:] for row in VOCAB_REJECTED],
                         ids=[row[0] for row in VOCAB_REJECTED])
def test_vocab_rejected(vocab, exc_type, message):
    assert_exactly(catch(lambda: CoreBPE(vocab, [])), exc_type, message)


VOCAB_ACCEPTED = [
    ("true", {"a": True}, [1]),
    ("false", {"a": False}, [0]),
    ("zero", {"a": 0}, [0]),
    ("max", {"a": 4294967295}, [4294967295]),
    ("index", {"a": Index(7)}, [7]),
    ("index-max", {"a": Index(4294967295)}, [4294967295]),
]


@pytest.mark.parametrize("vocab, ids", [row[1:] for row in VOCAB_ACCEPTED],
                         ids=[row[0] for row in VOCAB_ACCEPTED])
def test_vocab_accepted(vocab, ids):
    bpe = CoreBPE(vocab, [])
    assert bpe.encode("a") == ids
    assert all(type(i) is int for i in bpe.encode("a"))
    assert bpe.decode(ids) == "a"


# --- merges ----------------------------------------------------------------

def merges_error(message):
    return TypeError, f"argument 'merges': {message}"


MERGES_REJECTED = [
    ("str", "um", *merges_error(STR_REJECTION)),
    ("empty-str", "", *merges_error(STR_REJECTION)),
    ("str-subclass", StrSub("um"), *merges_error(STR_REJECTION)),
    ("list-pair", [["u", "m"]], *merges_error("'list' object cannot be converted to 'PyTuple'")),
    ("later-list-pair", [("u", "m"), ["a", "i"]],
     *merges_error("'list' object cannot be converted to 'PyTuple'")),
    ("str-pair", ["um"], *merges_error("'str' object cannot be converted to 'PyTuple'")),
    ("bytes", b"um", *merges_error("'int' object cannot be converted to 'PyTuple'")),
    ("triple", [("u", "m", "x")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("single", [("u",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ("empty-tuple", [()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ("int-right", [("u", 1)], *merges_error("'int' object cannot be converted to 'PyString'")),
    ("none-left", [(None, "m")], *merges_error("'NoneType' object cannot be converted to 'PyString'")),
    ("bytes-left", [(b"u", "m")], *merges_error("'bytes' object cannot be converted to 'PyString'")),
    ("surrogate-right", [("u", "\udc80")], UnicodeEncodeError, utf8_error_text("\udc80")),
    ("generator", (p for p in EXAMPLE_MERGES),
     *merges_error("'generator' object cannot be converted to 'Sequence'")),
    ("iterator", iter(EXAMPLE_MERGES), *merges_error("'list_iterator' object cannot be converted to 'Sequence'")),
    ("dict", dict.fromkeys(EXAMPLE_MERGES), *merges_error("'dict' object cannot be converted to 'Sequence'")),
    ("set", set(EXAMPLE_MERGES), *merges_error("'set' object cannot be converted to 'Sequence'")),
    ("frozenset", frozenset(EXAMPLE_MERGES),
     *merges_error("'frozenset' object cannot be converted to 'Sequence'")),
    ("none", None, *merges_error("'NoneType' object cannot be converted to 'Sequence'")),
    ("int", 5, *merges_error("'int' object cannot be converted to 'Sequence'")),
]


@pytest.mark.parametrize("merges, exc_type, message", [row[1:] for row in MERGES_REJECTED],
                         ids=[row[0] for row in MERGES_REJECTED])
def test_merges_rejected(merges, exc_type, message):
    assert_exactly(catch(lambda: CoreBPE(dict(EXAMPLE_VOCAB), merges)), exc_type, message)


MERGES_ACCEPTED = [
    ("list", list(EXAMPLE_MERGES), KUMAIN_IDS),
    ("tuple-of-tuples", tuple(EXAMPLE_MERGES), KUMAIN_IDS),
    ("empty", [], [5, 4, 6, 7, 4, 8, 9, 10]),
    ("empty-range", range(0), [5, 4, 6, 7, 4, 8, 9, 10]),
    ("empty-bytes", b"", [5, 4, 6, 7, 4, 8, 9, 10]),
]


@pytest.mark.parametrize("merges, ids", [row[1:] for row in MERGES_ACCEPTED],
                         ids=[row[0] for row in MERGES_ACCEPTED])
def test_merges_accepted(merges, ids):
    assert CoreBPE(dict(EXAMPLE_VOCAB), merges).encode(KUMAIN) == ids


# --- text ------------------------------------------------------------------

TEXT_REJECTED = [
    ("int", 1, TypeError, "argument 'text': 'int' object cannot be converted to 'PyString'"),
    ("bytes", b"kum", TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    ("none", None, TypeError, "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
    ("list", ["k"], TypeError, "argument 'text': 'list' object cannot be converted to 'PyString'"),
    ("lone-surrogate", "\ud800", UnicodeEncodeError, utf8_error_text("\ud800")),
    ("inner-surrogate", "k\udfffm", UnicodeEncodeError, utf8_error_text("k\udfffm")),
]


@pytest.mark.parametrize("text, exc_type, message", [row[1:] for row in TEXT_REJECTED],
                         ids=[row[0] for row in TEXT_REJECTED])
def test_text_rejected(example_bpe, text, exc_type, message):
    exc = catch(lambda: example_bpe.encode(text))
    assert_exactly(exc, exc_type, message)
    if exc_type is UnicodeEncodeError:
        assert exc.object == text


# --- ids -------------------------------------------------------------------

def ids_error(message):
    return TypeError, f"argument 'ids': {message}"


IDS_REJECTED = [
    ("str", "abc", *ids_error(STR_REJECTION)),
    ("empty-str", "", *ids_error(STR_REJECTION)),
    ("str-subclass", StrSub("abc"), *ids_error(STR_REJECTION)),
    ("dict", {5: 1}, *ids_error("'dict' object cannot be converted to 'Sequence'")),
    ("iterator", iter([5]), *ids_error("'list_iterator' object cannot be converted to 'Sequence'")),
    ("generator", (i for i in [5]), *ids_error("'generator' object cannot be converted to 'Sequence'")),
    ("set", {5}, *ids_error("'set' object cannot be converted to 'Sequence'")),
    ("int", 5, *ids_error("'int' object cannot be converted to 'Sequence'")),
    ("none", None, *ids_error("'NoneType' object cannot be converted to 'Sequence'")),
    ("float", [5, 1.5], *ids_error("'float' object cannot be interpreted as an integer")),
    ("str-element", ["5"], *ids_error("'str' object cannot be interpreted as an integer")),
    ("none-element", [None], *ids_error("'NoneType' object cannot be interpreted as an integer")),
    ("negative", [5, -1], OverflowError, OUT_OF_RANGE),
    ("2**32", [4294967296], OverflowError, OUT_OF_RANGE),
    ("2**63-1", [2**63 - 1], OverflowError, OUT_OF_RANGE),
    ("index-2**32", [Index(2**32)], OverflowError, OUT_OF_RANGE),
    ("2**63", [2**63], OverflowError, TOO_LARGE),
    ("2**64", [2**64], OverflowError, TOO_LARGE),
    ("-2**64", [-2**64], OverflowError, TOO_LARGE),
]


@pytest.mark.parametrize("ids, exc_type, message", [row[1:] for row in IDS_REJECTED],
                         ids=[row[0] for row in IDS_REJECTED])
def test_ids_rejected(example_bpe, ids, exc_type, message):
    assert_exactly(catch(lambda: example_bpe.decode(ids)), exc_type, message)


IDS_VOCAB = {"y": 0, "x": 1, "k": 5, "um": 11, "z": 4294967295}
IDS_ACCEPTED = [
    ("empty", [], ""),
    ("list", [5, 11], "kum"),
    ("tuple", (5, 11), "kum"),
    ("bytes", b"\x05\x0b", "kum"),
    ("bytearray", bytearray(b"\x05\x0b"), "kum"),
    ("range", range(5, 12, 6), "kum"),
    ("bools", [True, False], "xy"),
    ("max", [4294967295, 5], "zk"),
    ("index", [Index(5), Index(4294967295)], "kz"),
    ("unknown-ids", [2, 5, 4294967294], "k"),
]


@pytest.mark.parametrize("ids, text", [row[1:] for row in IDS_ACCEPTED],
                         ids=[row[0] for row in IDS_ACCEPTED])
def test_ids_accepted(ids, text):
    assert CoreBPE(IDS_VOCAB, []).decode(ids) == text


# --- argument prefixing and causes -----------------------------------------

class Raising:
    """Raises a fresh exception from each conversion hook and keeps the last one."""

    def __init__(self, make):
        self.make = make
        self.raised = None

    def _raise(self):
        self.raised = self.make()
        raise self.raised

    def __index__(self):
        self._raise()

    def __len__(self):
        return 1

    def __getitem__(self, index):
        self._raise()

    def __iter__(self):
        self._raise()


def caused(exc, cause):
    exc.__cause__ = cause
    return exc


# Where user code can raise during conversion, and the parameter it belongs to.
SITES = [
    ("ids-element", "ids", lambda b, r: b.decode([5, r])),
    ("ids-iterator", "ids", lambda b, r: b.decode(r)),
    ("vocab-value", "vocab", lambda b, r: CoreBPE({"k": 5, "a": r}, [])),
    ("merges-iterator", "merges", lambda b, r: CoreBPE({}, r)),
]

SAME = None
PREFIX_CASES = [
    ("typeerror-with-cause", lambda: caused(TypeError("x"), KeyError("k")), "x", 0),
    ("typeerror", lambda: TypeError("x"), "x", 0),
    ("typeerror-int-arg", lambda: TypeError(42), "42", 0),
    ("typeerror-no-args", lambda: TypeError(), "", 0),
    ("typeerror-two-args", lambda: TypeError("a", "b"), "('a', 'b')", 0),
    ("typeerror-surrogate", lambda: TypeError("bad \udc80"), "bad \ufffd\ufffd\ufffd", 0),
    ("typeerror-unprintable", lambda: TypeError(Unprintable()), "<unprintable TypeError object>", 1),
    ("typeerror-subclass", lambda: TypeErrorSub("x"), SAME, 0),
    ("valueerror", lambda: ValueError("v"), SAME, 0),
    ("overflowerror", lambda: OverflowError("o"), SAME, 0),
    ("keyboardinterrupt", lambda: KeyboardInterrupt(), SAME, 0),
]


@pytest.mark.parametrize("make, text, unraisable", [row[1:] for row in PREFIX_CASES],
                         ids=[row[0] for row in PREFIX_CASES])
@pytest.mark.parametrize("param, call", [row[1:] for row in SITES], ids=[row[0] for row in SITES])
def test_prefixing_and_causes(monkeypatch, example_bpe, param, call, make, text, unraisable):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    raiser = Raising(make)
    exc = catch(lambda: call(example_bpe, raiser))
    assert len(reports) == unraisable
    if unraisable:
        assert reports[0].exc_type is RuntimeError
    if text is SAME:
        assert exc is raiser.raised
        frames = []
        tb = exc.__traceback__
        while tb is not None:
            frames.append(tb.tb_frame.f_code.co_name)
            tb = tb.tb_next
        assert "_raise" in frames
    else:
        assert_exactly(exc, TypeError, f"argument '{param}': {text}")
        assert exc is not raiser.raised
        assert exc.__cause__ is raiser.raised.__cause__
        assert exc.__suppress_context__ is True


# --- subclasses ------------------------------------------------------------

class OpaqueDict(dict):
    """A dict subclass whose Python-level access methods must never be used."""

    def _forbidden(self, *args):
        raise AssertionError("dict subclass method called")

    __iter__ = items = keys = values = __getitem__ = get = __len__ = _forbidden


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class ReversingList(list):
    """Its own __iter__ is what the interpreter hands out for iteration."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


Pair = collections.namedtuple("Pair", "left right")

SUBCLASS_CASES = [
    ("text-str", lambda b: b.encode(StrSub(KUMAIN)), KUMAIN_IDS),
    ("vocab-dict", lambda b: CoreBPE(OpaqueDict(EXAMPLE_VOCAB), EXAMPLE_MERGES).encode(KUMAIN), KUMAIN_IDS),
    ("vocab-ordereddict", lambda b: CoreBPE(collections.OrderedDict(k=5), []).encode("k"), [5]),
    ("vocab-key-str", lambda b: CoreBPE({StrSub("ab"): 3}, [("a", "b")]).encode("ab"), [3]),
    ("vocab-value-int", lambda b: CoreBPE({"k": IntSub(5)}, []).encode("k"), [5]),
    ("merges-list", lambda b: CoreBPE(EXAMPLE_VOCAB, ListSub(EXAMPLE_MERGES)).encode(KUMAIN), KUMAIN_IDS),
    ("merges-tuple", lambda b: CoreBPE(EXAMPLE_VOCAB, TupleSub(EXAMPLE_MERGES)).encode(KUMAIN), KUMAIN_IDS),
    ("merge-pair-namedtuple",
     lambda b: CoreBPE(EXAMPLE_VOCAB, [Pair("u", "m")]).encode("um"), [11]),
    ("merge-pair-tuple", lambda b: CoreBPE(EXAMPLE_VOCAB, [TupleSub(("u", "m"))]).encode("um"), [11]),
    ("merge-halves-str",
     lambda b: CoreBPE(EXAMPLE_VOCAB, [(StrSub("u"), StrSub("m"))]).encode("um"), [11]),
    ("ids-int", lambda b: b.decode([IntSub(5), IntSub(11)]), "kum"),
    ("ids-list", lambda b: b.decode(ListSub([5, 11])), "kum"),
    ("ids-tuple", lambda b: b.decode(TupleSub([5, 11])), "kum"),
    ("ids-own-iter", lambda b: b.decode(ReversingList([11, 5])), "kum"),
]


@pytest.mark.parametrize("action, expected", [row[1:] for row in SUBCLASS_CASES],
                         ids=[row[0] for row in SUBCLASS_CASES])
def test_subclasses(example_bpe, action, expected):
    assert action(example_bpe) == expected


# --- protocol objects and re-entrancy --------------------------------------

class Panic:
    def __init__(self, message, resumed=False):
        self.message = message
        self.resumed = resumed


class Raises:
    def __init__(self, exc_type, message):
        self.exc_type = exc_type
        self.message = message


class Reenter:
    """An id whose __index__ first calls back into the module."""

    def __init__(self, call, expected, value):
        self.call = call
        self.expected = expected
        self.value = value

    def __index__(self):
        assert self.call() == self.expected
        return self.value


class RaisingReenter(Reenter):
    def __index__(self):
        self.call()
        return self.value


class DictMutator:
    """A vocab value that changes the dict being converted."""

    def __init__(self, vocab, change):
        self.vocab = vocab
        self.change = change

    def __index__(self):
        self.change(self.vocab)
        return 1


def vocab_with_mutator(change, **entries):
    vocab = {"a": None, **entries}
    vocab["a"] = DictMutator(vocab, change)
    return vocab


def swap_key(vocab):
    del vocab["a"]
    vocab["b"] = 2


def big(n):
    return Sized(EXAMPLE_MERGES, n)


PROTOCOL_CASES = [
    ("getitem-only-ids", lambda b: b.decode(GetItemOnly([5, 11, 4, 13])), "kumain"),
    ("getitem-only-merges", lambda b: CoreBPE(EXAMPLE_VOCAB, GetItemOnly(EXAMPLE_MERGES)).encode(KUMAIN),
     KUMAIN_IDS),
    ("len-raises-ids", lambda b: b.decode(Sized([5, 11], ValueError("no length"))), "kum"),
    ("len-raises-merges", lambda b: CoreBPE(EXAMPLE_VOCAB, big(KeyError("no"))).encode(KUMAIN), KUMAIN_IDS),
    ("len-zero", lambda b: b.decode(Sized([5, 11, 4, 13], 0)), "kumain"),
    ("len-too-small", lambda b: b.decode(Sized([5, 11, 4, 13], 1)), "kumain"),
    ("len-too-large", lambda b: b.decode(Sized([5, 11], 2**50)), "kum"),
    ("len-too-large-merges", lambda b: CoreBPE(EXAMPLE_VOCAB, big(2**50)).encode(KUMAIN), KUMAIN_IDS),
    ("len-largest-reservable-ids", lambda b: b.decode(Sized([5, 11], 2**61 - 1)), "kum"),
    ("len-first-overflowing-ids", lambda b: b.decode(Sized([5, 11], 2**61)), Panic("capacity overflow")),
    ("len-maxsize-ids", lambda b: b.decode(Sized([5, 11], sys.maxsize)), Panic("capacity overflow")),
    ("len-maxsize-merges", lambda b: CoreBPE(EXAMPLE_VOCAB, big(sys.maxsize)), Panic("capacity overflow")),
    ("iter-valueerror-midway", lambda b: b.decode(FailsMidway([5, 11], ValueError("midway"))),
     Raises(ValueError, "midway")),
    ("iter-typeerror-midway", lambda b: b.decode(FailsMidway([5, 11], TypeError("midway"))),
     Raises(TypeError, "argument 'ids': midway")),
    ("iter-merges-midway", lambda b: CoreBPE(EXAMPLE_VOCAB, FailsMidway(EXAMPLE_MERGES, LookupError("m"))),
     Raises(LookupError, "m")),
    ("getitem-raises-midway", lambda b: b.decode(GetItemFails([5, 11])), Raises(KeyError, "'gone'")),
    ("no-iter", lambda b: b.decode(NoIter([5])),
     Raises(TypeError, "argument 'ids': 'NoIter' object is not iterable")),
    ("iter-not-iterator", lambda b: b.decode(BadIter([5])),
     Raises(TypeError, "argument 'ids': iter() returned non-iterator of type 'int'")),
    ("reenter-encode", lambda b: b.decode([Reenter(lambda: b.encode("kum"), [5, 11], 5), 11]), "kum"),
    ("reenter-decode", lambda b: b.decode([5, Reenter(lambda: b.decode([11, 4, 13]), "umain", 11)]), "kum"),
    ("reenter-constructor",
     lambda b: CoreBPE({"k": Reenter(lambda: b.decode([5]), "k", 5)}, []).encode("k"), [5]),
    ("reenter-inner-error", lambda b: b.decode([RaisingReenter(lambda: b.decode("x"), None, 5)]),
     Raises(TypeError, f"argument 'ids': argument 'ids': {STR_REJECTION}")),
    ("reenter-inner-panic",
     lambda b: b.decode([RaisingReenter(lambda: b.decode(Sized([], sys.maxsize)), None, 5)]),
     Panic("capacity overflow", resumed=True)),
    ("vocab-grows", lambda b: CoreBPE(vocab_with_mutator(lambda v: v.update(c=3)), []),
     Panic("dictionary changed size during iteration")),
    ("vocab-shrinks", lambda b: CoreBPE(vocab_with_mutator(lambda v: v.pop("b"), b=2), []),
     Panic("dictionary changed size during iteration")),
    ("vocab-keys-swapped", lambda b: CoreBPE(vocab_with_mutator(swap_key), []),
     Panic("dictionary keys changed during iteration")),
    ("vocab-value-replaced",
     lambda b: CoreBPE(vocab_with_mutator(lambda v: v.update(b=7), b=2), []).encode("ab"), [1, 7]),
]


@pytest.mark.parametrize("action, expected", [row[1:] for row in PROTOCOL_CASES],
                         ids=[row[0] for row in PROTOCOL_CASES])
def test_protocol_objects(capfd, example_bpe, action, expected):
    if isinstance(expected, Panic):
        assert_panic(catch(lambda: action(example_bpe)), expected.message)
        assert ("Python stack trace below:" in capfd.readouterr().err) == expected.resumed
    elif isinstance(expected, Raises):
        assert_exactly(catch(lambda: action(example_bpe)), expected.exc_type, expected.message)
    else:
        assert action(example_bpe) == expected

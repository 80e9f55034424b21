import gc
import importlib
import inspect
import sys
import weakref

import pytest

import _morfex
from _morfex import CoreBPE

CLASS_DOC_BODY = (
    "\n\nThe morpheme boundary constraint (no merges across \u2581) is enforced entirely\n"
    "at training time \u2014 pairs containing \u2581 are never added to the merge table.\n"
    "This encoder therefore requires no special-casing: \u2581 pairs simply have no\n"
    "entry in merge_ranks and are never selected by the greedy algorithm."
)
ENCODE_DOC = (
    "Encode a boundary-annotated surface token into BPE token IDs.\n\n"
    "The input is a single pre-segmented token string such as \"k\u2581um\u2581ain\".\n"
    "Pairs spanning \u2581 are absent from merge_ranks and are never merged."
)
DECODE_DOC = (
    "Decode a sequence of token IDs back to readable text.\n\n"
    "Special tokens are silently dropped; boundary markers are removed."
)

# CPython's type flag bits that the class must (not) carry.
TPFLAGS_MANAGED_WEAKREF = 1 << 3
TPFLAGS_MANAGED_DICT = 1 << 4
TPFLAGS_HEAPTYPE = 1 << 9
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


@pytest.fixture
def restore_sys_modules():
    original = sys.modules["_morfex"]
    yield
    sys.modules["_morfex"] = original


def test_module_attributes():
    assert _morfex.__name__ == "_morfex"
    assert _morfex.__doc__ == ""
    assert type(_morfex.__all__) is list
    assert _morfex.__all__ == ["CoreBPE"]
    assert _morfex.CoreBPE is CoreBPE
    public = {name for name in vars(_morfex) if not name.startswith("__")}
    assert public == {"CoreBPE"}


def test_reimport_after_removal_yields_same_module(restore_sys_modules):
    for _ in range(3):
        del sys.modules["_morfex"]
        again = importlib.import_module("_morfex")
        assert again is _morfex
        assert sys.modules["_morfex"] is _morfex
    assert _morfex.__all__ == ["CoreBPE"]
    assert _morfex.CoreBPE is CoreBPE


def test_reload_yields_same_module():
    for _ in range(3):
        assert importlib.reload(_morfex) is _morfex
    assert _morfex.__all__ == ["CoreBPE"]
    assert _morfex.CoreBPE is CoreBPE


def test_class_names():
    assert CoreBPE.__module__ == "builtins"
    assert CoreBPE.__qualname__ == "CoreBPE"
    assert CoreBPE.__name__ == "CoreBPE"
    assert CoreBPE.__bases__ == (object,)
    assert CoreBPE.__itemsize__ == 0


def test_class_docstring_and_signature():
    assert CoreBPE.__text_signature__ == "(vocab, merges)"
    doc = CoreBPE.__doc__
    assert doc.endswith(CLASS_DOC_BODY)
    summary = doc[: -len(CLASS_DOC_BODY)]
    assert summary.startswith("Morphology-aware BPE encoder/decoder")
    assert summary.endswith(".")
    assert "\n" not in summary


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        ("encode", "($self, text)", ENCODE_DOC),
        ("decode", "($self, ids)", DECODE_DOC),
    ],
)
def test_method_docstring_and_signature(example_bpe, name, signature, doc):
    method = getattr(CoreBPE, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    assert method.__name__ == name
    assert method.__qualname__ == f"CoreBPE.{name}"
    bound = getattr(example_bpe, name)
    assert bound.__doc__ == doc
    assert bound.__self__ is example_bpe


@pytest.mark.parametrize(
    ("get_callable", "expected"),
    [
        (lambda bpe: CoreBPE, "(vocab, merges)"),
        (lambda bpe: CoreBPE.encode, "(self, /, text)"),
        (lambda bpe: CoreBPE.decode, "(self, /, ids)"),
        (lambda bpe: bpe.encode, "(text)"),
        (lambda bpe: bpe.decode, "(ids)"),
    ],
)
def test_inspect_signature(example_bpe, get_callable, expected):
    assert str(inspect.signature(get_callable(example_bpe))) == expected


def test_class_defines_only_its_own_methods():
    # No __init__, __repr__, __hash__, comparisons or members of its own:
    # everything else is inherited from object. Pickling an instance (as other
    # tests do first in the same process) leaves copyreg's __slotnames__ cache.
    assert set(vars(CoreBPE)) - {"__slotnames__"} == {"__new__", "encode", "decode", "__doc__", "__module__"}
    assert CoreBPE.__init__ is object.__init__
    assert CoreBPE.__repr__ is object.__repr__
    assert CoreBPE.__hash__ is object.__hash__


def test_not_subclassable():
    message = "^type 'builtins\\.CoreBPE' is not an acceptable base type$"
    with pytest.raises(TypeError, match=message):
        class Derived(CoreBPE):
            pass
    with pytest.raises(TypeError, match=message):
        type("Derived", (CoreBPE,), {})


@pytest.mark.parametrize("name", ["foo", "encode", "__dict__"])
def test_no_attribute_assignment(example_bpe, name):
    with pytest.raises(AttributeError):
        setattr(example_bpe, name, 1)
    assert not hasattr(example_bpe, "foo")


def test_no_dict_and_no_weakrefs(example_bpe):
    assert not hasattr(example_bpe, "__dict__")
    assert CoreBPE.__dictoffset__ == 0
    assert CoreBPE.__weakrefoffset__ == 0
    with pytest.raises(TypeError, match="^cannot create weak reference to 'builtins\\.CoreBPE' object$"):
        weakref.ref(example_bpe)
    with pytest.raises(TypeError):
        weakref.proxy(example_bpe)


def test_type_flags(example_bpe):
    flags = CoreBPE.__flags__
    assert flags & TPFLAGS_HEAPTYPE
    assert not flags & TPFLAGS_BASETYPE
    assert not flags & TPFLAGS_HAVE_GC
    assert not flags & TPFLAGS_MANAGED_DICT
    assert not flags & TPFLAGS_MANAGED_WEAKREF
    assert gc.is_tracked(example_bpe) is False
    assert gc.is_tracked(CoreBPE({"a": 1}, [("a", "a")])) is False


def test_type_refcount_stable_across_instances():
    vocab = {"a": 1, "b": 2, "ab": 3}
    merges = [("a", "b")]
    # Warm up once so that any lazily created process-wide state exists.
    CoreBPE(vocab, merges).encode("ab")
    gc.collect()
    before = sys.getrefcount(CoreBPE)
    instances = [CoreBPE(vocab, merges) for _ in range(1000)]
    assert sys.getrefcount(CoreBPE) == before + 1000
    for bpe in instances:
        assert bpe.encode("ab") == [3]
    del instances, bpe
    for _ in range(200):
        CoreBPE({}, [])
        with pytest.raises(TypeError):
            CoreBPE(1, 2)
    assert sys.getrefcount(CoreBPE) == before


def test_instance_refcount_stable_across_calls(example_bpe):
    before = sys.getrefcount(example_bpe)
    for _ in range(200):
        example_bpe.encode("k\u2581um\u2581ain")
        example_bpe.decode([5, 4, 11])
        with pytest.raises(TypeError):
            example_bpe.decode(["x"])
        with pytest.raises(TypeError):
            example_bpe.encode(1)
    assert sys.getrefcount(example_bpe) == before

"""The binding reads exact lists, tuples, ints and strs directly; every such
shortcut must behave exactly like the generic protocol path it skips."""

import random

import pytest

import _morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER
from protocol_objects import Index, Sized
from reference_model import ReferenceBPE


class ListSubclass(list):
    """Takes the generic path (len, then the list's own iterator)."""


class TupleSubclass(tuple):
    pass


class IntSubclass(int):
    pass


def GetItemSequence(items):
    """A sequence known only through __len__ and __getitem__."""
    return Sized(items, len(items))


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # compared by type and text
        return (type(error), str(error))


CONTAINERS = [list, tuple, ListSubclass, TupleSubclass, GetItemSequence]
GENERIC = GetItemSequence

ID_VALUES = [
    0, 1, 17, True, False, IntSubclass(5), Index(7),
    2**30 - 1, 2**30, 2**31, 2**32 - 1,  # either side of the one-digit int
    -1, -(2**30), -(2**30) - 1, 2**32, 2**62, 2**63, 2**64, -(2**63) - 1,
    1.5, "5", None, Index(-1), Index(2**40),
]


@pytest.mark.parametrize("container", CONTAINERS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("value", ID_VALUES, ids=repr)
def test_ids_convert_alike_in_every_container(example_bpe, container, value):
    ids = [5, value, 11]
    expected = outcome(lambda: example_bpe.decode(GENERIC(ids)))
    assert outcome(lambda: example_bpe.decode(container(ids))) == expected


class Mutator:
    """An id whose first conversion changes the list being converted."""

    def __init__(self, target, action):
        self.target = target
        self.action = action

    def __index__(self):
        if self.action is not None:
            action, self.action = self.action, None
            action(self.target)
        return 5


MUTATIONS = [
    ("append", lambda ids: ids.append(11)),
    ("clear", lambda ids: ids.clear()),
    ("drop-next", lambda ids: ids.pop(ids.index(next(i for i in ids if isinstance(i, Mutator))) + 1)),
    ("insert-front", lambda ids: ids.insert(0, 13)),
    ("shrink-to-one", lambda ids: ids.__delitem__(slice(1, None))),
    ("bad-element", lambda ids: ids.append("x")),
]


@pytest.mark.parametrize("name, action", MUTATIONS, ids=[m[0] for m in MUTATIONS])
def test_list_changed_during_conversion_behaves_like_generic_path(example_bpe, name, action):
    def run(kind):
        ids = kind([4, 8, 9])
        ids.insert(1, Mutator(ids, action))
        if name != "clear":
            ids.append(10)
        return outcome(lambda: example_bpe.decode(ids)), len(ids)

    assert run(list) == run(ListSubclass)


def test_list_growing_during_conversion_is_read_to_its_end(example_bpe):
    ids = []

    class Grow:
        def __index__(self):
            if len(ids) < 50:
                ids.append(Grow())
            return 5

    ids.append(Grow())
    assert example_bpe.decode(ids) == "k" * 50


MERGE_ELEMENTS = [
    ("pair", ("a", "i")),
    ("tuple-subclass", TupleSubclass(("a", "i"))),
    ("list-pair", ["a", "i"]),
    ("three", ("a", "i", "n")),
    ("one", ("a",)),
    ("int-half", ("a", 1)),
    ("bytes-half", (b"a", "i")),
    ("surrogate-half", ("a", "\ud800")),
]


@pytest.mark.parametrize("container", CONTAINERS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("element", [e[1] for e in MERGE_ELEMENTS], ids=[e[0] for e in MERGE_ELEMENTS])
def test_merges_convert_alike_in_every_container(container, element):
    merges = [("u", "m"), element, ("ai", "n")]

    def run(kind):
        return outcome(lambda: _morfex.CoreBPE(EXAMPLE_VOCAB, kind(merges)).encode("k\u2581um\u2581ain"))

    assert run(container) == run(GENERIC)


TEXTS = [
    "", "kumain", "k\u2581um\u2581ain", "\u00e9a\u00ff", "\U0001F600a\u2581",
    "a" * 300, ("um\u2581ai" * 80), "\u00e9" * 200, "\U0001F600" * 100, "x\ty\x00z",
]


@pytest.mark.parametrize("text", TEXTS, ids=range(len(TEXTS)))
def test_text_of_every_width_encodes_like_the_reference(example_bpe, text):
    reference = ReferenceBPE(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    assert example_bpe.encode(text) == reference.encode(text)
    assert example_bpe.encode(type("Text", (str,), {})(text)) == reference.encode(text)


@pytest.mark.parametrize("text", ["\ud800", "a\udfff", "\u00e9\ud800", "\u2581\udc00b", "\U0001F600\ud83d"])
def test_lone_surrogate_raises_the_interpreters_error(example_bpe, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    assert outcome(lambda: example_bpe.encode(text)) == (UnicodeEncodeError, str(expected.value))


def test_vocab_keys_and_values_of_every_kind_build_the_same_model():
    words = ["a", "\u00e9", "\u2581", "\U0001F600", "a\u00e9", "\u00e9\u2581\U0001F600", "x" * 300]
    plain = {word: i for i, word in enumerate(words)}
    dressed = {type("Key", (str,), {})(word): Index(i) if i % 2 else IntSubclass(i) for i, word in enumerate(words)}
    merges = [("a", "\u00e9"), ("\u2581", "\U0001F600"), ("\u00e9", "\u2581\U0001F600")]
    text = "a\u00e9\u00e9\u2581\U0001F600" + "x" * 300
    built = [_morfex.CoreBPE(vocab, merges) for vocab in (plain, dressed)]
    assert built[0].encode(text) == built[1].encode(text) == ReferenceBPE(plain, merges).encode(text)
    assert built[0].decode(list(range(8))) == built[1].decode(list(range(8)))


def tab_model(rng):
    """Merges whose parts hold TABs, many of them sharing a joined key."""
    pieces = ["a", "b", "\t", "a\t", "\tb", "\ta", "ab", MARKER]
    merges = []
    for _ in range(40):
        x, y, z = rng.choice(pieces), rng.choice(pieces), rng.choice(pieces)
        merges += [(x + "\t" + y, z), (x, y + "\t" + z)] if rng.random() < 0.5 else [(x, y)]
    vocab = {"<unk>": 0, "a": 1, "b": 2, "\t": 3}
    for left, right in merges:
        vocab.setdefault(left + right, len(vocab))
    return vocab, merges


@pytest.mark.parametrize("seed", range(6))
def test_long_inputs_with_tab_collisions_match_reference(seed):
    rng = random.Random(seed)
    vocab, merges = tab_model(rng)
    bpe, reference = _morfex.CoreBPE(vocab, merges), ReferenceBPE(vocab, merges)
    for length in (31, 32, 33, 400):
        text = "".join(rng.choices(["a", "b", "\t", "\t\t", MARKER], k=length))
        assert bpe.encode(text) == reference.encode(text), (merges, text)


# The decoded str is built in place at the width of its widest character; str
# equality compares widths first, so a wider str than needed would differ.
WIDTH_TOKENS = ["ab", "\u00e9\u2581", "\u00ff", "\u2581", "\u0142\u2581\u2581x", "\U0001F600", "\x00\t", "\u2581\u00e9"]


@pytest.mark.parametrize("seed", range(20))
def test_text_of_every_width_decodes_like_the_reference(seed):
    vocab = {token: i + 10 for i, token in enumerate(WIDTH_TOKENS)}
    bpe = _morfex.CoreBPE(vocab, [])
    reference = ReferenceBPE(vocab, [])
    rng = random.Random(seed)
    for _ in range(50):
        ids = [rng.choice([*vocab.values(), 99]) for _ in range(rng.randrange(6))]
        text = bpe.decode(ids)
        assert text == reference.decode(ids)
        assert text.isascii() == all(ch < "\x80" for ch in text)

"""Hostile input: huge, malformed, self-modifying and concurrently used. Every
row ends in the documented exception or the right result, and afterwards the
interpreter and the tokenizer still work."""
import sys
import threading
import time

import pytest

from _morfex import CoreBPE
from conftest import MARKER
from protocol_objects import FailsMidway, Index, Sized

VOCAB = {
    "<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4,
    "k": 5, "u": 6, "m": 7, "a": 8, "i": 9, "n": 10, "um": 11, "ai": 12, "ain": 13,
}
MERGES = [("u", "m"), ("a", "i"), ("ai", "n")]
KUMAIN = "k" + MARKER + "um" + MARKER + "ain"
KUMAIN_IDS = [5, 4, 11, 4, 13]
U32_MAX = 2**32 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"


class Raises:
    """Expected failure: the exception's type name and, unless None, its exact text."""

    def __init__(self, name, text=None):
        self.name, self.text = name, text


def panic(text):
    return Raises("PanicException", text)


@pytest.fixture(scope="module")
def bpe():
    return CoreBPE(VOCAB, MERGES)


def assert_usable(bpe):
    assert bpe.encode(KUMAIN) == KUMAIN_IDS
    assert bpe.decode(KUMAIN_IDS) == "kumain"
    assert CoreBPE({"x": 1, "xx": 2}, [("x", "x")]).encode("xxx") == [2, 1]


def check(call, expected, bpe):
    if isinstance(expected, Raises):
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value).__name__ == expected.name, repr(info.value)
        if expected.text is not None:
            assert str(info.value) == expected.text
        if expected.name == "PanicException":
            assert type(info.value).__module__ == "tessel_runtime"
            assert info.value.args == (expected.text,)
    else:
        assert call() == expected
    assert_usable(bpe)




class Midway(FailsMidway):
    """Sized, and read through its iterator only."""

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, i):
        raise AssertionError("iteration must go through __iter__")


def mutating_vocab(mutate):
    """A vocabulary whose first value's __index__ runs mutate(vocab)."""
    vocab = {}

    def index():
        mutate(vocab)
        return 5

    vocab["first"] = Index(index)
    vocab["second"] = 6
    return vocab


def swap_keys(vocab):
    del vocab["first"]
    vocab["third"] = 7


BIG_TEXT = ("k" + MARKER) * 500_000
EMOJI_TEXT = "\U0001F600" * 1_000_000

SIZE_ROWS = [
    ("encode-megabytes", lambda b: b.encode(BIG_TEXT), [5, 4] * 500_000),
    ("encode-4-byte-chars", lambda b: b.encode(EMOJI_TEXT), [1] * 1_000_000),
    ("encode-no-merges-megabytes", lambda b: CoreBPE(VOCAB, []).encode("um" * 500_000), [6, 7] * 500_000),
    ("decode-millions", lambda b: b.decode([5, 4, 11, 4, 13] * 1_000_000), "kumain" * 1_000_000),
    ("decode-bytes-megabytes", lambda b: b.decode(bytes([5, 11, 0, 200]) * 1_000_000), "kum" * 1_000_000),
    ("decode-range-millions", lambda b: b.decode(range(3_000_000)), "kumainumaiain"),
    ("vocab-hundreds-of-thousands",
     lambda b: CoreBPE({str(i): i for i in range(300_000)}, []).decode([299_999, 7]), "2999997"),
    ("merges-hundreds-of-thousands",
     lambda b: CoreBPE({"um": 9}, [("x", str(i)) for i in range(300_000)] + [("u", "m")]).encode("um"), [9]),
]

BOUNDARY_ROWS = [
    ("id-zero-in-vocab", lambda b: CoreBPE({"z": 0}, []).encode("z"), [0]),
    ("id-max-in-vocab", lambda b: CoreBPE({"z": U32_MAX}, []).encode("zz"), [U32_MAX, U32_MAX]),
    ("id-max-decodes", lambda b: CoreBPE({"z": U32_MAX}, []).decode([U32_MAX, 0]), "z"),
    ("id-max-unknown", lambda b: b.decode([U32_MAX, 5]), "k"),
    ("id-above-max", lambda b: b.decode([5, U32_MAX + 1]), Raises("OverflowError", OUT_OF_RANGE)),
    ("id-minus-one", lambda b: b.decode([-1]), Raises("OverflowError", OUT_OF_RANGE)),
    ("id-largest-long", lambda b: b.decode([2**63 - 1]), Raises("OverflowError", OUT_OF_RANGE)),
    ("id-beyond-long", lambda b: b.decode([2**63]), Raises("OverflowError", TOO_LARGE)),
    ("id-below-long", lambda b: b.decode([-(2**63) - 1]), Raises("OverflowError", TOO_LARGE)),
    ("vocab-above-max", lambda b: CoreBPE({"z": U32_MAX + 1}, []), Raises("OverflowError", OUT_OF_RANGE)),
    ("id-bool", lambda b: b.decode([True, False, 5]), "k"),
    ("id-index-max", lambda b: b.decode([Index(lambda: U32_MAX), 5]), "k"),
]

TEXT_ROWS = [
    ("lone-surrogate-text", lambda b: b.encode("k\ud800"), Raises("UnicodeEncodeError")),
    ("lone-low-surrogate-text", lambda b: b.encode("\udfffum"), Raises("UnicodeEncodeError")),
    ("lone-surrogate-vocab-key", lambda b: CoreBPE({"\ud800": 1}, []), Raises("UnicodeEncodeError")),
    ("lone-surrogate-merge-half", lambda b: CoreBPE({}, [("a", "\udc00")]), Raises("UnicodeEncodeError")),
    ("astral-char-is-one-symbol", lambda b: b.encode("\U00010000"), [1]),
    ("nul-unknown", lambda b: b.encode("k\0um"), [5, 1, 11]),
    ("nul-token", lambda b: CoreBPE({"\0": 3, "a\0": 4}, [("a", "\0")]).encode("\0a\0\0"), [3, 4, 3]),
    ("nul-and-tab-merge-key",
     lambda b: CoreBPE({"\0\tb": 4}, [("\0", "\t"), ("\0", "\tb")]).encode("\0\tb"), [4]),
    ("nul-decodes", lambda b: CoreBPE({"a\0b": 4, MARKER + "\0": 5}, []).decode([4, 5]), "a\0b\0"),
]

MUTATION_ROWS = [
    ("dict-grows", lambda b: CoreBPE(mutating_vocab(lambda v: v.update(extra=1)), []),
     panic("dictionary changed size during iteration")),
    ("dict-shrinks", lambda b: CoreBPE(mutating_vocab(lambda v: v.pop("second")), []),
     panic("dictionary changed size during iteration")),
    ("dict-cleared", lambda b: CoreBPE(mutating_vocab(lambda v: v.clear()), []),
     panic("dictionary changed size during iteration")),
    ("dict-keys-swapped", lambda b: CoreBPE(mutating_vocab(swap_keys), []),
     panic("dictionary keys changed during iteration")),
    ("dict-value-replaced",
     lambda b: CoreBPE(mutating_vocab(lambda v: v.update(second=9)), []).encode("k"), [1]),
    ("ids-list-mutated", lambda b: b.decode(ids_growing_list()), "kumumum"),
]

LENGTH_ROWS = [
    ("len-too-small", lambda b: b.decode(Sized([5, 11, 4, 13], 1)), "kumain"),
    ("len-zero", lambda b: CoreBPE(VOCAB, Sized(MERGES, 0)).encode(KUMAIN), KUMAIN_IDS),
    ("len-huge-ids", lambda b: b.decode(Sized([5, 11], 2**50)), "kum"),
    ("len-huge-merges", lambda b: CoreBPE(VOCAB, Sized(MERGES, 2**50)).encode(KUMAIN), KUMAIN_IDS),
    ("len-larger-than-memory-ids", lambda b: b.decode(Sized([5, 11], 2**60)), "kum"),
    ("len-maxsize-ids", lambda b: b.decode(Sized([5, 11], sys.maxsize)), panic("capacity overflow")),
    ("len-maxsize-merges", lambda b: CoreBPE(VOCAB, Sized(MERGES, sys.maxsize)), panic("capacity overflow")),
    ("len-raises", lambda b: b.decode(Sized([5, 11], RuntimeError("no length"))), "kum"),
    ("len-raises-interrupt", lambda b: b.decode(Sized([5, 11], KeyboardInterrupt())), "kum"),
    ("len-negative", lambda b: b.decode(Sized([5, 11], -1)), "kum"),
]

ITERATION_ROWS = [
    ("ids-iteration-raises", lambda b: b.decode(Midway([5, 11], LookupError("midway"))),
     Raises("LookupError", "midway")),
    ("ids-iteration-type-error", lambda b: b.decode(Midway([5], TypeError("midway"))),
     Raises("TypeError", "argument 'ids': midway")),
    ("ids-iteration-interrupt", lambda b: b.decode(Midway([5], KeyboardInterrupt("stop"))),
     Raises("KeyboardInterrupt", "stop")),
    ("merges-iteration-raises", lambda b: CoreBPE(VOCAB, Midway(MERGES, OSError(5, "midway"))),
     Raises("OSError", "[Errno 5] midway")),
    ("merges-iteration-type-error", lambda b: CoreBPE(VOCAB, Midway(MERGES, TypeError("midway"))),
     Raises("TypeError", "argument 'merges': midway")),
]


def raise_interrupt():
    raise KeyboardInterrupt("from __index__")


def reenter_with_panic(b):
    def index():
        try:
            b.decode(Sized([], sys.maxsize))
        except BaseException as error:
            raise error

    return b.decode([5, Index(index)])


REENTRY_ROWS = [
    ("index-encodes", lambda b: b.decode([Index(lambda: b.encode("um")[0]), 4, 13]), "umain"),
    ("index-decodes", lambda b: b.decode([Index(lambda: len(b.decode([5, 11])) + 2)]), "k"),
    ("index-constructs",
     lambda b: CoreBPE({"z": Index(lambda: CoreBPE({"q": 9}, []).encode("q")[0])}, []).encode("z"), [9]),
    ("index-drops-last-reference", lambda b: decode_with_self_dropped(), "k"),
    ("index-raises-interrupt", lambda b: b.decode([5, Index(raise_interrupt)]),
     Raises("KeyboardInterrupt", "from __index__")),
    ("vocab-index-raises-interrupt", lambda b: CoreBPE({"z": Index(raise_interrupt)}, []),
     Raises("KeyboardInterrupt", "from __index__")),
    ("index-reenters-into-panic", reenter_with_panic, panic("capacity overflow")),
]


def ids_growing_list():
    ids = [5]
    ids.append(Index(lambda: ids.extend([11, 11]) or 11))
    return ids


def decode_with_self_dropped():
    holder = [CoreBPE(VOCAB, MERGES)]
    return holder[0].decode([Index(lambda: holder.clear() or 5)])


ROWS = SIZE_ROWS + BOUNDARY_ROWS + TEXT_ROWS + MUTATION_ROWS + LENGTH_ROWS + ITERATION_ROWS + REENTRY_ROWS


@pytest.mark.parametrize(("call", "expected"), [r[1:] for r in ROWS], ids=[r[0] for r in ROWS])
def test_hostile_input(bpe, call, expected):
    check(lambda: call(bpe), expected, bpe)


def test_user_exception_passes_through_as_the_same_object(bpe):
    interrupt = KeyboardInterrupt("the one")
    with pytest.raises(KeyboardInterrupt) as info:
        bpe.decode(Midway([5], interrupt))
    assert info.value is interrupt
    assert_usable(bpe)


WORDS = [KUMAIN, "kum", "ainain", MARKER * 3, "kqa", "", "n" * 50, "ai" + MARKER + "um"]


def test_one_object_shared_by_many_threads(bpe):
    # Conversions that yield the interpreter lock let other threads run inside
    # a call that is still converting, on the same object.
    def yielding(value):
        def index():
            time.sleep(0)
            return value

        return Index(index)

    expected = {word: bpe.encode(word) for word in WORDS}
    decoded = {word: bpe.decode(ids) for word, ids in expected.items()}
    failures = []
    start = threading.Barrier(8)

    def worker(seed):
        start.wait()
        for round_ in range(300):
            word = WORDS[(seed + round_) % len(WORDS)]
            ids = bpe.encode(word)
            if ids != expected[word]:
                failures.append((word, ids))
            text = bpe.decode([yielding(i) for i in ids])
            if text != decoded[word]:
                failures.append((ids, text))
            try:
                bpe.decode([5, yielding(-1)])
            except OverflowError as error:
                if str(error) != OUT_OF_RANGE:
                    failures.append(str(error))
            else:
                failures.append("no OverflowError")

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(previous)
    assert failures == []
    assert_usable(bpe)

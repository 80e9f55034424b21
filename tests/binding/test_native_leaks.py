"""Native memory stays flat while every entry point of _morfex and the trainer runs its success and error
paths over and over (see leak_harness)."""

import importlib
import sys

import pytest

from _morfex import CoreBPE
from conftest import MARKER
from leak_harness import LONG, MERGES, VOCAB, assert_memory_stays_flat
from protocol_objects import Index, Sized
from morfex import _trainer

BPE = CoreBPE(VOCAB, MERGES)
def raise_value_error():
    raise ValueError("from __index__")


def raising_midway():
    yield from MANY
    raise KeyError("midway")


# Not protocol_objects.FailsMidway: raising one held exception again and again
# would grow its traceback, which this file would count as a leak.
class Midway:
    def __len__(self):
        return 3

    def __iter__(self):
        return raising_midway()

    def __getitem__(self, i):
        raise AssertionError("iteration goes through __iter__")


def grow_during_conversion():
    vocab = {LONG: 1}
    vocab["a"] = Index(lambda: vocab.setdefault("b", 2) and 1)
    CoreBPE(vocab, [])


def reraise_panic():
    def panic():
        try:
            CoreBPE({}, Sized([], sys.maxsize))
        except BaseException as error:
            raise error

    BPE.decode([Index(panic)])


def train(corpus=None, vocab_size=30, progress=None):
    corpus = corpus if corpus is not None else CORPUS
    return _trainer.train(corpus, vocab_size, 1, 0, False, progress)


def train_counts(units=None, byte_fallback=False):
    units = units if units is not None else {f"k{MARKER}um{MARKER}ain": 2, "kum": 3, LONG: 1}
    return _trainer.train_counts(units, 300, 1, 0, byte_fallback, None)


def reimport():
    del sys.modules["_morfex"]
    importlib.import_module("_morfex")


# (name, call, name of the exception it raises or None, repetitions). Payloads
# are kilobytes, so leaking what one call converted shows up within the bound.
LongName = type("L" * 4096, (), {})
MANY = [5, 4, 11] * 40
CORPUS = f"k{MARKER}um{MARKER}ain\t2\nkum\t3\n{LONG}\t1\n"
CASES = [
    ("new", lambda: CoreBPE(VOCAB, MERGES), None, 30_000),
    ("new-binding-error", lambda: CoreBPE(VOCAB, merges=MERGES, vocab=VOCAB), "TypeError", 10_000),
    ("new-vocab-type-error", lambda: CoreBPE({LONG: 1, "a": 1.5}, []), "TypeError", 10_000),
    ("new-vocab-overflow", lambda: CoreBPE({LONG: 1, "a": -1}, []), "OverflowError", 10_000),
    ("new-merge-length", lambda: CoreBPE({}, [(LONG, "b"), ("a", "b", "c")]), "ValueError", 10_000),
    ("new-merge-half", lambda: CoreBPE(VOCAB, [(LONG, "b"), ("a", 3)]), "TypeError", 10_000),
    ("new-dict-changed", grow_during_conversion, "PanicException", 10_000),
    ("new-capacity-overflow", lambda: CoreBPE({}, Sized([], sys.maxsize)), "PanicException", 10_000),
    ("new-huge-length-hint", lambda: CoreBPE({}, Sized([(LONG, "m")], 2**50)), None, 10_000),
    ("encode", lambda: BPE.encode("kum" + MARKER + "x" * 100), None, 10_000),
    ("encode-not-str", lambda: BPE.encode(LongName()), "TypeError", 10_000),
    ("encode-surrogate", lambda: BPE.encode(LONG + "\ud800"), "UnicodeEncodeError", 10_000),
    ("encode-bad-self", lambda: CoreBPE.encode(LongName(), "k"), "TypeError", 10_000),
    ("decode", lambda: BPE.decode(MANY + [99, 0]), None, 30_000),
    ("decode-str", lambda: BPE.decode(LONG), "TypeError", 10_000),
    ("decode-overflow", lambda: BPE.decode(MANY + [2**32]), "OverflowError", 10_000),
    ("decode-index-raises", lambda: BPE.decode(MANY + [Index(raise_value_error)]), "ValueError", 10_000),
    ("decode-iteration-raises", lambda: BPE.decode(Midway()), "KeyError", 10_000),
    ("decode-reentrant", lambda: BPE.decode([Index(lambda: len(BPE.decode(MANY)))]), None, 10_000),
    ("decode-panic-resumed", reraise_panic, "PanicException", 1_000),
    ("reimport", reimport, None, 3_000),
    ("train", train, None, 1_000),
    ("train-corpus-type-error", lambda: train(corpus=LongName()), "TypeError", 10_000),
    ("train-negative-size", lambda: train(vocab_size=-1), "ValueError", 10_000),
    ("train-corpus-error", lambda: train(corpus=LONG + "\t\n"), "ValueError", 10_000),
    ("train-progress-raises", lambda: train(progress=lambda *_: raise_value_error()), "ValueError", 1_000),
    ("train-counts", lambda: train_counts(byte_fallback=True), None, 1_000),
    ("train-counts-key-error", lambda: train_counts({LONG: 1, 5: 1}), "TypeError", 10_000),
    ("train-counts-count-error", lambda: train_counts({LONG: 2**70}), "ValueError", 10_000),
    ("train-counts-surrogate", lambda: train_counts({LONG + "\ud800": 1}), "UnicodeEncodeError", 10_000),
    ("train-counts-empty", lambda: train_counts({}), "ValueError", 10_000),
]


@pytest.mark.parametrize(("call", "raises", "repetitions"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_resident_memory_stays_flat(call, raises, repetitions):
    assert_memory_stays_flat(call, raises, repetitions)

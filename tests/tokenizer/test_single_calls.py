"""Tokenizer.encode and decode run on the tokenizer's engine, one word on the
calling thread: the same ids, text and errors as CoreBPE and as the engine's
batch of one, whatever Python code the arguments run meanwhile."""

import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _morfex import CoreBPE
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER
from model_strategies import models, texts_for, token_ids
from morfex import Tokenizer
from protocol_objects import FailsMidway, Index, RaisingIndex, Sized
from reference_model import ReferenceBPE

KUMAIN = "k" + MARKER + "um" + MARKER + "ain"
KUMAIN_IDS = [5, 4, 11, 4, 13]


@pytest.fixture(scope="module")
def tok():
    return Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)


@pytest.fixture(scope="module")
def core():
    return CoreBPE(dict(EXAMPLE_VOCAB), list(EXAMPLE_MERGES))


@settings(deadline=None, max_examples=200)
@given(models(unique_ids=True), st.data())
def test_encode_and_decode_equal_core_reference_and_batch_of_one(model, data):
    alphabet, vocab, merges = model
    tok = Tokenizer(vocab, merges)
    core = CoreBPE(dict(vocab), list(merges))
    ref = ReferenceBPE(vocab, merges)
    texts = data.draw(st.lists(texts_for(alphabet, vocab, merges), min_size=1, max_size=8))
    for text in texts:
        ids = tok.encode(text)
        assert ids == core.encode(text) == ref.encode(text) == tok.encode_batch([text], threads=1)[0], text
    sequences = [tok.encode(text) for text in texts]
    sequences += data.draw(st.lists(st.lists(st.one_of(st.sampled_from(list(vocab.values()) or [0]), token_ids))))
    for ids in sequences:
        text = tok.decode(ids)
        assert text == core.decode(ids) == ref.decode(ids) == tok.decode_batch([ids], threads=1)[0], ids


# Other spellings of the special roles: the core knows none of them, the
# engine drops these ids in decoding and spells unknown characters as "?".
RENAMED = Tokenizer(
    EXAMPLE_VOCAB | {"?": 40, "[PAD]": 41, "[BOS]": 42},
    EXAMPLE_MERGES,
    special_tokens={"unk": "?", "pad": "[PAD]", "bos": "[BOS]"},
)


@pytest.mark.parametrize("word", [KUMAIN, "", "k", "xyz", "k\u00e9um", "\U0001F600ain", "um" * 300, "?" + MARKER])
def test_renamed_roles_encode_as_a_batch_of_one(word):
    assert RENAMED.encode(word) == RENAMED.encode_batch([word], threads=1)[0]


@pytest.mark.parametrize("ids", [KUMAIN_IDS, [40, 5, 41, 42, 1, 2], [], [2**32 - 1, 11], [40] * 100])
def test_renamed_roles_decode_as_a_batch_of_one(ids):
    assert RENAMED.decode(ids) == RENAMED.decode_batch([ids], threads=1)[0]


def raise_value_error():
    raise ValueError("from __index__")


# Hostile arguments: the tokenizer gives what CoreBPE gives, the same
# result or the same exception type and text. Its decode takes any iterable
# of ids, read as list() reads it, where CoreBPE takes a sequence. Each row
# makes its argument afresh, since an iterator serves one call.
HOSTILE = [
    ("encode-int", "encode", lambda: 5),
    ("encode-bytes", "encode", lambda: b"kum"),
    ("encode-none", "encode", lambda: None),
    ("encode-list", "encode", lambda: [KUMAIN]),
    ("encode-str-subclass", "encode", lambda: type("Word", (str,), {})(KUMAIN)),
    ("encode-lone-surrogate", "encode", lambda: "k\ud800um"),
    ("encode-lone-low-surrogate-long", "encode", lambda: "um" * 500 + "\udfff"),
    ("encode-nul", "encode", lambda: "k\0um"),
    ("decode-int", "decode", lambda: 5),
    ("decode-str", "decode", lambda: "kum"),
    ("decode-above-max", "decode", lambda: [5, 2**32]),
    ("decode-minus-one", "decode", lambda: [-1]),
    ("decode-beyond-long", "decode", lambda: [2**63]),
    ("decode-max", "decode", lambda: [2**32 - 1, 5]),
    ("decode-bool", "decode", lambda: [True, False, 5]),
    ("decode-float", "decode", lambda: [5, 1.0]),
    ("decode-str-item", "decode", lambda: [5, "4"]),
    ("decode-index-raises", "decode", lambda: [5, Index(raise_value_error)]),
    ("decode-index-returns-str", "decode", lambda: [Index("5")]),
    ("decode-tuple", "decode", lambda: (5, 4, 11)),
    ("decode-bytes", "decode", lambda: bytes([5, 11, 0])),
    ("decode-range", "decode", lambda: range(14)),
    ("decode-iteration-raises", "decode", lambda: FailsMidway([5, 11], LookupError("midway"))),
    ("decode-iteration-type-error", "decode", lambda: FailsMidway([5], TypeError("midway"))),
    ("decode-length-raises", "decode", lambda: Sized([5, 11], ValueError("no length"))),
    ("decode-length-lies", "decode", lambda: Sized([5, 11, 4, 13], 1)),
    ("decode-generator", "decode", lambda: (i for i in KUMAIN_IDS)),
    ("decode-map-raises", "decode", lambda: map(int, ["5", "4", "x"])),
    ("decode-dict-keys", "decode", lambda: dict.fromkeys(KUMAIN_IDS)),
    ("decode-set", "decode", lambda: {5}),
]


def outcome(call):
    try:
        return "returns", call()
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize(("method", "make"), [c[1:] for c in HOSTILE], ids=[c[0] for c in HOSTILE])
def test_hostile_arguments_give_what_core_gives(tok, core, method, make):
    if method == "encode":
        expected = outcome(lambda: core.encode(make()))
    else:
        expected = outcome(lambda: core.decode(list(make())))
    assert outcome(lambda: getattr(tok, method)(make())) == expected
    assert tok.encode(KUMAIN) == KUMAIN_IDS and tok.decode(KUMAIN_IDS) == "kumain"


@pytest.mark.parametrize("error", [KeyboardInterrupt("stop"), SystemExit(3), LookupError("own")])
def test_an_exception_from_index_passes_through_as_the_same_object(tok, error):
    with pytest.raises(BaseException) as info:
        tok.decode([5, RaisingIndex(lambda: error)])
    assert info.value is error


def test_the_engine_methods_are_positional_only(tok):
    with pytest.raises(TypeError):
        tok.encode(word=KUMAIN)
    with pytest.raises(TypeError):
        tok.decode(ids=KUMAIN_IDS)


# An id's __index__ may call the same tokenizer again, even drop it.
def decode_inside_decode(tok):
    return tok.decode([Index(lambda: len(tok.decode([5, 11])) + 8), 4, 13])


def encode_inside_decode(tok):
    return tok.decode([Index(lambda: tok.encode("um")[0]), 4, 13])


def decode_inside_decode_inside_decode(tok):
    return tok.decode([Index(lambda: tok.decode([Index(lambda: tok.encode("k")[0])]) and 11)])


def dropped_during_its_own_decode(_):
    holder = [Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)]
    return holder[0].decode([Index(lambda: holder.clear() or 5), 11])


def failing_decode_inside_decode(tok):
    def index():
        with pytest.raises(OverflowError):
            tok.decode([2**32])
        return 5

    return tok.decode([Index(index), 11])


REENTRANT = [
    ("decode-inside-decode", decode_inside_decode, "umain"),
    ("encode-inside-decode", encode_inside_decode, "umain"),
    ("three-deep", decode_inside_decode_inside_decode, "um"),
    ("dropped-during-decode", dropped_during_its_own_decode, "kum"),
    ("failing-decode-inside-decode", failing_decode_inside_decode, "kum"),
]


@pytest.mark.parametrize(("call", "expected"), [c[1:] for c in REENTRANT], ids=[c[0] for c in REENTRANT])
def test_reentrant_calls(tok, call, expected):
    assert call(tok) == expected
    assert tok.encode(KUMAIN) == KUMAIN_IDS and tok.decode(KUMAIN_IDS) == "kumain"


def test_one_tokenizer_shared_by_threads_that_switch_inside_decode(tok):
    words = [KUMAIN, "kum", "ain" + MARKER + "um", "k\u00e9", "\U0001F600um"]
    expected = {word: (tok.encode(word), tok.decode(tok.encode(word))) for word in words}
    failures = []

    def yielding(value):
        # Runs Python code while the id converts, where another thread may take over.
        return Index(lambda: threading.current_thread() and value)

    def worker(offset):
        for i in range(300):
            word = words[(i + offset) % len(words)]
            ids = tok.encode(word)
            text = tok.decode([yielding(v) for v in ids])
            if (ids, text) != expected[word]:
                failures.append((word, ids, text))

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(previous)
    assert failures == []

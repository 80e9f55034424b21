"""Pickling a Tokenizer: round trips, identical bytes for equal models, refused payloads, worker pools."""

import copy
import hashlib
import importlib.resources
import multiprocessing
import os
import pickle
import subprocess
import sys

import pytest

import _morfex
import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB
from morfex import Segmenter, Tokenizer
from morfex.formats.files import DEFAULT_MODEL
from morfex.tokenizer import _unpickle
from morfex.vocabulary import MARKER, byte_token

WORDS = ["k▁um▁ain", "kumain", "bc", "aab", "", "żółw", "kot▁ami", "Alę"]
TEXTS = ["Ala ma kota, a kot ma Alę.", "kumain  bc\naab", "", "żółw 123 k▁um▁ain ☃"]
SEGMENTED = {"kot▁ami": 3, "kot▁y": 2, "kot": 4, "um▁ain": 2, "ala": 2}


def split_in_half(word):
    """A callable segmenter that pickles by name: a marker in the middle of longer words."""
    half = len(word) // 2
    return word[:half] + MARKER + word[half:] if len(word) > 3 else word


def shipped():
    """A fresh copy of the shipped model: the shared one may carry another test's cache size."""
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / DEFAULT_MODEL) as path:
        return morfex.load(path)


def byte_model(**options):
    vocab = {**EXAMPLE_VOCAB, **{byte_token(value): 100 + value for value in range(256)}}
    return Tokenizer(vocab, EXAMPLE_MERGES, byte_fallback=True, **options)


MODELS = {
    "shipped": shipped,
    "example": lambda: Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES),
    "sparse ids": lambda: Tokenizer({token: 3 * token_id + 7 for token, token_id in EXAMPLE_VOCAB.items()}, EXAMPLE_MERGES),
    "no merges": lambda: Tokenizer({"<unk>": 0}, []),
    "byte fallback": byte_model,
    "segmenter": lambda: byte_model(segmenter=Segmenter.from_counts(SEGMENTED)),
    "callable segmenter": lambda: Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES, segmenter=split_in_half),
}


def behaviour(tokenizer):
    return (
        [tokenizer.encode(word) for word in WORDS],
        [tokenizer.encode_text(text, offsets=True) for text in TEXTS],
        [tokenizer.encode_text(text, markers=False) for text in TEXTS],
        tokenizer.encode_text_batch(TEXTS, threads=2),
        tokenizer.decode_text(tokenizer.encode_text(TEXTS[0])),
        tokenizer.byte_fallback,
        tokenizer.segmenter,
        tokenizer.cache_size,
    )


@pytest.mark.parametrize("protocol", [2, pickle.DEFAULT_PROTOCOL, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", MODELS)
def test_a_pickled_tokenizer_loads_to_one_that_behaves_the_same(name, protocol):
    original = MODELS[name]()
    loaded = pickle.loads(pickle.dumps(original, protocol=protocol))
    assert type(loaded) is Tokenizer
    assert loaded == original
    assert loaded.vocab == original.vocab and loaded.merges == original.merges
    assert behaviour(loaded) == behaviour(original)


def test_the_native_model_alone_still_does_not_pickle():
    with pytest.raises(TypeError, match=r"^cannot pickle 'builtins.CoreBPE' object$"):
        pickle.dumps(_morfex.CoreBPE(EXAMPLE_VOCAB, EXAMPLE_MERGES))


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy])
def test_copies_go_through_the_same_state(clone):
    original = MODELS["segmenter"]()
    original.cache_size = 5
    copied = clone(original)
    assert copied is not original and copied == original and copied.cache_size == 5
    assert behaviour(copied) == behaviour(original)


def rebuilt(tokenizer):
    """An equal tokenizer of fresh string objects, its vocabulary in reverse insertion order."""
    fresh = "".join
    vocab = {fresh(list(token)): token_id for token, token_id in reversed(list(tokenizer.vocab.items()))}
    merges = [(fresh(list(left)), fresh(list(right))) for left, right in tokenizer.merges]
    segmenter = tokenizer.segmenter
    if isinstance(segmenter, Segmenter):
        segmenter = Segmenter.from_state(segmenter.to_state())
    return Tokenizer(vocab, merges, byte_fallback=tokenizer.byte_fallback, segmenter=segmenter)


@pytest.mark.parametrize("name", MODELS)
def test_equal_tokenizers_pickle_to_the_same_bytes_whatever_their_history(name):
    fresh = MODELS[name]()
    expected = pickle.dumps(fresh)
    used = rebuilt(fresh)
    used.encode_batch(WORDS * 3, threads=2)
    used.encode_text_batch(TEXTS * 3, threads=2)
    assert used == fresh
    assert pickle.dumps(used) == expected
    # Loading and pickling again is a fixed point.
    assert pickle.dumps(pickle.loads(expected)) == expected


# Digests of the pickles of two models, printed by a fresh interpreter.
DIGESTS = """
import hashlib, pickle, morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB
for model in (morfex.default_model(), morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)):
    print(hashlib.sha256(pickle.dumps(model)).hexdigest())
"""


def test_fresh_interpreters_pickle_the_same_bytes():
    here = [hashlib.sha256(pickle.dumps(model)).hexdigest() for model in (shipped(), MODELS["example"]())]
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for seed in ("1", "2"):
        environment = {**os.environ, "PYTHONHASHSEED": seed, "PYTHONPATH": tests}
        result = subprocess.run([sys.executable, "-c", DIGESTS], env=environment, capture_output=True, text=True,
                                timeout=60, check=True)
        assert result.stdout.split() == here


def test_equality_is_of_the_model_and_its_segmenter():
    base = MODELS["example"]()
    assert base == Tokenizer(dict(reversed(EXAMPLE_VOCAB.items())), EXAMPLE_MERGES)
    resized = Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    resized.cache_size = 1
    assert base == resized
    different = [
        Tokenizer({**EXAMPLE_VOCAB, "aa": 99}, EXAMPLE_MERGES),
        Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES[::-1]),
        Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES, segmenter=split_in_half),
        Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES, segmenter=Segmenter.from_counts(SEGMENTED)),
    ]
    assert all(base != other for other in different)
    assert byte_model() != Tokenizer(byte_model().vocab, EXAMPLE_MERGES)
    assert base.__eq__(EXAMPLE_VOCAB) is NotImplemented
    with pytest.raises(TypeError, match="unhashable type: 'Tokenizer'"):
        hash(base)


def unpicklable(word):
    return word


unpicklable.__qualname__ = "nowhere"


def test_a_segmenter_that_cannot_be_pickled_fails_as_pickling_it_alone_does():
    tokenizer = Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES, segmenter=unpicklable)
    with pytest.raises(pickle.PicklingError) as alone:
        pickle.dumps(unpicklable)
    with pytest.raises(pickle.PicklingError) as within:
        pickle.dumps(tokenizer)
    assert str(within.value) == str(alone.value)


class Payload:
    """Pickles as a tokenizer whose state is `state`, as a tampered or foreign pickle would."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return _unpickle, (self.state,)


def tampered(**changes):
    state = dict(MODELS["example"]().__reduce__()[1][0])
    state.update(changes)
    return {key: value for key, value in state.items() if value is not DROP}


DROP = object()
TOKENS = list(EXAMPLE_VOCAB)
SEGMENTER_STATE = Segmenter.from_counts(SEGMENTED).to_state()

MALFORMED = [
    ("a list", ["version", 1], "must be a dict, not list"),
    ("a segmenter's state", SEGMENTER_STATE, "no 'version'"),
    ("no version", tampered(version=DROP), "no 'version'"),
    ("a later version", tampered(version=2), "unknown version 2 (this morfex reads 1)"),
    ("a bool version", tampered(version=True), "unknown version True (this morfex reads 1)"),
    ("no merges", tampered(merges=DROP), "no 'merges'"),
    ("an extra key", tampered(vocab={}), "unknown key 'vocab'"),
    ("tokens as a tuple", tampered(tokens=tuple(TOKENS)), "'tokens' must be a list of str, not tuple"),
    ("a token of bytes", tampered(tokens=[*TOKENS[:3], b"x", *TOKENS[4:]]), "'tokens'[3] must be a str, not bytes"),
    ("a token twice", tampered(tokens=[*TOKENS[:5], "a", *TOKENS[6:]]), "'tokens' holds 'a' twice"),
    ("ids too few", tampered(ids=[0, 1]), f"'ids' holds 2 ids for {len(TOKENS)} tokens"),
    ("a bool id", tampered(ids=[False, *range(1, len(TOKENS))]), "'ids'[0] must be an int, not bool"),
    ("ids falling", tampered(ids=[0, 2, 1, *range(3, len(TOKENS))]), "'ids'[2] is 1: ids must rise from 0 to 4294967295"),
    ("an id too large", tampered(ids=[*range(len(TOKENS) - 1), 2**32]),
     "'ids'[17] is 4294967296: ids must rise from 0 to 4294967295"),
    ("merges as pairs", tampered(merges=[list(pair) for pair in EXAMPLE_MERGES]), "'merges'[0] must be a str, not list"),
    ("half a merge", tampered(merges=["u", "m", "a"]), "'merges' holds 3 strings, not pairs"),
    ("byte fallback as an int", tampered(byte_fallback=1), "'byte_fallback' must be a bool, not int"),
    ("byte fallback without byte tokens", tampered(byte_fallback=True),
     "byte fallback needs all 256 byte tokens, but the vocabulary lacks '<0x00>'"),
    ("a segmenter of another type", tampered(segmenter={**SEGMENTER_STATE, "type": "crf"}),
     "'segmenter': segmenter state type must be 'morfessor-baseline', got 'crf'"),
    ("a segmenter that is a number", tampered(segmenter=5),
     "'segmenter' must be None, a segmenter state or a callable, not int"),
    ("a negative cache size", tampered(cache_size=-1), "'cache_size': cache_size must be from 0 to 67108864, got -1"),
    ("a surrogate token", tampered(tokens=[*TOKENS[:5], "\ud800", *TOKENS[6:]]),
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
]


@pytest.mark.parametrize(("state", "message"), [row[1:] for row in MALFORMED], ids=[row[0] for row in MALFORMED])
def test_a_malformed_state_is_refused_with_what_is_wrong(state, message):
    with pytest.raises(pickle.UnpicklingError) as caught:
        pickle.loads(pickle.dumps(Payload(state)))
    assert str(caught.value) == f"morfex.Tokenizer state: {message}"


LINES = [*TEXTS, "Kot ma Alę.", "Psy i koty ☃ mają domy.", "ąęśćż" * 20] * 4


# Under pytest-xdist the test process runs threads of its own; the children
# only unpickle and encode, and the timeout turns a hang into a failure.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_a_worker_pool_encodes_as_a_local_loop(method):
    tokenizer = morfex.default_model()
    expected = [tokenizer.encode_text(line) for line in LINES]
    with multiprocessing.get_context(method).Pool(2) as pool:
        # The bound method pickles the tokenizer, once a chunk.
        result = pool.map_async(tokenizer.encode_text, LINES, chunksize=len(LINES) // 2).get(timeout=60)
    assert result == expected


def test_the_shipped_model_pickles_to_half_its_file():
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / DEFAULT_MODEL) as path:
        file_size = path.stat().st_size
    size = len(pickle.dumps(morfex.default_model()))
    # 1,082 kB against the file's 1,954 kB, most of either the segmenter's morphs.
    assert size < file_size * 0.6


def test_a_segmenter_pickles_on_its_own_to_the_same_bytes_for_equal_models():
    segmenter = Segmenter.from_counts(SEGMENTED)
    loaded = pickle.loads(pickle.dumps(segmenter))
    assert type(loaded) is Segmenter and loaded == segmenter
    assert loaded.segment_batch(WORDS) == segmenter.segment_batch(WORDS)
    segmenter.segment_batch(WORDS * 100, threads=2)
    assert pickle.dumps(segmenter) == pickle.dumps(Segmenter.from_counts(SEGMENTED)) == pickle.dumps(loaded)


class SegmenterPayload:
    """Unpickles as the segmenter's own reducer with any state."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        from morfex.segmenter import _unpickle as unpickle_segmenter

        return unpickle_segmenter, (self.state,)


@pytest.mark.parametrize(
    ("state", "message"),
    [
        ([1], "segmenter state must be a dict, not list"),
        ({**SEGMENTER_STATE, "type": "crf"}, "segmenter state type must be 'morfessor-baseline', got 'crf'"),
        ({"type": "morfessor-baseline"}, "segmenter state must have the keys 'morphs', 'type' and 'words' (and optionally 'corpus_weight'), "
         "got ['type']"),
    ],
    ids=["a list", "another type", "missing keys"],
)
def test_a_malformed_segmenter_state_is_refused_with_what_is_wrong(state, message):
    with pytest.raises(pickle.UnpicklingError) as caught:
        pickle.loads(pickle.dumps(SegmenterPayload(state)))
    assert str(caught.value) == message

"""The batch engine against the per-word methods: every result, every message."""

import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morfex
import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER
from morfex._engine import Engine
from protocol_objects import Index
from reference_model import ReferenceBPE
from model_strategies import models, texts_for

THREADS = [1, 2, 3, 8]


def engine(vocab=EXAMPLE_VOCAB, merges=EXAMPLE_MERGES, cache_size=1024):
    return Engine(dict(vocab), list(merges), cache_size)


def flat_words(ids, offsets):
    return [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]


@settings(deadline=None, max_examples=120)
@given(models(), st.data(), st.sampled_from(THREADS), st.sampled_from([0, 4]))
def test_batches_equal_per_word_calls_on_random_models(model, data, threads, cache_size):
    alphabet, vocab, merges = model
    bpe = _morfex.CoreBPE(dict(vocab), list(merges))
    ref = ReferenceBPE(vocab, merges)
    eng = engine(vocab, merges, cache_size)
    words = data.draw(st.lists(texts_for(alphabet, vocab, merges), max_size=30))
    # Repeats, so that cached words come back.
    words = words + words[::-1]
    expected = [bpe.encode(w) for w in words]
    assert expected == [ref.encode(w) for w in words]
    assert eng.encode_lists(words, threads) == expected
    ids, offsets = (np.frombuffer(b, dtype=t) for b, t in zip(eng.encode_flat(words, threads), ("u4", "i8")))
    assert flat_words(ids, offsets) == expected
    assert eng.decode_lists(expected, threads) == [bpe.decode(e) for e in expected]
    assert eng.decode_flat(ids, offsets, threads) == [bpe.decode(e) for e in expected]


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("cache_size", [0, 64, 1 << 15])
def test_many_words_of_the_shipped_model_at_every_thread_count(threads, cache_size):
    tok = morfex.default_model()
    tok.cache_size = cache_size
    vocab = [t for t in tok.vocab if t not in morfex.SPECIAL_TOKENS]
    rng = np.random.default_rng(5)
    words = [
        MARKER.join(vocab[i] for i in rng.integers(0, len(vocab), size=n)) for n in rng.integers(0, 5, size=20000)
    ]
    words += ["\U0001F600" + w for w in words[:500]] + ["x" * 3000, ""]
    expected = [tok.encode(w) for w in words]
    assert tok.encode_batch(words, threads=threads) == expected
    ids, offsets = tok.encode_flat(words, threads=threads)
    assert offsets[0] == 0 and offsets[-1] == len(ids) and len(offsets) == len(words) + 1
    assert flat_words(ids, offsets) == expected
    texts = [tok.decode(e) for e in expected]
    assert tok.decode_batch(expected, threads=threads) == texts
    assert tok.decode_flat(ids, offsets, threads=threads) == texts


def test_flat_results_own_writable_memory():
    tok = morfex.default_model()
    ids, offsets = tok.encode_flat(["kot\u2581ami"] * 3)
    assert ids.dtype == np.uint32 and offsets.dtype == np.int64
    assert ids.flags.writeable and ids.flags.c_contiguous
    assert type(ids.base).__name__ == "OwnedBuffer"
    ids[0] = 7
    assert ids[0] == 7
    empty_ids, empty_offsets = tok.encode_flat([])
    assert empty_ids.tolist() == [] and empty_offsets.tolist() == [0]


class Text(str):
    pass


class Other(str):
    def __str__(self):
        return "never read"


INPUTS = [
    pytest.param(lambda words: words, id="list"),
    pytest.param(tuple, id="tuple"),
    pytest.param(lambda words: (w for w in words), id="generator"),
    pytest.param(lambda words: [Text(w) if i % 2 else Other(w) for i, w in enumerate(words)], id="str subclasses"),
    pytest.param(lambda words: dict.fromkeys(words).keys(), id="dict keys"),
]


@pytest.mark.parametrize("make", INPUTS)
def test_any_iterable_of_str_is_accepted(make):
    tok = morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    words = ["k\u2581um\u2581ain", "aab", "", "bc\u2581kum", "\u00e9"]
    expected = [tok.encode(w) for w in words]
    assert tok.encode_batch(make(words)) == expected
    assert flat_words(*tok.encode_flat(make(words))) == expected


def per_word_error(call, item):
    with pytest.raises(BaseException) as caught:
        call(item)
    return caught


BAD_WORDS = [5, None, b"kum", 2.5, ["k"], Index(3)]


@pytest.mark.parametrize("bad", BAD_WORDS + ["ok\ud800", "\U0001F600\udfff"])
@pytest.mark.parametrize("position", [0, 3, 9999])
def test_a_bad_word_raises_what_encode_raises_with_its_index(bad, position):
    tok = morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    expected = per_word_error(tok.encode, bad)
    words = ["kum"] * 10000
    words[position] = bad
    for method in (tok.encode_batch, tok.encode_flat):
        with pytest.raises(expected.type) as caught:
            method(words, threads=2)
        if expected.type is UnicodeEncodeError:
            assert caught.value.reason == f"item {position}: {expected.value.reason}"
            assert caught.value.object == expected.value.object
        else:
            assert str(caught.value) == f"item {position}: {expected.value}"


def test_the_first_bad_word_wins_whatever_kind_it_is():
    tok = morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    words = ["kum"] * 300000
    words[150000] = "a\ud800"
    words[150001] = 7
    with pytest.raises(UnicodeEncodeError, match="item 150000: "):
        tok.encode_flat(words, threads=2)
    words[200] = 7
    with pytest.raises(TypeError, match="^item 200: "):
        tok.encode_flat(words, threads=2)


BAD_IDS = [[1, "x"], [-1], [2**32], "abc", 5, [Index(-2)], [1.5]]


@pytest.mark.parametrize("bad", BAD_IDS)
@pytest.mark.parametrize("position", [0, 4])
def test_a_bad_id_sequence_raises_what_decode_raises_with_its_index(bad, position):
    bpe = _morfex.CoreBPE(dict(EXAMPLE_VOCAB), list(EXAMPLE_MERGES))
    expected = per_word_error(bpe.decode, bad)
    tok = morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    batch = [[5, 6]] * 5
    batch[position] = bad
    with pytest.raises(expected.type) as caught:
        tok.decode_batch(batch, threads=2)
    assert str(caught.value) == f"item {position}: {expected.value}"


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda t: t.encode_batch("kum"), TypeError, "argument 'words' must be an iterable of str, not a single 'str'"),
        (lambda t: t.encode_flat(5), TypeError, "argument 'words' must be an iterable of str, not 'int'"),
        (lambda t: t.decode_batch(b"ab"), TypeError, "argument 'batch' must be an iterable of id sequences"),
        (lambda t: t.encode_batch([], threads=0), ValueError, "threads must be from 1 to 1024, got 0"),
        (lambda t: t.encode_flat([], threads=2.0), TypeError, "threads must be an int or None, not float"),
        (lambda t: t.decode_batch([], threads=True), TypeError, "threads must be an int or None, not bool"),
        (lambda t: t.decode_flat([1], [0, 2]), ValueError, r"offsets\[1\] = 2 is past the end of ids \(1 ids\)"),
        (lambda t: t.decode_flat([1, 2], [0, 2, 1]), ValueError, r"offsets\[2\] = 1 is below offsets\[1\] = 2"),
        (lambda t: t.decode_flat([1], [-1, 0]), ValueError, r"offsets\[0\] = -1 is negative"),
        (lambda t: t.decode_flat([1], []), ValueError, "offsets must hold at least one value"),
        (lambda t: t.decode_flat([-1], [0, 1]), OverflowError, "ids must be from 0 to 4294967295, got -1"),
        (lambda t: t.decode_flat([0.5], [0, 1]), TypeError, "ids must be an array of integers, not of float64"),
    ],
)
def test_bad_arguments_name_the_parameter(call, error, message):
    with pytest.raises(error, match=message):
        call(morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES))


@pytest.mark.parametrize(
    ("setting", "message"),
    [("0", "must be from 1 to 1024, got '0'"), ("two", "must be a whole number, got 'two'"), ("-3", "must be from 1 to 1024, got '-3'")],
)
def test_a_bad_thread_setting_names_the_variable(monkeypatch, setting, message):
    monkeypatch.setenv("MORFEX_NUM_THREADS", setting)
    with pytest.raises(ValueError, match="MORFEX_NUM_THREADS " + message):
        morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES).encode_batch(["kum"])


def test_threads_default_to_the_setting_then_the_usable_processors(monkeypatch):
    from morfex.engine import resolve_threads

    monkeypatch.delenv("MORFEX_NUM_THREADS", raising=False)
    assert resolve_threads(None) == len(os.sched_getaffinity(0))
    monkeypatch.setenv("MORFEX_NUM_THREADS", " 3 ")
    assert resolve_threads(None) == 3
    assert resolve_threads(5) == 5


@pytest.mark.parametrize(("size", "error"), [(-1, ValueError), (1 << 27, ValueError), ("big", TypeError)])
def test_bad_cache_sizes_are_refused(size, error):
    tok = morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
    with pytest.raises(error, match="cache_size must be"):
        tok.cache_size = size
    assert tok.cache_size == morfex.engine.DEFAULT_CACHE_SIZE


def test_changing_the_cache_size_never_changes_a_result():
    tok = morfex.default_model()
    words = ["kot\u2581ami", "dom", "kot\u2581ami"] * 5000
    expected = tok.encode_batch(words, threads=1)
    for size in (0, 1, 2, 1 << 15):
        tok.cache_size = size
        assert tok.cache_size == size
        assert tok.encode_batch(words, threads=2) == expected

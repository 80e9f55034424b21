"""BPE-dropout in the batch encoders: draw for draw equal to a plain
reference with the same random stream, exact at rate 0, the same on any
thread count and block split, and never merging across a morpheme boundary.
Memory and reference counts: tests/test_engine_leaks.py."""

import math
import random

import pytest

import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER
from morfex import engine
from morfex._engine import Engine, split_text
from reference_model import ReferenceBPE, sequence_stream

EXAMPLE = morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)
SHIPPED = morfex.default_model()
# Block size of the native batch loop: sequences past it are in a later block.
BLOCK = 1 << 16


def shipped_words(count, seed):
    """Words of one to four morphemes, each morpheme one to three letter tokens of the shipped model."""
    pieces = [t for t in SHIPPED.vocab if t.isalpha() and MARKER not in t and len(t) <= 4]
    rng = random.Random(seed)
    return [
        MARKER.join("".join(rng.choices(pieces, k=rng.randint(1, 3))) for _ in range(rng.randint(1, 4)))
        for _ in range(count)
    ]


def example_words(count, seed):
    rng = random.Random(seed)
    return ["".join(rng.choices("kumainbc" + MARKER, k=rng.randint(0, 12))) for _ in range(count)]


def reference_batch(tokenizer, words, rate, seed, first=0):
    reference = ReferenceBPE(tokenizer.vocab, tokenizer.merges)
    return [reference.encode_dropout(w, rate, sequence_stream(seed, first + i)) for i, w in enumerate(words)]


@pytest.mark.parametrize("rate", [0.1, 0.5, 0.9, 1.0])
@pytest.mark.parametrize(
    ("tokenizer", "words"),
    [(EXAMPLE, example_words(300, 1)), (SHIPPED, shipped_words(300, 2))],
    ids=["example", "shipped"],
)
def test_words_equal_the_reference_draw_for_draw(tokenizer, words, rate):
    expected = reference_batch(tokenizer, words, rate, 2024)
    assert tokenizer.encode_batch(words, dropout=rate, seed=2024, threads=1) == expected
    ids, offsets = tokenizer.encode_flat(words, dropout=rate, seed=2024, threads=1)
    assert [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(words))] == expected


def test_texts_draw_piece_after_piece_from_one_stream():
    # Without a segmenter each piece is encoded on its own, in text order.
    texts = ["Ala ma kota, a kot ma Alę.", "przedszkolakami 12 razy", "", "   ", "k\u00e9t  ab,c"] * 20
    reference = ReferenceBPE(SHIPPED.vocab, SHIPPED.merges)
    expected = []
    for i, text in enumerate(texts):
        stream = sequence_stream(99, i)
        expected.append([t for s, e, _ in split_text(text) for t in reference.encode_dropout(text[s:e], 0.3, stream)])
    plain = morfex.Tokenizer(SHIPPED.vocab, SHIPPED.merges)
    assert plain.encode_text_batch(texts, dropout=0.3, seed=99, threads=1) == expected
    ids, offsets = plain.encode_text_flat(texts, dropout=0.3, seed=99, threads=2)
    assert [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(texts))] == expected


CALLS = {
    "encode_batch": lambda tok, items, **kw: tok.encode_batch(items, **kw),
    "encode_flat": lambda tok, items, **kw: [a.tolist() for a in tok.encode_flat(items, **kw)],
    "encode_text_batch": lambda tok, items, **kw: tok.encode_text_batch(items, **kw),
    "encode_text_flat": lambda tok, items, **kw: [a.tolist() for a in tok.encode_text_flat(items, **kw)],
    "encode_padded": lambda tok, items, **kw: [a.tolist() for a in tok.encode_padded(items, **kw)],
    "encode_text_padded": lambda tok, items, **kw: [a.tolist() for a in tok.encode_text_padded(items, **kw)],
}
TEXTS = ["Ala ma kota, a kot ma Alę.", "przedszkolakami", "kot▁ami i psy"] * 2000


@pytest.mark.parametrize("name", list(CALLS))
def test_rate_zero_is_exact_whatever_the_seed(name):
    call = CALLS[name]
    items = TEXTS[:600] if "text" in name else shipped_words(600, 3)
    exact = call(SHIPPED, items, threads=2)
    assert call(SHIPPED, items, threads=2, dropout=0.0, seed=5) == exact
    assert call(SHIPPED, items, threads=1, dropout=0, seed=None) == exact


@pytest.mark.parametrize("name", list(CALLS))
def test_same_on_any_thread_count_same_seed_same_result(name):
    call = CALLS[name]
    # Enough for the engine to spread the work over chunks and threads.
    items = TEXTS if "text" in name else shipped_words(6000, 4)
    one = call(SHIPPED, items, threads=1, dropout=0.2, seed=7)
    assert call(SHIPPED, items, threads=2, dropout=0.2, seed=7) == one
    assert call(SHIPPED, items, threads=2, dropout=0.2, seed=8) != one
    assert call(SHIPPED, items, threads=2, dropout=0.2, seed=None) != call(SHIPPED, items, dropout=0.2, seed=None)


def test_framing_cuts_and_pads_the_sampled_ids():
    words = shipped_words(2000, 6)
    sampled = SHIPPED.encode_batch(words, dropout=0.4, seed=3)
    bos, eos = SHIPPED.token_to_id("<s>"), SHIPPED.token_to_id("</s>")
    framed = [[bos, *ids[:4], eos] for ids in sampled]
    assert SHIPPED.encode_batch(words, dropout=0.4, seed=3, bos=True, eos=True, max_length=6, threads=2) == framed
    matrix, mask = SHIPPED.encode_padded(words, dropout=0.4, seed=3, bos=True, eos=True, max_length=6)
    assert morfex.unpad(matrix, mask)[0].tolist() == [token for ids in framed for token in ids]


def test_sequences_past_the_first_block_draw_by_their_index_in_the_batch():
    words = example_words(BLOCK + 40, 5)
    got = EXAMPLE.encode_batch(words, dropout=0.5, seed=2**64 - 1, threads=2)
    window = slice(BLOCK - 20, BLOCK + 20)
    assert got[window] == reference_batch(EXAMPLE, words[window], 0.5, 2**64 - 1, first=BLOCK - 20)
    assert got[:20] == reference_batch(EXAMPLE, words[:20], 0.5, 2**64 - 1)


@pytest.mark.parametrize("rate", [0.1, 0.5])
def test_share_of_skipped_merges_is_the_rate(rate):
    # "um" has one pair with a rank, so each word is one merge taken or skipped.
    count = 40_000
    ids = EXAMPLE.encode_batch(["um"] * count, dropout=rate, seed=31, threads=2)
    skipped = sum(1 for word in ids if word == [6, 7]) / count
    assert all(word in ([6, 7], [11]) for word in ids)
    assert abs(skipped - rate) < 4 * math.sqrt(rate * (1 - rate) / count)


def test_no_token_spans_a_boundary_and_words_decode_back():
    words = shipped_words(3000, 6)
    for word, ids in zip(words, SHIPPED.encode_batch(words, dropout=0.5, seed=11, threads=2)):
        tokens = [SHIPPED.id_to_token(i) for i in ids]
        assert "".join(tokens) == word
        assert all(token == MARKER or MARKER not in token for token in tokens), tokens


def test_a_repeated_word_is_sampled_afresh_each_time():
    # The word cache would repeat one sample; it is not asked under dropout.
    tok = morfex.Tokenizer(SHIPPED.vocab, SHIPPED.merges)
    tok.cache_size = 1 << 12
    samples = tok.encode_batch(["przedszkolakami"] * 5000, dropout=0.3, seed=1, threads=1)
    assert len({tuple(s) for s in samples[-1000:]}) > 20
    segmented = SHIPPED.encode_text_batch(["przedszkolakami " * 3] * 2000, dropout=0.3, seed=1, threads=1)
    assert len({tuple(s) for s in segmented[-500:]}) > 20


MESSAGES = [
    ("x", 0, TypeError, "dropout must be a float, not str"),
    (True, 0, TypeError, "dropout must be a float, not bool"),
    (None, 0, TypeError, "dropout must be a float, not NoneType"),
    (float("nan"), 0, ValueError, "dropout must be from 0 to 1, got nan"),
    (-0.5, 0, ValueError, "dropout must be from 0 to 1, got -0.5"),
    (1.0000001, 0, ValueError, "dropout must be from 0 to 1, got 1.0000001"),
    (float("inf"), 0, ValueError, "dropout must be from 0 to 1, got inf"),
    (2, 0, ValueError, "dropout must be from 0 to 1, got 2"),
    (0.5, 1.0, TypeError, "seed must be an int or None, not float"),
    (0.5, True, TypeError, "seed must be an int or None, not bool"),
    (0.5, "1", TypeError, "seed must be an int or None, not str"),
    (0.5, -1, ValueError, "seed must be from 0 to 18446744073709551615, got -1"),
    (0.5, 2**64, ValueError, "seed must be from 0 to 18446744073709551615, got 18446744073709551616"),
]


@pytest.mark.parametrize(("dropout", "seed", "error", "message"), MESSAGES)
@pytest.mark.parametrize("name", list(CALLS))
def test_bad_settings_raise_exact_messages(name, dropout, seed, error, message):
    with pytest.raises(error) as raised:
        CALLS[name](EXAMPLE, ["um"], dropout=dropout, seed=seed)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("dropout", "seed", "expected"),
    [(0, 3, (0.0, 3)), (1, 0, (1.0, 0)), (0.25, 2**64 - 1, (0.25, 2**64 - 1))],
)
def test_resolve_dropout_accepts_boundary_values(dropout, seed, expected):
    resolved = engine.resolve_dropout(dropout, seed)
    assert resolved == expected and type(resolved[0]) is float


def test_resolve_dropout_draws_a_64_bit_seed_for_none():
    seeds = {engine.resolve_dropout(0.1, None)[1] for _ in range(64)}
    assert len(seeds) == 64 and all(0 <= s < 2**64 for s in seeds)
    assert max(seeds) >= 2**60


NATIVE = Engine(EXAMPLE_VOCAB, EXAMPLE_MERGES, 16)
NATIVE_MESSAGES = [
    ("x", 0, TypeError, "argument 'dropout': 'str' object cannot be converted to 'float'"),
    (1, 0, TypeError, "argument 'dropout': 'int' object cannot be converted to 'float'"),
    (float("nan"), 0, ValueError, "dropout must be from 0 to 1, got nan"),
    (0.5, 1.0, TypeError, "argument 'seed': 'float' object cannot be converted to 'int'"),
    (0.5, -1, ValueError, "seed must be from 0 to 18446744073709551615, got -1"),
    (0.5, 2**64, ValueError, "seed must be from 0 to 18446744073709551615, got 18446744073709551616"),
]
NATIVE_CALLS = {
    "encode_lists": lambda rate, seed: NATIVE.encode_lists(["um"], 1, rate, seed),
    "encode_flat": lambda rate, seed: NATIVE.encode_flat(["um"], 1, dropout=rate, seed=seed),
    "encode_text_lists": lambda rate, seed: NATIVE.encode_text_lists(["um"], 1, True, None, rate, seed),
    "encode_text_flat": lambda rate, seed: NATIVE.encode_text_flat(["um"], 1, True, None, seed=seed, dropout=rate),
}


@pytest.mark.parametrize(("dropout", "seed", "error", "message"), NATIVE_MESSAGES)
@pytest.mark.parametrize("name", list(NATIVE_CALLS))
def test_engine_checks_its_dropout_arguments(name, dropout, seed, error, message):
    with pytest.raises(error) as raised:
        NATIVE_CALLS[name](dropout, seed)
    assert str(raised.value) == message


def test_engine_defaults_to_exact_encoding():
    assert NATIVE.encode_lists(["kum", "aaaa"], 1) == [[5, 11], [17, 17]]
    assert NATIVE.encode_lists(["kum", "aaaa"], 1, 1.0) == [[5, 6, 7], [8, 8, 8, 8]]

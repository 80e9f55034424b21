"""The bounds and spellings the native modules export are the ones they act on.

Each bound is taken at its value and one past it, through the native call that
checks it, so a constant that drifts from its check fails here.
"""

import pytest

import _morfex
from morfex import _engine, _trainer

VOCAB = {"a": 5, "b": 6, "ab": 7}
MERGES = [("a", "b")]
ENGINE = _engine.Engine(VOCAB, MERGES, 0)
SEGMENTER_WORDS = [("ab", 2)]


def train_segmenter(seed):
    return _trainer.train_segmenter(SEGMENTER_WORDS, [], "none", 1.0, None, seed, 1, 0.005, None)


def train_counts(vocab_size=300, min_frequency=1, alphabet_limit=0, units=None):
    return _trainer.train_counts(units or {"ab": 2}, vocab_size, min_frequency, alphabet_limit, False, None)


# (name, call at the bound, call past it, the error past it)
BOUNDS = [
    (
        "threads",
        lambda: ENGINE.decode_lists([[7]], _engine.MAX_THREADS),
        lambda: ENGINE.decode_lists([[7]], _engine.MAX_THREADS + 1),
        (ValueError, "threads must be from 1 to 1024, got 1025"),
    ),
    (
        "Engine cache_size",
        lambda: _engine.Engine(VOCAB, MERGES, _engine.MAX_CACHE_SIZE),
        lambda: _engine.Engine(VOCAB, MERGES, _engine.MAX_CACHE_SIZE + 1),
        (ValueError, "cache_size must be from 0 to 67108864, got 67108865"),
    ),
    (
        "cache_size attribute",
        lambda: setattr(_engine.Engine(VOCAB, MERGES, 0), "cache_size", _engine.MAX_CACHE_SIZE),
        lambda: setattr(_engine.Engine(VOCAB, MERGES, 0), "cache_size", _engine.MAX_CACHE_SIZE + 1),
        (ValueError, "cache_size must be from 0 to 67108864, got 67108865"),
    ),
    (
        "dropout seed",
        lambda: ENGINE.encode_lists(["ab"], 1, 0.5, _engine.MAX_SEED),
        lambda: ENGINE.encode_lists(["ab"], 1, 0.5, _engine.MAX_SEED + 1),
        (ValueError, "seed must be from 0 to 18446744073709551615, got 18446744073709551616"),
    ),
    (
        "engine id",
        lambda: ENGINE.decode_lists([[_engine.MAX_ID]], 1),
        lambda: ENGINE.decode_lists([[_engine.MAX_ID + 1]], 1),
        (OverflowError, "item 0: out of range integral type conversion attempted"),
    ),
    (
        "CoreBPE id",
        lambda: _morfex.CoreBPE(VOCAB, MERGES).decode([_engine.MAX_ID]),
        lambda: _morfex.CoreBPE(VOCAB, MERGES).decode([_engine.MAX_ID + 1]),
        (OverflowError, "out of range integral type conversion attempted"),
    ),
    (
        "vocab_size",
        lambda: train_counts(vocab_size=_trainer.MAX_VOCAB_SIZE),
        lambda: train_counts(vocab_size=_trainer.MAX_VOCAB_SIZE + 1),
        (ValueError, "vocab_size must be from 0 to 4294967296, got 4294967297"),
    ),
    (
        "min_frequency",
        lambda: train_counts(min_frequency=_trainer.MAX_COUNT),
        lambda: train_counts(min_frequency=_trainer.MAX_COUNT + 1),
        (ValueError, "min_frequency must be from 1 to 9223372036854775807, got 9223372036854775808"),
    ),
    (
        "alphabet_limit",
        lambda: train_counts(alphabet_limit=_trainer.MAX_COUNT),
        lambda: train_counts(alphabet_limit=_trainer.MAX_COUNT + 1),
        (ValueError, "alphabet_limit must be from 0 to 9223372036854775807, got 9223372036854775808"),
    ),
    (
        "unit count",
        lambda: train_counts(units={"ab": _trainer.MAX_UNIT_COUNT}),
        lambda: train_counts(units={"ab": _trainer.MAX_UNIT_COUNT + 1}),
        (ValueError, "count of 'ab' must be from 1 to 4294967295, not 4294967296"),
    ),
    (
        "segmenter seed",
        lambda: train_segmenter(_trainer.MAX_SEGMENTER_SEED),
        lambda: train_segmenter(_trainer.MAX_SEGMENTER_SEED + 1),
        (ValueError, "seed must be from 0 to 9223372036854775807, got 9223372036854775808"),
    ),
]


@pytest.mark.parametrize(("name", "at_bound", "past_bound", "error"), BOUNDS, ids=[row[0] for row in BOUNDS])
def test_each_exported_bound_is_the_one_checked(name, at_bound, past_bound, error):
    at_bound()
    kind, message = error
    with pytest.raises(kind) as raised:
        past_bound()
    assert type(raised.value) is kind and str(raised.value) == message


# Lower bounds and types the native trainers check now that Python only resolves defaults.
REFUSED = [
    (lambda: train_counts(min_frequency=0), ValueError, "min_frequency must be from 1 to 9223372036854775807, got 0"),
    (lambda: train_counts(vocab_size=-1), ValueError, "vocab_size must be from 0 to 4294967296, got -1"),
    (lambda: train_segmenter(-1), ValueError, "seed must be from 0 to 9223372036854775807, got -1"),
    (lambda: train_segmenter(-(2**64)), ValueError, f"seed must be from 0 to 9223372036854775807, got {-(2**64)}"),
    (lambda: train_segmenter(True), TypeError, "seed must be an int, not bool"),
    (lambda: train_segmenter(1.0), TypeError, "seed must be an int, not float"),
    (
        lambda: _trainer.train_segmenter([("ab", 2**63)], [], "none", 1.0, None, 0, 1, 0.005, None),
        OverflowError,
        "a count is out of range",
    ),
    (
        lambda: _trainer.train_segmenter([("ab", True)], [], "none", 1.0, None, 0, 1, 0.005, None),
        TypeError,
        "a count must be an int, not bool",
    ),
]


@pytest.mark.parametrize(("call", "kind", "message"), REFUSED)
def test_native_trainers_refuse_out_of_range_options(call, kind, message):
    with pytest.raises(kind) as raised:
        call()
    assert type(raised.value) is kind and str(raised.value) == message


def test_segmenter_seed_zero_and_largest_train_alike_on_one_word():
    assert train_segmenter(0)[0] == train_segmenter(_trainer.MAX_SEGMENTER_SEED)[0]


def test_unknown_character_takes_unk_id_without_an_unknown_token():
    vocab = {"a": 0, "b": 2}
    assert _engine.UNK_TOKEN not in vocab
    assert _engine.Engine(vocab, [], 0).encode_lists(["azb"], 1) == [[0, _engine.UNK_ID, 2]]
    assert _morfex.CoreBPE(vocab, []).encode("azb") == [0, _engine.UNK_ID, 2]


def test_unknown_character_takes_the_id_of_the_unknown_token():
    vocab = {"a": 0, _engine.UNK_TOKEN: 9}
    assert _engine.Engine(vocab, [], 0).encode_lists(["az"], 1) == [[0, 9]]
    assert _morfex.CoreBPE(vocab, []).encode("az") == [0, 9]


def test_decoding_drops_the_marker_and_every_special_token():
    tokens = ["a", _engine.MARKER, *_engine.SPECIAL_TOKENS]
    vocab = {token: i for i, token in enumerate(tokens)}
    ids = list(range(len(tokens))) + [0]
    assert _engine.Engine(vocab, [], 0).decode_lists([ids], 1) == ["aa"]
    assert _morfex.CoreBPE(vocab, []).decode(ids) == "aa"


def test_byte_tokens_are_the_ones_the_trainer_reserves():
    tokens, _ = _trainer.train_counts({"ab": 2}, 300, 1, 0, True, None)
    assert tokens[: len(_engine.SPECIAL_TOKENS)] == list(_engine.SPECIAL_TOKENS)
    assert tokens[4] == _engine.MARKER
    assert tokens[5:261] == list(_engine.BYTE_TOKENS)
    # The spelling sentencepiece and tokenizers share, upper-case hex.
    assert (_engine.BYTE_TOKENS[0], _engine.BYTE_TOKENS[10], _engine.BYTE_TOKENS[255]) == ("<0x00>", "<0x0A>", "<0xFF>")

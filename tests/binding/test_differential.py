"""Differential tests: the extension against the plain reference model."""

import random

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _morfex
from conftest import MARKER
from model_strategies import ASTRAL, distinct, models, texts_for, token_ids
from reference_model import SPECIAL_TOKENS, ReferenceBPE

@settings(deadline=None, max_examples=300)
@given(models(), st.data())
def test_encode_matches_reference(model, data):
    alphabet, vocab, merges = model
    bpe = _morfex.CoreBPE(dict(vocab), list(merges))
    ref = ReferenceBPE(vocab, merges)
    for text in data.draw(st.lists(texts_for(alphabet, vocab, merges), min_size=1, max_size=8)):
        assert bpe.encode(text) == ref.encode(text), (vocab, merges, text)


@settings(deadline=None, max_examples=150)
@given(models(), st.data())
def test_decode_matches_reference(model, data):
    _, vocab, _ = model
    bpe = _morfex.CoreBPE(dict(vocab), [])
    ref = ReferenceBPE(vocab, [])
    ids = data.draw(st.lists(st.one_of(st.sampled_from(list(vocab.values()) or [0]), token_ids)))

    # A shared id may decode as any of its tokens, but always as the same one.
    options = {}
    for token, token_id in vocab.items():
        options.setdefault(token_id, set()).add(token.replace(MARKER, ""))
    singles = []
    for token_id in ids:
        single = bpe.decode([token_id])
        if token_id in ref.special_ids or token_id not in options:
            assert single == ""
        else:
            assert single in options[token_id]
        singles.append(single)
    assert bpe.decode(ids) == "".join(singles)
    if len(set(vocab.values())) == len(vocab):
        assert bpe.decode(ids) == ref.decode(ids)


@settings(deadline=None, max_examples=150)
@given(models(unique_ids=True), st.data())
def test_round_trip_removes_only_markers(model, data):
    alphabet, vocab, merges = model
    # Every character of the text must be a token of its own, with an id of its own.
    fresh = distinct([0] * len(alphabet), set(vocab.values()))
    vocab = {**dict(zip(alphabet, fresh, strict=True)), **vocab}
    text = data.draw(st.lists(st.sampled_from(alphabet), max_size=30).map("".join))
    ref = ReferenceBPE(vocab, merges)
    assume(not any(symbol in SPECIAL_TOKENS for symbol in ref.merge(text)))
    bpe = _morfex.CoreBPE(dict(vocab), list(merges))
    assert bpe.decode(bpe.encode(text)) == text.replace(MARKER, "")


def trained_model(rng, letters, merge_count):
    """A vocabulary grown like a trained one: each merge joins two existing tokens."""
    vocab = {"<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4}
    for ch in letters:
        vocab[ch] = len(vocab)
    tokens = list(letters)
    merges = []
    for _ in range(merge_count):
        left, right = rng.choice(tokens), rng.choice(tokens)
        merges.append((left, right))
        if left + right not in vocab:
            vocab[left + right] = len(vocab)
            tokens.append(left + right)
    # Some merge results never make it into the vocabulary, forcing fallbacks.
    for token in rng.sample(tokens[len(letters):], k=len(tokens[len(letters):]) // 5):
        del vocab[token]
    return vocab, merges


@pytest.mark.parametrize("seed", range(4))
def test_long_inputs_match_reference(seed):
    rng = random.Random(seed)
    letters = ["a", "b", "c", "d", "\t", ASTRAL, "\u00e9", "q"]
    vocab, merges = trained_model(rng, letters, merge_count=300)
    del vocab["q"]  # one character stays unknown
    bpe = _morfex.CoreBPE(vocab, merges)
    ref = ReferenceBPE(vocab, merges)

    words = ["".join(rng.choices(letters, k=rng.randint(1, 12))) for _ in range(600)]
    segmented = MARKER.join(words)
    unsegmented = "".join(rng.choices(letters, k=1500))
    for text in (segmented, unsegmented):
        ids = bpe.encode(text)
        assert ids == ref.encode(text)
        assert bpe.decode(ids) == ref.decode(ids)


def test_shipped_model_encodes_words_like_the_reference():
    """A real model, where most morphemes end as one token: the encoder takes
    those whole, and must still agree with merging them."""
    import morfex

    tokenizer = morfex.default_model()
    vocab, merges = dict(tokenizer.vocab), list(tokenizer.merges)
    bpe = _morfex.CoreBPE(vocab, merges)
    ref = ReferenceBPE(vocab, merges)
    rng = random.Random(7)
    tokens = [token for token in vocab if MARKER not in token and not token.startswith("<")]
    for _ in range(300):
        # Morphemes made of whole tokens, of token pieces and of joined tokens.
        morphemes = []
        for _ in range(rng.randint(1, 4)):
            token = rng.choice(tokens)
            morphemes.append(rng.choice([token, token[: rng.randint(1, len(token))], token + rng.choice(tokens)]))
        word = MARKER.join(morphemes)
        assert bpe.encode(word) == ref.encode(word), word

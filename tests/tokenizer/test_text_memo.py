"""Running text through the memo of segmented words that an engine keeps from call to call.

The reference is the same model with the same segmenter called from Python,
which the engine asks afresh in every call, so no memo stands behind it.
"""

import importlib.resources

import numpy as np
import pytest

import morfex
from morfex import Segmenter

LETTERS = "aąbcćdeęfghijklłmnńoóprsśtuwyzźżAĄBCŁŚŻ"


def fresh_model():
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / "polish.morfex.json") as path:
        return morfex.load(path)


def running_text(distinct, seed=11):
    """Lines of 12 words, numbers and punctuation: `distinct` words, each about twice."""
    rng = np.random.default_rng(seed)
    words = set()
    while len(words) < distinct:
        words.add("".join(rng.choice(list(LETTERS), size=rng.integers(2, 13))))
    words = sorted(words) * 2
    order = rng.permutation(len(words))
    lines = []
    for start in range(0, len(order), 12):
        chosen = [words[k] for k in order[start:start + 12]]
        chosen[rng.integers(len(chosen))] += rng.choice([",", ".", " 42", ":", " —"])
        lines.append(" ".join(chosen) + "\n")
    return lines + ["kot▁ami 😀kotami  kot▁", "", "\t"]


@pytest.fixture(scope="module")
def model():
    return fresh_model()


@pytest.fixture(scope="module")
def texts():
    # More distinct words than a memo holds, so it grows to its limit and starts over.
    return running_text(70_000)


@pytest.fixture(scope="module")
def expected(model, texts):
    called = model.segmenter.segment
    return {markers: [model.encode_text(text, markers=markers, segmenter=called) for text in texts]
            for markers in (False, True)}


def lists(ids, offsets):
    return [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("cache_size", [0, 5, 1 << 15])
def test_every_call_gives_the_ids_of_text_by_text_at_every_thread_count_and_cache_size(
        model, texts, expected, threads, cache_size):
    model.cache_size = cache_size
    # The second call of each kind starts from the memos the first left behind.
    for markers in (False, True, False, True):
        assert lists(*model.encode_text_flat(texts, threads=threads, markers=markers)) == expected[markers]
    assert model.encode_text_batch(texts[:5000], threads=threads) == expected[False][:5000]


def test_another_segmenter_never_gets_the_first_ones_answers(model, texts):
    words = {word for text in texts[:3000] for word in text.split()}
    other = Segmenter.from_counts({word[:2] + "▁" + word[2:]: 1 for word in words if len(word) > 3})
    sample = texts[:6000]
    for segmenter in (model.segmenter, other, model.segmenter, other):
        want = [model.encode_text(text, segmenter=segmenter.segment) for text in sample]
        assert lists(*model.encode_text_flat(sample, threads=2, segmenter=segmenter)) == want


def test_two_engines_keep_their_own_memos(texts):
    one, two = fresh_model(), fresh_model()
    two.segmenter = Segmenter.from_counts({"ab▁c": 1})
    sample = texts[:6000]
    for tok in (one, two, one, two):
        want = [tok.encode_text(text, segmenter=tok.segmenter.segment) for text in sample]
        assert lists(*tok.encode_text_flat(sample, threads=2)) == want

import pytest

import _morfex
from morfex.vocabulary import MARKER, MAX_ID, SPECIAL_TOKENS

__all__ = ["MARKER", "MAX_ID", "SPECIAL_TOKENS", "EXAMPLE_VOCAB", "EXAMPLE_MERGES"]

# The worked example used throughout the tests: specials at 0-3, the marker,
# single letters and a few merged symbols.
EXAMPLE_VOCAB = {
    "<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4,
    "k": 5, "u": 6, "m": 7, "a": 8, "i": 9, "n": 10,
    "um": 11, "ai": 12, "ain": 13, "b": 14, "c": 15, "bc": 16, "aa": 17,
}
EXAMPLE_MERGES = [
    ("u", "m"), ("a", "i"), ("ai", "n"), ("k", "u"),
    ("b", "c"), ("a", "b"), ("a", "a"), ("m", "n"),
]


@pytest.fixture
def example_bpe():
    return _morfex.CoreBPE(dict(EXAMPLE_VOCAB), list(EXAMPLE_MERGES))

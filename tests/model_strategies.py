"""Hypothesis strategies for small models and texts that make merges fire and compete."""

from hypothesis import strategies as st

from conftest import MARKER, MAX_ID
from reference_model import SPECIAL_TOKENS

ASTRAL = "\U0001F600"
# Small on purpose, so that pairs repeat and merges fire; "<", "s" and ">" let
# texts and merges spell a special token.
CHARS = ["a", "b", "c", "\t", MARKER, ASTRAL, "\u00e9", "<", "s", ">"]

token_ids = st.one_of(
    st.integers(0, 40), st.sampled_from([0, 1, MAX_ID, MAX_ID - 1, 2**31, 2**31 - 1])
)


def distinct(values, taken):
    """Replace repeated values by fresh small ones, keeping order."""
    fresh = 100
    result = []
    for value in values:
        while value in taken:
            value, fresh = fresh, fresh + 1
        taken.add(value)
        result.append(value)
    return result


@st.composite
def merge_lists(draw, alphabet, tokens):
    pieces = st.lists(st.sampled_from(alphabet), max_size=3).map("".join)
    short = st.lists(st.sampled_from(alphabet), min_size=1, max_size=2).map("".join)
    merges = []
    for _ in range(draw(st.integers(0, 24))):
        kind = draw(st.sampled_from(["split", "short", "any", "repeat", "shadow", "collide"]))
        if kind == "split" and tokens:
            token = draw(st.sampled_from(tokens))
            cut = draw(st.integers(0, len(token)))
            merges.append((token[:cut], token[cut:]))
        elif kind == "repeat" and merges:
            merges.append(draw(st.sampled_from(merges)))
        elif kind == "shadow" and merges:
            # A pair overlapping an earlier one, then that one again: only its
            # later rank lets the overlapping pair win.
            left, right = draw(st.sampled_from(merges))
            other = draw(short)
            merges += [(right, other) if draw(st.booleans()) else (other, left), (left, right)]
        elif kind == "collide":
            # Two different pairs with one joined key: x TAB y TAB z.
            x, y, z = draw(pieces), draw(pieces), draw(pieces)
            pair_a, pair_b = (x + "\t" + y, z), (x, y + "\t" + z)
            merges += [pair_a, pair_b] if draw(st.booleans()) else [pair_b, pair_a]
        elif kind == "short":
            merges.append((draw(short), draw(short)))
        else:
            merges.append((draw(pieces), draw(pieces)))
    return merges


@st.composite
def models(draw, unique_ids=False):
    """A vocabulary and merge list over a few characters, so that pairs repeat,
    ranks tie and joined keys collide often."""
    alphabet = draw(st.lists(st.sampled_from(CHARS), min_size=1, max_size=3, unique=True))
    if "\t" not in alphabet and draw(st.booleans()):
        alphabet.append("\t")
    pieces = st.lists(st.sampled_from(alphabet), max_size=3).map("".join)

    tokens = draw(st.lists(pieces, max_size=12))
    tokens += draw(st.lists(st.sampled_from(CHARS), max_size=len(CHARS)))
    merges = draw(merge_lists(alphabet, tokens))
    # Merge results that are tokens make different merge orders visible in the ids.
    joins = [left + right for left, right in merges]
    if joins:
        tokens += draw(st.lists(st.sampled_from(joins), max_size=len(joins)))
    tokens += draw(st.lists(st.sampled_from(SPECIAL_TOKENS), max_size=4))
    tokens = list(dict.fromkeys(tokens))
    ids = draw(st.lists(token_ids, min_size=len(tokens), max_size=len(tokens)))
    if unique_ids:
        ids = distinct(ids, set())
    return alphabet, dict(zip(tokens, ids, strict=True)), merges


def texts_for(alphabet, vocab, merges, max_parts=24):
    """Texts of characters, tokens, joined merge pairs and pairs of merges that
    overlap (x y z for x+y and y+z), so that merges fire and compete."""
    material = alphabet + [t for t in vocab if t] + [left + right for left, right in merges]
    material += [l1 + r1 + r2 for l1, r1 in merges for l2, r2 in merges if r1 == l2]
    return st.lists(st.sampled_from(material), max_size=max_parts).map("".join)

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER, MAX_ID

ASTRAL = "\U0001F600"


@pytest.mark.parametrize(
    ("text", "ids"),
    [
        pytest.param(f"k{MARKER}um{MARKER}ain", [5, 4, 11, 4, 13], id="markers-block-merges"),
        pytest.param("kum", [5, 11], id="rank-before-position"),
        pytest.param("abc", [8, 16], id="lower-rank-right-pair-first"),
        pytest.param("aaaa", [17, 17], id="equal-ranks-leftmost-first"),
        pytest.param("aaa", [17, 8], id="leftmost-of-two-equal"),
        pytest.param("mn", [7, 10], id="merged-symbol-falls-back"),
        pytest.param(f"kq{MARKER}a", [5, 1, 4, 8], id="unknown-char-is-unk"),
        pytest.param("k", [5], id="single-char"),
        pytest.param("", [], id="empty"),
        pytest.param("<s>", [1, 1, 1], id="special-text-is-plain-chars"),
        pytest.param(ASTRAL, [1], id="astral-is-one-char"),
    ],
)
def test_encode_example(example_bpe, text, ids):
    assert example_bpe.encode(text) == ids


@pytest.mark.parametrize(
    ("vocab", "merges", "text", "ids"),
    [
        pytest.param({"a": 1, "b": 2}, [], "azb", [1, 1, 2], id="no-unk-gives-1-though-taken"),
        pytest.param({"a": 0, "b": 2}, [], "azb", [0, 1, 2], id="no-unk-gives-1-though-free"),
        pytest.param({"<unk>": MAX_ID, "a": 0}, [], "za", [MAX_ID, 0], id="unk-at-max-id"),
        pytest.param({"a": 3, "aa": 4}, [], "aaa", [3, 3, 3], id="no-merges"),
        pytest.param({}, [("a", "b")], f"ab{ASTRAL}{MARKER}\t", [1] * 5, id="empty-vocab"),
        pytest.param(
            {"<": 5, "s": 6, ">": 7, "<s>": 2}, [("<", "s"), ("<s", ">")], "<s>", [2],
            id="special-built-by-merges",
        ),
        pytest.param(
            {ASTRAL: 7, "a": 8, ASTRAL + "a": 9}, [(ASTRAL, "a")], f"{ASTRAL}a{ASTRAL}", [9, 7],
            id="astral-merges-as-one-char",
        ),
        pytest.param(
            {"a\tb": 42, "a": 1, "\t": 2, "b": 3}, [("a", "\t"), ("a", "\tb")], "a\tb", [42],
            id="tab-joined-keys-collide",
        ),
        pytest.param(
            {"a": 1, "\t": 2, "b": 3}, [("a", "\t"), ("a", "\tb")], "a\tb", [1, 2, 3],
            id="tab-collision-falls-back",
        ),
        pytest.param(
            {"a": 1, "b": 2, "ab": 3, "<unk>": 9}, [("a", "b"), ("ab", "c")], "abc", [1, 2, 9],
            id="fallback-skips-intermediate-symbols",
        ),
        pytest.param(
            {"a": 1, "b": 2, "ab": 3, "ba": 4}, [("a", "b"), ("b", "a"), ("a", "b")], "aba", [1, 4],
            id="repeated-pair-keeps-last-rank",
        ),
        pytest.param(
            {"x": 1, "y": 2, "z": 3, "xyz": 4}, [("x", "y"), ("xy", "z")], "xyz", [4],
            id="merges-through-non-tokens",
        ),
        pytest.param(
            {"a": 1, MARKER: 2, MARKER + "a": 3}, [(MARKER, "a")], f"a{MARKER}a", [1, 3],
            id="marker-pair-in-table-merges",
        ),
    ],
)
def test_encode_edge(vocab, merges, text, ids):
    assert _morfex.CoreBPE(vocab, merges).encode(text) == ids


DECODE_VOCAB = {
    "<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4,
    f"k{MARKER}": 5, f"um{MARKER}": 6, "ain": 7, "ab": 8, f"{MARKER}c": 9,
    f"{MARKER}{MARKER}x{MARKER}{MARKER}": 10, " sp ": 11,
    "plain": 2,  # not a special string, but it has the id of "<s>"
    "\u2580\u2582": 12,  # the marker's neighbours in its block
    "far": MAX_ID,
}


@pytest.mark.parametrize(
    ("ids", "text"),
    [
        pytest.param([], "", id="empty"),
        pytest.param([0, 1, 2, 3, 3], "", id="only-specials"),
        pytest.param([8, 999, 13, 8], "abab", id="unknown-ids-dropped"),
        pytest.param([5, 6, 7], "kumain", id="markers-removed"),
        pytest.param([4, 8, 4, 4], "ab", id="marker-token-is-nothing"),
        pytest.param([10], "x", id="consecutive-markers"),
        pytest.param([8, 9], "abc", id="no-separator"),
        pytest.param([11, 8, 11], " sp ab sp ", id="whitespace-kept"),
        pytest.param([8, 2, 8], "abab", id="special-id-dropped-by-id"),
        pytest.param([12, 4, 12], "\u2580\u2582\u2580\u2582", id="neighbours-of-marker-kept"),
        pytest.param([MAX_ID, 1, MAX_ID], "farfar", id="max-id"),
    ],
)
def test_decode_table(ids, text):
    assert _morfex.CoreBPE(DECODE_VOCAB, []).decode(ids) == text


@pytest.mark.parametrize(
    ("vocab", "text", "decoded"),
    [
        pytest.param({"a": 1, "b": 2}, "bqa", "baa", id="unk-decodes-as-token-with-id-1"),
        pytest.param({"a": 0, "b": 2}, "bqa", "ba", id="no-token-with-id-1"),
        pytest.param({"a": 0, "b": 2, "<s>": 1}, "bqa", "ba", id="id-1-is-special"),
        pytest.param({"<unk>": 7, "a": 1}, "aqa", "aa", id="unk-token-dropped"),
    ],
)
def test_unknown_characters_after_round_trip(vocab, text, decoded):
    bpe = _morfex.CoreBPE(vocab, [])
    assert bpe.decode(bpe.encode(text)) == decoded


def test_example_encode_then_decode(example_bpe):
    assert example_bpe.decode(example_bpe.encode(f"k{MARKER}um{MARKER}ain")) == "kumain"


@pytest.mark.parametrize(
    ("ids", "text"),
    [
        pytest.param([5, 4, 11], "kum", id="list"),
        pytest.param((5, 4, 11), "kum", id="tuple"),
        pytest.param(b"\x05\x04\x0b", "kum", id="bytes-one-id-per-byte"),
        pytest.param(range(5, 12, 3), "kaum", id="range"),
        pytest.param([True, 5], "k", id="bool-is-id-1"),
    ],
)
def test_decode_accepts_sequences(example_bpe, ids, text):
    result = example_bpe.decode(ids)
    assert type(result) is str
    assert result == text


@pytest.mark.parametrize(
    ("vocab", "text", "ids"),
    [
        pytest.param({"x": MAX_ID}, "x", [MAX_ID], id="max"),
        pytest.param({"x": 0}, "x", [0], id="zero"),
        pytest.param({"x": 2**31, "y": 2**31 - 1}, "xy", [2**31, 2**31 - 1], id="sign-bit"),
        pytest.param({"<unk>": MAX_ID}, "zz", [MAX_ID, MAX_ID], id="unk-at-max"),
    ],
)
def test_encode_returns_plain_list_of_unsigned_ints(vocab, text, ids):
    bpe = _morfex.CoreBPE(vocab, [])
    result = bpe.encode(text)
    assert type(result) is list
    assert all(type(i) is int for i in result)
    assert result == ids
    assert all(i >= 0 for i in result)


def test_encode_returns_a_fresh_list_each_call(example_bpe):
    first = example_bpe.encode("kum")
    first.append(99)
    assert example_bpe.encode("kum") == [5, 11]


# Every character of these texts is a token, no two tokens share an id, and no
# merge can produce a special token, so decode must undo encode up to markers.
EXAMPLE_CHARS = "kumainbc" + MARKER
ROUND_TRIP_BPE = _morfex.CoreBPE(dict(EXAMPLE_VOCAB), list(EXAMPLE_MERGES))


@settings(deadline=None, max_examples=300)
@given(st.text(alphabet=EXAMPLE_CHARS, max_size=40))
def test_round_trip_without_markers(text):
    assert ROUND_TRIP_BPE.decode(ROUND_TRIP_BPE.encode(text)) == text.replace(MARKER, "")


@pytest.mark.parametrize(
    "text", ["", MARKER, MARKER * 3, f"k{MARKER}um{MARKER}ain", "aaaaaaa", "bcbcabc", "mnmn"]
)
def test_round_trip_examples(example_bpe, text):
    assert example_bpe.decode(example_bpe.encode(text)) == text.replace(MARKER, "")

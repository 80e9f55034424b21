"""Running text: the splitter, the text encoder and decoder, byte fallback and segmentation."""

from __future__ import annotations

import unicodedata

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morfex
from _morfex import CoreBPE
from morfex import _engine
from morfex.vocabulary import byte_token

MARKER = "\u2581"
OTHER, WORD, NUMBER, SPACE = range(4)


def reference_class(char: str) -> int:
    if char.isspace():
        return SPACE
    category = unicodedata.category(char)
    if category[0] in "LM" or char == MARKER:
        return WORD
    return NUMBER if category[0] == "N" else OTHER


NATIVE_CLASSES = _engine.char_classes()
# Code points whose class the running interpreter's Unicode version sees
# otherwise than the table's: only these may differ, and only there.
DIFFERING = {
    cp for cp in range(0x110000) if NATIVE_CLASSES[cp] != reference_class(chr(cp))
}


def test_class_table_matches_unicodedata() -> None:
    if unicodedata.unidata_version == _engine.UNICODE_VERSION:
        assert not DIFFERING
    else:
        # A newer or older version only assigns code points that the other leaves unassigned.
        assert len(DIFFERING) < 5000
        for cp in DIFFERING:
            assert unicodedata.category(chr(cp)) == "Cn" or NATIVE_CLASSES[cp] == OTHER


KINDS = {WORD: "word", NUMBER: "number", OTHER: "punctuation", SPACE: "space"}


def reference_split(text: str) -> list[tuple[int, int, str]]:
    """The convention, written plainly."""
    pieces: list[tuple[int, int, str]] = []
    i, n = 0, len(text)
    while i < n:
        start = i
        if reference_class(text[i]) == SPACE:
            while i < n and reference_class(text[i]) == SPACE:
                i += 1
            if i < n and text[i - 1] == " ":
                if i - 1 > start:
                    pieces.append((start, i - 1, "space"))
                start = i - 1
            else:
                pieces.append((start, i, "space"))
                continue
        cls = reference_class(text[i])
        while i < n and reference_class(text[i]) == cls:
            i += 1
        pieces.append((start, i, KINDS[cls]))
    return pieces


def agreed(char: str) -> bool:
    return ord(char) not in DIFFERING and not 0xD800 <= ord(char) <= 0xDFFF


# Every category, astral characters, lone combining marks, ZWJ, CR LF, NUL.
TEXT_CHARS = st.one_of(
    st.characters(codec="utf-8").filter(agreed),
    st.sampled_from([" ", " ", "\n", "\r\n", "\t", "\x00", "\u200d", "\u0301", "\u00a0", "\u3000", "\U0001f600"]),
)
TEXTS = st.lists(TEXT_CHARS, max_size=40).map("".join)


@pytest.mark.parametrize(
    ("text", "pieces"),
    [
        ("a  b", [(0, 1, "word"), (1, 2, "space"), (2, 4, "word")]),
        ("a\nb", [(0, 1, "word"), (1, 2, "space"), (2, 3, "word")]),
        (" a", [(0, 2, "word")]),
        ("a ", [(0, 1, "word"), (1, 2, "space")]),
        ("Ala ma kota, a kot ma Alę.", None),
        ("x 12,5% y", [(0, 1, "word"), (1, 4, "number"), (4, 5, "punctuation"), (5, 6, "number"),
                       (6, 7, "punctuation"), (7, 9, "word")]),
        ("\r\n \t x", [(0, 4, "space"), (4, 6, "word")]),
        ("k\u2581ot", [(0, 4, "word")]),
        ("e\u0301 \u0301", [(0, 2, "word"), (2, 4, "word")]),
        ("\x00\x01 ?!", [(0, 2, "punctuation"), (2, 5, "punctuation")]),
        ("a\u00a0 b", [(0, 1, "word"), (1, 2, "space"), (2, 4, "word")]),
        ("", []),
    ],
)
def test_split_examples(text: str, pieces: list[tuple[int, int, str]] | None) -> None:
    assert _engine.split_text(text) == (pieces if pieces is not None else reference_split(text))


@settings(max_examples=300, deadline=None)
@given(TEXTS)
def test_split_matches_reference(text: str) -> None:
    assert _engine.split_text(text) == reference_split(text)


def make_vocab() -> dict[str, int]:
    tokens = ["<pad>", "<unk>", "<s>", "</s>", MARKER]
    tokens += [byte_token(b) for b in range(256)]
    tokens += [chr(c) for c in range(0x20, 0x7F)] + list("ąęółśżźćń\n")
    tokens += [" k", " ko", " kot", "ko", "kot", "am", "ami", " m", " ma", "ma", " a", "Al", "Ala"]
    return {token: i for i, token in enumerate(dict.fromkeys(tokens))}


MERGES = [(" ", "k"), (" k", "o"), (" ko", "t"), ("k", "o"), ("ko", "t"), ("a", "m"), ("am", "i"),
          (" ", "m"), (" m", "a"), ("m", "a"), (" ", "a"), ("A", "l"), ("Al", "a")]
VOCAB = make_vocab()
UNK = VOCAB["<unk>"]


@pytest.fixture(scope="module")
def fallback() -> morfex.Tokenizer:
    return morfex.Tokenizer(VOCAB, MERGES, byte_fallback=True)


@pytest.fixture(scope="module")
def plain() -> morfex.Tokenizer:
    return morfex.Tokenizer(VOCAB, MERGES)


def reference_encode(
    text: str, *, byte_fallback: bool, markers: bool = False, segment=None
) -> tuple[list[int], list[tuple[int, int]]]:
    """Split, segment, encode each piece with CoreBPE; unknown characters to byte tokens."""
    core = CoreBPE(VOCAB, MERGES)
    by_id = {i: t for t, i in VOCAB.items()}
    ids: list[int] = []
    spans: list[tuple[int, int]] = []
    for start, end, kind in reference_split(text):
        piece = text[start:end]
        if kind == "word" and segment is not None:
            lead = " " if piece.startswith(" ") else ""
            # Markers already in the text stay; only the stretches between them are segmented.
            source = lead + MARKER.join(segment(part) if part else part for part in piece[len(lead):].split(MARKER))
        else:
            source = piece
        pos, char = 0, start
        for token_id in core.encode(source):
            token = by_id[token_id]
            length = 1 if token_id == UNK else len(token)
            segment_text = source[pos:pos + length]
            added = segment is not None and kind == "word" and segment_text == MARKER and text[char:char + 1] != MARKER
            span = (char, char) if added else (char, char + length)
            char = span[1]
            pos += length
            if segment_text == MARKER and not markers:
                continue
            if token_id == UNK and byte_fallback:
                for byte in segment_text.encode():
                    ids.append(VOCAB[byte_token(byte)])
                    spans.append(span)
            else:
                ids.append(token_id)
                spans.append(span)
    return ids, spans


@settings(max_examples=200, deadline=None)
@given(TEXTS.filter(lambda t: MARKER not in t))
def test_round_trip_with_byte_fallback(fallback: morfex.Tokenizer, text: str) -> None:
    ids, spans = fallback.encode_text(text, offsets=True)
    assert fallback.decode_text(ids) == text
    assert (ids, spans) == reference_encode(text, byte_fallback=True)
    assert fallback.encode_text(text) == ids
    # Like decode, decode_text takes any iterable of ids.
    assert fallback.decode_text(iter(ids)) == fallback.decode_text(tuple(ids)) == text


@settings(max_examples=100, deadline=None)
@given(TEXTS)
def test_without_byte_fallback_unknown_characters_are_unk(plain: morfex.Tokenizer, text: str) -> None:
    assert plain.encode_text(text, offsets=True) == reference_encode(text, byte_fallback=False)


@pytest.mark.parametrize(
    ("text", "tokens"),
    [
        ("Ala ma kota, a kot ma Alę.", ["Ala", " ma", " kot", "a", ",", " a", " kot", " ma", " ", "Al", "ę", "."]),
        ("a  b", ["a", " ", " ", "b"]),
        ("€", ["<0xE2>", "<0x82>", "<0xAC>"]),
        ("x\r\ny", ["x", "<0x0D>", "\n", "y"]),
    ],
)
def test_encode_text_examples(fallback: morfex.Tokenizer, text: str, tokens: list[str]) -> None:
    ids = fallback.encode_text(text)
    assert [fallback.id_to_token(i) for i in ids] == tokens
    assert fallback.decode_text(ids) == text


def test_offsets_slice_the_text(fallback: morfex.Tokenizer) -> None:
    text = "Ala ma kota, a kot € ma Alę."
    ids, spans = fallback.encode_text(text, offsets=True)
    for token_id, (start, end) in zip(ids, spans):
        token = fallback.id_to_token(token_id)
        if token.startswith("<0x"):
            assert text[start:end] == "€"
        else:
            assert text[start:end] == token
    assert spans[0][0] == 0 and spans[-1][1] == len(text)


def segment_ka(word: str) -> str:
    return word[:3] + MARKER + word[3:] if len(word) > 3 else word


@pytest.mark.parametrize("markers", [True, False])
@pytest.mark.parametrize("text", ["kotami ma kota", " kotami", "kot\u2581ami", "Ala\n  kotami"])
def test_segmenter_matches_reference(fallback: morfex.Tokenizer, text: str, markers: bool) -> None:
    got = fallback.encode_text(text, offsets=True, markers=markers, segmenter=segment_ka)
    assert got == reference_encode(text, byte_fallback=True, markers=markers, segment=segment_ka)
    assert fallback.decode_text(got[0]) == text.replace(MARKER, "")


def test_segmenter_is_called_once_per_distinct_word(fallback: morfex.Tokenizer) -> None:
    seen: list[str] = []

    def segment(word: str) -> str:
        seen.append(word)
        return word

    fallback.encode_text_batch(["kot ma kota", "kot kot"], segmenter=segment)
    assert sorted(seen) == ["kot", "kota", "ma"]


def test_tokenizer_segmenter_is_the_default(fallback: morfex.Tokenizer) -> None:
    tok = morfex.Tokenizer(VOCAB, MERGES, byte_fallback=True)
    tok.segmenter = segment_ka
    assert tok.encode_text("kotami") == fallback.encode_text("kotami", segmenter=segment_ka)
    assert tok.encode_text("kotami", segmenter=None) == fallback.encode_text("kotami")
    with pytest.raises(TypeError, match="^segmenter must be callable or None, not int$"):
        tok.segmenter = 3  # type: ignore[assignment]


def bad_segmenter(word: str) -> object:
    return {"kot": "pies", "ma": 5}.get(word, word)


def failing_segmenter(word: str) -> str:
    raise ValueError(f"no {word}")


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda t: t.encode_text("a kot", segmenter=bad_segmenter), ValueError,
         "segmenter turned kot into pies: it may only put \u2581 between morphemes"),
        (lambda t: t.encode_text_batch(["x", "a ma"], segmenter=bad_segmenter), TypeError,
         "item 1: segmenter must return str, not 'int'"),
        (lambda t: t.encode_text_batch(["x", "kot"], segmenter=failing_segmenter), ValueError, "item 0: no x"),
        (lambda t: t.encode_text_batch(["x", 5]), TypeError,
         "item 1: argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t.encode_text(5), TypeError, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda t: t.encode_text_flat("abc"), TypeError, "argument 'texts' must be an iterable of str, not a single 'str'"),
        (lambda t: t.encode_text("a", markers=1), TypeError, "argument 'markers' must be a bool, not 'int'"),
        (lambda t: t.encode_text("a", segmenter=3), TypeError, "segmenter must be callable or None, not int"),
        (lambda t: morfex.Tokenizer({"<0x00>": 0}, [], byte_fallback=True), ValueError,
         "byte fallback needs all 256 byte tokens, but the vocabulary lacks '<0x01>'"),
        (lambda t: t.decode_text_batch([[1], ["x"]]), TypeError, None),
    ],
)
def test_error_messages(fallback: morfex.Tokenizer, call, error: type[Exception], message: str | None) -> None:
    with pytest.raises(error) as raised:
        call(fallback)
    if message is not None:
        assert str(raised.value) == message
    else:
        assert str(raised.value).startswith("item 1: ")


def test_lone_surrogate_is_refused_with_its_index(fallback: morfex.Tokenizer) -> None:
    with pytest.raises(UnicodeEncodeError) as raised:
        fallback.encode_text_batch(["ok", "a\ud800"])
    assert raised.value.reason.startswith("item 1: ")


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=24))
def test_byte_runs_decode_as_python_replaces(fallback: morfex.Tokenizer, data: bytes) -> None:
    ids = [VOCAB["a"]] + [VOCAB[byte_token(b)] for b in data] + [VOCAB["b"]]
    assert fallback.decode_text(ids) == "a" + data.decode("utf-8", "replace").replace(MARKER, "") + "b"


def bytes_of(text: str) -> list[int]:
    return [1000 + b for b in text.encode()]


# Small models whose <unk> id or marker is odd: no <unk> token, so that the
# unknown id 1 is also a token's; no marker token, so markers go as bytes.
ODD_VOCAB = {"ab": 1, "b": 2, "c": 3, "a\u2581": 4} | {byte_token(b): 1000 + b for b in range(256)}
ODD_MERGES = [("a", "b"), ("a", MARKER)]


@pytest.mark.parametrize(
    ("byte_fallback", "text", "ids", "spans"),
    [
        (True, "ab", [1], [(0, 2)]),
        (True, "xab", bytes_of("x") + [1], [(0, 1), (1, 3)]),
        (True, "a", bytes_of("a"), [(0, 1)] * 1),
        (True, "aab", bytes_of("a") + [1], [(0, 1), (1, 3)]),
        (True, "b\u2581c", [2] + bytes_of(MARKER) + [3], [(0, 1)] + [(1, 2)] * 3 + [(2, 3)]),
        (False, "ab", [1], [(0, 2)]),
        (False, "xab", [1, 1], [(0, 1), (1, 3)]),
        (False, "aba", [1, 1], [(0, 2), (2, 3)]),
    ],
)
def test_unknown_characters_beside_a_token_holding_the_unknown_id(byte_fallback, text, ids, spans) -> None:
    tok = morfex.Tokenizer(ODD_VOCAB, ODD_MERGES, byte_fallback=byte_fallback)
    # With markers=True, as the bytes of a marker the vocabulary lacks are what it checks.
    assert tok.encode_text(text, offsets=True, markers=True) == (ids, spans)
    assert tok.encode_text_batch([text] * 5000, threads=2, markers=True) == [ids] * 5000
    assert tok.encode(text) == CoreBPE(ODD_VOCAB, ODD_MERGES).encode(text)
    if byte_fallback:
        assert tok.decode_text(ids) == text.replace(MARKER, "")


@pytest.mark.parametrize(
    ("text", "segmenter", "decoded"),
    [
        ("b\u2581c", None, "bc"),
        ("bc", lambda w: "b" + MARKER + "c", "bc"),
        ("a\u2581", None, "a"),
    ],
)
def test_markers_spelled_in_bytes_are_dropped(text, segmenter, decoded) -> None:
    tok = morfex.Tokenizer(ODD_VOCAB, ODD_MERGES, byte_fallback=True)
    ids = tok.encode_text(text, segmenter=segmenter)
    assert tok.decode_text(ids) == decoded
    assert tok.decode_text_batch([ids] * 5000, threads=2) == [decoded] * 5000


def test_without_byte_fallback_byte_tokens_decode_as_tokens(plain: morfex.Tokenizer) -> None:
    assert plain.decode_text([VOCAB["<0x41>"], VOCAB["a"]]) == "<0x41>a"


def corpus(count: int) -> list[str]:
    rng = np.random.default_rng(7)
    words = ["Ala", "ma", "kota", "kot", "ami", "€", "żółw", "12", ",", "\n", "  ", "日本"]
    return [" ".join(rng.choice(words, size=int(rng.integers(0, 12)))) for _ in range(count)]


@pytest.mark.parametrize("markers", [True, False])
@pytest.mark.parametrize("segmenter", [None, segment_ka])
def test_batches_equal_single_calls_at_every_thread_count(fallback: morfex.Tokenizer, markers: bool, segmenter) -> None:
    texts = corpus(9000)
    expected = [fallback.encode_text(t, markers=markers, segmenter=segmenter) for t in texts[:500]]
    for threads in (1, 2, 3):
        lists = fallback.encode_text_batch(texts, threads=threads, markers=markers, segmenter=segmenter)
        assert lists[:500] == expected
        ids, offsets = fallback.encode_text_flat(texts, threads=threads, markers=markers, segmenter=segmenter)
        assert ids.dtype == np.uint32 and offsets.dtype == np.int64 and len(offsets) == len(texts) + 1
        assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(texts))] == lists
        assert fallback.decode_text_flat(ids, offsets, threads=threads) == fallback.decode_text_batch(lists, threads=threads)
    if markers:
        assert fallback.decode_text_batch(lists) == [t.replace(MARKER, "") for t in texts]


def _rows(ids, offsets) -> list[list[int]]:
    return [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]


def _padded_rows(matrix, mask) -> list[list[int]]:
    return [row[flags.astype(bool)].tolist() for row, flags in zip(matrix, mask)]


# Every text method and TokenizeBatch, each giving a list of ids per text.
TEXT_CALLS = {
    "encode_text": lambda tok, texts, **options: [tok.encode_text(text, **options) for text in texts],
    "encode_text_batch": lambda tok, texts, **options: tok.encode_text_batch(texts, threads=2, **options),
    "encode_text_flat": lambda tok, texts, **options: _rows(*tok.encode_text_flat(texts, threads=2, **options)),
    "encode_text_padded": lambda tok, texts, **options: _padded_rows(*tok.encode_text_padded(texts, **options)),
    "TokenizeBatch": lambda tok, texts, **options: [
        row.tolist() for row in morfex.TokenizeBatch(tok, threads=2, **options)({"text": texts})["ids"]],
}


@pytest.mark.parametrize("call", TEXT_CALLS.values(), ids=TEXT_CALLS)
def test_marker_ids_are_left_out_unless_asked(fallback: morfex.Tokenizer, call) -> None:
    # Markers put in by the segmenter and markers of the text itself; no merge
    # holds the marker, so leaving it out removes exactly its ids.
    texts = corpus(5000) + ["kot\u2581ami", "\u2581", " kotami\u2581", ""]
    kept = [reference_encode(text, byte_fallback=True, markers=True, segment=segment_ka)[0] for text in texts]
    left_out = [[token_id for token_id in ids if token_id != VOCAB[MARKER]] for ids in kept]
    assert kept != left_out
    assert call(fallback, texts, segmenter=segment_ka) == left_out
    assert call(fallback, texts, segmenter=segment_ka, markers=False) == left_out
    assert call(fallback, texts, segmenter=segment_ka, markers=True) == kept
    expected = [text.replace(MARKER, "") for text in texts]
    assert fallback.decode_text_batch(kept, threads=2) == fallback.decode_text_batch(left_out, threads=2) == expected


def test_the_shipped_model_keeps_marker_ids_only_when_asked() -> None:
    tok = morfex.default_model()
    marker = tok.token_to_id(MARKER)
    assert tok.encode_text("Ala ma kota.", markers=True) == [295, marker, 727, 833, 693, 813, marker, 327, 276]
    assert tok.encode_text("Ala ma kota.") == [295, 727, 833, 693, 813, 327, 276]
    assert tok.decode_text([295, marker, 727, 833, 693, 813, marker, 327, 276]) == "Ala ma kota."
    assert tok.decode_text([295, 727, 833, 693, 813, 327, 276]) == "Ala ma kota."


def test_byte_fallback_is_kept_in_model_files(tmp_path, fallback: morfex.Tokenizer) -> None:
    path = tmp_path / "model.json"
    fallback.save(path)
    assert '"byte_fallback": true' in path.read_text()
    assert morfex.load(path).byte_fallback
    morfex.Tokenizer(VOCAB, MERGES).save(path)
    assert "byte_fallback" not in path.read_text()
    assert not morfex.load(path).byte_fallback

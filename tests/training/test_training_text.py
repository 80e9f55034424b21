import collections
import sys
import unicodedata
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morfex
from conftest import MARKER, SPECIAL_TOKENS
from morfex import CorpusError, CorpusWarning
from morfex.text import pieces as text_pieces
from morfex.training.text import count_pieces, segment_pieces

BYTE_TOKENS = [f"<0x{byte:02X}>" for byte in range(256)]


def plain_pieces(text):
    """The piece convention, one character at a time."""
    def kind(ch):
        if ch.isspace():
            return "space"
        if ch == MARKER or unicodedata.category(ch)[0] in "LM":
            return "word"
        return "number" if unicodedata.category(ch)[0] == "N" else "other"

    pieces, i = [], 0
    while i < len(text):
        start = i
        leads = text[i] == " " and i + 1 < len(text) and not text[i + 1].isspace()
        if text[i].isspace() and not leads:
            while i < len(text) and text[i].isspace():
                i += 1
            if text[i - 1] == " " and i < len(text) and i - 1 > start:
                i -= 1
        else:
            if text[i] == " ":
                i += 1
            first = kind(text[i])
            while i < len(text) and kind(text[i]) == first:
                i += 1
        pieces.append(text[start:i])
    return pieces


@pytest.mark.parametrize(
    ("text", "pieces"),
    [
        ("a  b", ["a", " ", " b"]),
        ("a\nb", ["a", "\n", "b"]),
        (" a", [" a"]),
        ("a ", ["a", " "]),
        ("kot▁ami, 12 x", ["kot▁ami", ",", " 12", " x"]),
        ("\n\n  y\t z", ["\n\n ", " y", "\t", " z"]),
        ("e\u0301t ½3 一!?", ["e\u0301t", " ½3", " 一", "!?"]),
        (" ", [" "]),
        ("", []),
    ],
)
def test_pieces_follow_the_convention(text, pieces):
    assert text_pieces.split(text) == pieces
    assert plain_pieces(text) == pieces


@settings(max_examples=300, deadline=None)
@given(st.text(st.sampled_from("ab é\u0301▁1½\n\t  ,.\u00a0一"), max_size=40))
def test_pieces_match_the_plain_model(text):
    assert text_pieces.split(text) == plain_pieces(text)


def test_counts_train_like_repeated_lines():
    counts = {"k▁um▁ain": 3, "kot▁a": 2, "ab": 1}
    lines = [word for word, count in counts.items() for _ in range(count)]
    options = {"vocab_size": 30, "min_frequency": 1}
    assert morfex.dumps(morfex.train_counts(counts, **options)) == morfex.dumps(morfex.train(lines, **options))
    assert morfex.dumps(morfex.train_counts(collections.Counter(lines), **options)) == morfex.dumps(
        morfex.train(lines, **options))


@pytest.mark.parametrize(
    ("counts", "error", "message"),
    [
        ({}, CorpusError, "no words to train on"),
        ({MARKER: 4}, CorpusError, "no words to train on"),
        ({"ab": 0}, CorpusError, "count of 'ab' must be from 1 to 4294967295, not 0"),
        ({"ab": 2**32}, CorpusError, "count of 'ab' must be from 1 to 4294967295, not 4294967296"),
        ({"ab": -2**70}, CorpusError, f"count of 'ab' must be from 1 to 4294967295, not {-2**70}"),
        ({"ab": 1.0}, TypeError, "count of 'ab' must be an int, not float"),
        ({"ab": True}, TypeError, "count of 'ab' must be an int, not bool"),
        ({5: 1}, TypeError, "a unit must be a str, not int"),
    ],
)
def test_bad_counts(counts, error, message):
    with pytest.raises(error) as caught:
        morfex.train_counts(counts)
    assert str(caught.value) == message


def test_byte_tokens_follow_the_marker():
    model = morfex.train(["ab\t3", "ł"], vocab_size=265, min_frequency=1, byte_fallback=True)
    assert [model.id_to_token(i) for i in range(len(model))] == [
        *SPECIAL_TOKENS, MARKER, *BYTE_TOKENS, "a", "b", "ł", "ab"]
    assert model.vocab["<0x00>"] == 5 and model.vocab["<0xFF>"] == 260
    assert model.byte_fallback and model.decode_text(model.encode_text("aż")) == "aż"
    plain = morfex.train(["ab\t3", "ł"], vocab_size=9, min_frequency=1)
    assert not plain.byte_fallback
    assert [model.id_to_token(i) for i in range(261, len(model))] == [plain.id_to_token(i) for i in range(5, len(plain))]
    with pytest.raises(TypeError) as caught:
        morfex.train(["ab"], byte_fallback=1)
    assert str(caught.value) == "byte_fallback must be a bool, not int"


def spaced_warnings(lines):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        morfex.train(lines, min_frequency=1)
    return [str(warning.message) for warning in caught if warning.category is CorpusWarning]


TAIL = ": a line is one word, so the space becomes part of it; train running text with train_text() (morfex train --text)"


@pytest.mark.parametrize(
    ("lines", "expected"),
    [
        (["ab", "cd"], []),
        (["ab", "c d"], ["1 line holds a space (line 2)" + TAIL]),
        (["a b", "", "x", " y\t2"], ["2 lines hold a space (lines 1, 4)" + TAIL]),
        ([f"a {n}" if n % 2 else "b" for n in range(1, 16)], ["8 lines hold a space (lines 1, 3, 5, 7, 9, ...)" + TAIL]),
    ],
)
def test_word_lines_holding_spaces_warn(lines, expected):
    assert spaced_warnings(lines) == expected


def test_file_messages_name_the_file(tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_text("\n\n")
    with pytest.raises(CorpusError) as caught:
        morfex.train_file(empty)
    assert str(caught.value) == f"{empty}: no words to train on"
    with pytest.raises(CorpusError) as caught:
        morfex.train_text([empty, empty])
    assert str(caught.value) == f"{empty}, {empty}: no text to train on"
    blank = tmp_path / "blank.txt"
    blank.write_text("")
    with pytest.raises(CorpusError) as caught:
        morfex.train_text([blank])
    assert str(caught.value) == f"{blank}: no text to train on"
    with pytest.raises(CorpusError) as caught:
        morfex.train_text([])
    assert str(caught.value) == "no files to train on"
    with pytest.raises(CorpusError) as caught:
        morfex.train_text([tmp_path / "absent"])
    assert str(caught.value) == f"{tmp_path / 'absent'}: cannot read: No such file or directory"


TEXT = "Kot ma kota.\n\nA  kot, ma 12 łapy\u0301!\r\n  pies▁ami i koty  \n" * 3


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 5, 7, 64, 1 << 20])
def test_pieces_are_counted_alike_in_any_chunk_size(tmp_path, chunk_size):
    path = tmp_path / "text.txt"
    path.write_text(TEXT, encoding="utf-8")
    assert count_pieces([path, path], chunk_size=chunk_size) == collections.Counter(text_pieces.split(TEXT) * 2)


@pytest.mark.parametrize("chunk_size", [1, 2, 3, 4, 6, 1 << 20])
@pytest.mark.parametrize(
    ("data", "where"),
    [(b"ab\ncd\xffe", "line 2: not UTF-8 text (bad byte at column 3)"),
     ("ab\nłł".encode() + b"\xc5", "line 2: not UTF-8 text (bad byte at column 5)"),
     (b"\xe2\x96x", "line 1: not UTF-8 text (bad byte at column 1)")],
)
def test_bad_utf8_is_named_alike_in_any_chunk_size(tmp_path, chunk_size, data, where):
    path = tmp_path / "bad.txt"
    path.write_bytes(data)
    with pytest.raises(CorpusError) as caught:
        count_pieces([path], chunk_size=chunk_size)
    assert str(caught.value) == f"{path}: {where}"


def test_text_trains_on_segmented_piece_counts(tmp_path):
    path = tmp_path / "text.txt"
    path.write_text(TEXT, encoding="utf-8")
    calls = []

    def segment(word):
        calls.append(word)
        return word[:2] + MARKER + word[2:] if len(word) > 2 else word

    model = morfex.train_text([path], segment=segment, vocab_size=70, min_frequency=1)
    # Each distinct word once; the parts of a word that carries markers apart.
    words = {p.lstrip(" ") for p in text_pieces.split(TEXT.replace(MARKER, " ")) if text_pieces.is_word(p)}
    assert sorted(calls) == sorted(words)
    expected = collections.Counter()
    for piece in text_pieces.split(TEXT):
        if text_pieces.is_word(piece):
            space = " " if piece.startswith(" ") else ""
            piece = space + MARKER.join(segment(part) for part in piece.lstrip(" ").split(MARKER))
        expected[piece] += 1
    assert morfex.dumps(model) == morfex.dumps(morfex.train_counts(expected, vocab_size=70, min_frequency=1))
    assert {"\n", " ", "!", "\r"} <= set(model.vocab)


def test_a_segmenter_must_return_the_word():
    with pytest.raises(ValueError) as caught:
        segment_pieces({" kot": 2}, lambda word: word + "s")
    assert str(caught.value) == "segment('kot') returned 'kots', not the word with ▁ between its morphemes"


def run_cli(*args):
    from morfex import cli
    return cli.main(["train", "-q", *map(str, args)])


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--text", "{text}", "--morfessor", "{text}"], 1,
         "{text}, line 1: bad count 'Kot': expected a whole number from 1 to 9007199254740991"),
        # A bad command line.
        (["{text}", "--morfessor", "{text}"], 2, "--morfessor and --train-segmenter segment --text input"),
        (["--text", "{blank}"], 1, "{blank}: no text to train on"),
    ],
)
def test_cli_text_errors(tmp_path, monkeypatch, capsys, args, status, message):
    monkeypatch.setitem(sys.modules, "morfessor", None)
    (tmp_path / "text.txt").write_text(TEXT)
    (tmp_path / "blank.txt").write_text(" \n")
    names = {"{text}": str(tmp_path / "text.txt"), "{blank}": str(tmp_path / "blank.txt")}

    def fill(text):
        for key, value in names.items():
            text = text.replace(key, value)
        return text

    assert run_cli(*map(fill, args)) == status
    assert capsys.readouterr().err == f"morfex: error: {fill(message)}\n"


def test_cli_trains_on_text_with_byte_fallback(tmp_path, capsys):
    path = tmp_path / "text.txt"
    path.write_text(TEXT)
    assert run_cli("--text", path, "--byte-fallback", "--vocab-size", "300", "-o", tmp_path / "m.json") == 0
    model = morfex.load(tmp_path / "m.json")
    expected = morfex.train_text([path], vocab_size=300, byte_fallback=True)
    assert morfex.dumps(model) == morfex.dumps(expected)
    assert [model.id_to_token(i) for i in range(5, 261)] == BYTE_TOKENS


def test_cli_segments_text_with_a_morfessor_segmentation(tmp_path):
    path = tmp_path / "text.txt"
    path.write_text("koty kotami domami domy\n" * 4)
    segmentation = tmp_path / "seg.txt"
    segmentation.write_text("4 kot + y\n4 kot + ami\n4 dom + ami\n4 dom + y\n")
    assert run_cli("--text", path, "--morfessor", segmentation, "--min-frequency", "1", "-o", tmp_path / "m.json") == 0
    model = morfex.load(tmp_path / "m.json")
    assert not any(MARKER in left + right for left, right in model.merges)
    assert " kot" in model.vocab and "ami" in model.vocab and " kotami" not in model.vocab
    # The model keeps its segmenter, so it segments new text as it was trained.
    assert model.segmenter == morfex.Segmenter.from_morfessor(segmentation)
    assert [model.id_to_token(i) for i in model.encode_text(" domy", markers=True)] == [" dom", MARKER, "y"]
    # The native trainer needs no morfessor package, and gives the same model every run.
    with pytest.MonkeyPatch.context() as patch:
        patch.setitem(sys.modules, "morfessor", None)
        assert run_cli("--text", path, "--train-segmenter", "-o", tmp_path / "t.json") == 0
    assert run_cli("--text", path, "--train-segmenter", "-o", tmp_path / "u.json") == 0
    assert (tmp_path / "t.json").read_bytes() == (tmp_path / "u.json").read_bytes()

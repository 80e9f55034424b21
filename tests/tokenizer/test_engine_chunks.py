"""The engine's chunk functions for the command line: split, validate, encode, format."""

import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morfex
from morfex._engine import format_lines as format_ids

SEPARATORS = " \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f"


@pytest.fixture(scope="module")
def tok():
    return morfex.default_model()


def per_line(tok, data):
    """str.split() per line, but at ASCII whitespace only: U+00A0 and the like stay in words."""
    lines = data.decode("utf-8").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [[i for w in re.split(f"[{SEPARATORS}]", line) if w for i in tok.encode(w)] for line in lines]


@settings(deadline=None, max_examples=150)
@given(
    st.lists(st.sampled_from(["kot", "\u2581ami", "dom", "\U0001F600", "\u00e9", "\u00a0", "\x00", *SEPARATORS])).map(
        "".join
    ),
    st.sampled_from([1, 2]),
)
def test_chunks_encode_as_str_split_per_line(data, threads):
    tok = morfex.default_model()
    raw = data.encode()
    ids, lines = tok.encode_word_lines(raw, threads=threads)
    expected = per_line(tok, raw)
    assert [ids[lines[i] : lines[i + 1]].tolist() for i in range(len(lines) - 1)] == expected
    assert format_ids(ids, lines) == "".join(" ".join(map(str, line)) + "\n" for line in expected).encode()


@settings(deadline=None, max_examples=300)
@given(st.binary(max_size=40))
def test_invalid_utf8_names_the_offset_python_reports(raw):
    tok = morfex.default_model()
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError as error:
        with pytest.raises(ValueError, match=f"^invalid UTF-8 at byte offset {error.start}$") as caught:
            tok.encode_word_lines(raw)
        assert caught.value.offset == error.start
    else:
        tok.encode_word_lines(raw)


@pytest.mark.parametrize("data", [bytearray(b"kot dom\n"), memoryview(b"kot dom\n"), np.frombuffer(b"kot dom\n", "u1")])
def test_any_bytes_like_chunk_is_read(tok, data):
    ids, lines = tok.encode_word_lines(data)
    assert ids.tolist() == tok.encode("kot") + tok.encode("dom") and lines.tolist() == [0, len(ids)]


def test_a_str_chunk_is_refused(tok):
    with pytest.raises(TypeError, match="'str' object cannot be converted to 'bytes-like object'"):
        tok.encode_word_lines("kot")


def test_a_large_chunk_on_two_threads(tok):
    line = "kot\u2581ami dom \u2581ami kot\n"
    raw = (line * 100_000).encode()
    ids, lines = tok.encode_word_lines(raw, threads=2)
    one = [i for w in line.split() for i in tok.encode(w)]
    assert len(lines) == 100_001 and len(ids) == 100_000 * len(one)
    assert format_ids(ids, lines) == ((" ".join(map(str, one)) + "\n") * 100_000).encode()

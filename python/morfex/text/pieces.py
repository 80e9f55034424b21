"""Cutting running text into pieces: words, numbers, punctuation and whitespace.

Every character belongs to exactly one piece, in order. A word is a run of
letters, combining marks and "▁"; a number a run of numbers (N*); punctuation
a run of anything else that is not whitespace. Each of these may start with
one U+0020 space. Whitespace is a run of characters for which str.isspace()
is true, without its last space when that space is followed by a
non-whitespace character: that space leads the next piece, so
"a  b" -> ["a", " ", " b"] and "a\\nb" -> ["a", "\\n", "b"].

The rule has one home, the engine's native splitter, which encoding uses too;
these are its Python faces for training and the command line.
"""

from __future__ import annotations

from morfex import _engine


def split(text: str) -> list[str]:
    """The pieces of `text`, in order; joined they give `text` back."""
    return [text[start:end] for start, end, _ in _engine.split_text(text)]


def is_word(piece: str) -> bool:
    """Whether `piece` (one piece of `split`) is a word, the only kind that is segmented."""
    pieces = _engine.split_text(piece)
    return len(pieces) == 1 and pieces[0][2] == "word"

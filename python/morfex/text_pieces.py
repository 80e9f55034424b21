"""Cutting running text into pieces: words, numbers, punctuation and whitespace.

Every character belongs to exactly one piece, in order. A word is a run of
letters, combining marks and "▁"; a number a run of numbers (N*); punctuation
a run of anything else that is not whitespace. Each of these may start with
one U+0020 space. Whitespace is a run of characters for which str.isspace()
is true, without its last space when that space is followed by a
non-whitespace character: that space leads the next piece, so
"a  b" -> ["a", " ", " b"] and "a\nb" -> ["a", "\n", "b"].
"""

from __future__ import annotations

import functools
import re
import sys
import unicodedata

from morfex.vocabulary import MARKER


def _ranges(categories: bytes, wanted: str) -> str:
    """A regex class body of the code points whose major category (a letter of `categories`) is in `wanted`."""
    runs = re.finditer(f"[{wanted}]+".encode(), categories)
    return "".join(
        re.escape(chr(run.start())) + ("" if run.end() - run.start() == 1 else "-" + re.escape(chr(run.end() - 1)))
        for run in runs
    )


@functools.cache
def _patterns() -> tuple[re.Pattern[str], re.Pattern[str]]:
    # Built on first use: reading every code point's category takes a fraction of a second.
    categories = bytes(ord(unicodedata.category(chr(code))[0]) for code in range(sys.maxunicode + 1))
    word = f"[{_ranges(categories, 'LM')}{re.escape(MARKER)}]"
    number = f"[{_ranges(categories, 'N')}]"
    other = f"[^\\s{_ranges(categories, 'LMN')}{re.escape(MARKER)}]"
    pieces = re.compile(f" ?{word}+| ?{number}+| ?{other}+|\\s+?(?= \\S)|\\s+")
    return pieces, re.compile(f" ?{word}+")


def split(text: str) -> list[str]:
    """The pieces of `text`, in order; joined they give `text` back."""
    return _patterns()[0].findall(text)


def is_word(piece: str) -> bool:
    """Whether `piece` (one piece of `split`) is a word, the only kind that is segmented."""
    return _patterns()[1].fullmatch(piece) is not None

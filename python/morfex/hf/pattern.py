"""The rule that cuts running text into pieces, written as one regular expression.

Built from the engine's own character classes, range by range, so that a
regex engine with another Unicode version still cuts text exactly as
encode_text does. The syntax is Oniguruma's, which Hugging Face `tokenizers`
runs for a Split pre-tokenizer.
"""

from __future__ import annotations

import functools
from itertools import groupby

from morfex import _engine

def classes() -> dict[str, list[tuple[int, int]]]:
    """Kind ("word", "number", "space") to its ranges of code points, first and last included."""
    points = [point for point in range(0x110000) if not 0xD800 <= point <= 0xDFFF]
    text = "".join(map(chr, points))
    kinds = ["punctuation"] * len(points)
    for start, end, kind in _engine.split_text(text):
        kinds[start:end] = [kind] * (end - start)
        # U+0020 leads the piece after it, but is whitespace itself.
        if text[start] == " ":
            kinds[start] = "space"
    ranges: dict[str, list[tuple[int, int]]] = {"word": [], "number": [], "space": []}
    index = 0
    for kind, run in groupby(kinds):
        length = sum(1 for _ in run)
        if kind in ranges:
            ranges[kind].append((points[index], points[index + length - 1]))
        index += length
    return ranges


def _set(ranges: list[tuple[int, int]]) -> str:
    return "".join(f"\\x{{{first:X}}}" if first == last else f"\\x{{{first:X}}}-\\x{{{last:X}}}" for first, last in ranges)


@functools.cache
def pattern() -> str:
    """Matches the pieces of running text one by one, as the engine cuts them."""
    ranges = classes()
    word, number, space = (_set(ranges[kind]) for kind in ("word", "number", "space"))
    other = f"[^{word}{number}{space}]"
    return (
        f"\\x{{20}}?[{word}]+|\\x{{20}}?[{number}]+|\\x{{20}}?{other}+"
        # A run of whitespace leaves its last U+0020 to a piece that follows.
        f"|[{space}]+(?=\\x{{20}}[^{space}])|[{space}]+"
    )

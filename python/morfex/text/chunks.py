"""Reading lines of input in bounded pieces, with the position of each piece kept.

A piece ends after its last b"\\n"; a piece without one (part of a long line)
ends where its cut says: by default after its last ASCII whitespace byte, so
no word and no UTF-8 sequence is ever cut in two (only a single word with no
whitespace at all is read whole, however long); with `text_cut`, before a
space that follows a character other than whitespace, where running text
falls into the same pieces whether it is cut there or not; with `id_cut`,
also at the first character that no token id holds, so that a line of ids
is refused before it is read whole.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Callable, Iterator
from typing import BinaryIO

# The bytes the engine splits words at: what str.split() splits at among ASCII characters.
WHITESPACE = b" \t\n\v\f\r\x1c\x1d\x1e\x1f"
CHUNK_SIZE = 4 << 20


@dataclasses.dataclass
class Piece:
    data: bytes
    # The input line the piece starts in (from 1), and how many bytes of that
    # line earlier pieces held.
    line: int
    column: int

    @property
    def ends_line(self) -> bool:
        return self.data.endswith(b"\n")

    def position(self, offset: int) -> tuple[int, int]:
        """Line and column (from 1) in the whole input of the byte at `offset` of the piece."""
        line_start = self.data.rfind(b"\n", 0, offset) + 1
        line = self.line + self.data.count(b"\n", 0, offset)
        return line, offset - line_start + 1 + (self.column if line_start == 0 else 0)


# Where a piece of a long line may end: the length of the piece taken from
# `data`, searching only at or after `start`, or 0 when there is no such place.
Cut = Callable[[bytearray, int], int]


def word_cut(data: bytearray, start: int) -> int:
    """After the last ASCII whitespace byte."""
    return max(data.rfind(byte, start) for byte in WHITESPACE) + 1


_NOT_A_DIGIT = re.compile(rb"[^0-9]")
# The bytes that continue a UTF-8 sequence; any other starts a character.
_UTF8_CONTINUATION = range(0x80, 0xC0)


def id_cut(data: bytearray, start: int) -> int:
    """After the last ASCII whitespace byte, else around the first character that no id holds.

    An id is ASCII digits, so a line of ids without whitespace is cut at the
    first other character: after an ASCII one (which makes the line faulty at
    once: a run of NUL bytes is refused, not read whole), before a non-ASCII
    one (which may be a space between ids), or after it when it comes first.
    """
    cut = word_cut(data, start)
    if cut:
        return cut
    found = _NOT_A_DIGIT.search(data, start)
    if found is None:
        return 0
    index = found.start()
    if data[index] < 0x80:
        return index + 1
    while index > 0 and data[index] in _UTF8_CONTINUATION:
        index -= 1
    if index > 0:
        return index
    length = 1
    while length < len(data) and length < 4 and data[length] in _UTF8_CONTINUATION:
        length += 1
    # The character is complete once a byte that cannot continue it follows.
    return length if length < len(data) else 0


def _ends_in_whitespace(data: bytearray, end: int) -> bool:
    """Whether the character ending at `end` is whitespace (a malformed one is not)."""
    begin = end - 1
    while begin > 0 and end - begin < 4 and 0x80 <= data[begin] < 0xC0:
        begin -= 1
    return bytes(data[begin:end]).decode("utf-8", "replace").isspace()


def text_cut(data: bytearray, start: int) -> int:
    """Before the last U+0020 that follows a character other than whitespace.

    Such a space starts a piece of running text (it leads a word, number or
    punctuation, or opens a run of whitespace) and the piece before it ends
    there, so the text on each side splits as it would whole.
    """
    index = len(data)
    while (index := data.rfind(b" ", max(start, 1), index)) > 0:
        if not _ends_in_whitespace(data, index):
            return index
    return 0


def pieces(stream: BinaryIO, size: int | None = None, cut_line: Cut = word_cut) -> Iterator[Piece]:
    """The input in pieces of about `size` (default CHUNK_SIZE) bytes or what a pipe has ready, whichever is less."""
    size = CHUNK_SIZE if size is None else size
    # read1 returns what a pipe holds without waiting for `size` bytes, so
    # interactive input is answered line by line.
    read = getattr(stream, "read1", stream.read)
    pending = bytearray()
    # Bytes of `pending` before this index hold no place to cut.
    unsearched = 0
    line, column = 1, 0
    while True:
        data = read(size)
        if not data:
            break
        start = len(pending)
        pending += data
        cut = pending.rfind(b"\n", start) + 1
        if cut == 0:
            cut = cut_line(pending, unsearched)
        if cut == 0:
            unsearched = len(pending)
            continue
        piece = Piece(bytes(pending[:cut]), line, column)
        del pending[:cut]
        unsearched = len(pending) if not piece.ends_line else 0
        newlines = piece.data.count(b"\n")
        line += newlines
        column = len(piece.data) - piece.data.rfind(b"\n") - 1 if newlines else column + len(piece.data)
        yield piece
    if pending:
        yield Piece(bytes(pending), line, column)

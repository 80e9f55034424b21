"""Reading lines of input in bounded pieces, with the position of each piece kept.

A piece ends after its last b"\\n"; a piece without one (part of a long line)
ends after its last ASCII whitespace byte, so no word and no UTF-8 sequence
is ever cut in two. Only a single word with no whitespace at all is read
whole, however long.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterator
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


def _last_whitespace(data: bytearray, start: int) -> int:
    return max(data.rfind(byte, start) for byte in WHITESPACE)


def pieces(stream: BinaryIO, size: int | None = None) -> Iterator[Piece]:
    """The input in pieces of about `size` (default CHUNK_SIZE) bytes or what a pipe has ready, whichever is less."""
    size = CHUNK_SIZE if size is None else size
    # read1 returns what a pipe holds without waiting for `size` bytes, so
    # interactive input is answered line by line.
    read = getattr(stream, "read1", stream.read)
    pending = bytearray()
    # Bytes of `pending` before this index hold no whitespace.
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
            cut = _last_whitespace(pending, unsearched) + 1
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

"""Decoding UTF-8 input, with a fault named by its file, line and column, in one wording everywhere."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from morfex.text.chunks import Piece


def fault(name: str, line: int, column: int) -> str:
    """The message for a byte that is not UTF-8 at `line` and `column` (both from 1) of `name`."""
    return f"{name}: line {line}: not UTF-8 text (bad byte at column {column})"


def decode(data: bytes, name: str, error: type[Exception], first_line: int = 1) -> str:
    """`data` as text; a bad byte raises `error` naming `name`, the line and the byte's column.

    `first_line` is the number of the line that `data` starts with, for
    callers that decode a file line by line.
    """
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as bad:
        line_start = data.rfind(b"\n", 0, bad.start) + 1
        line = first_line + data.count(b"\n", 0, bad.start)
        raise error(fault(name, line, bad.start - line_start + 1)) from None


def decode_piece(piece: Piece, name: str, error: type[Exception]) -> str:
    """The text of a piece of input; a bad byte raises `error` with its place in the whole input."""
    try:
        return piece.data.decode("utf-8")
    except UnicodeDecodeError as bad:
        raise error(fault(name, *piece.position(bad.start))) from None

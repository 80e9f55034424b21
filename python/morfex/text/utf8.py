"""Decoding UTF-8 input, with a fault named by its line and column."""

from __future__ import annotations


def decode(data: bytes, name: str, error: type[Exception], first_line: int = 1) -> str:
    """`data` as text; a bad byte raises `error` naming `name`, the line and the byte's column.

    `first_line` is the number of the line that `data` starts with, for
    callers that decode a file line by line.
    """
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as fault:
        line_start = data.rfind(b"\n", 0, fault.start) + 1
        line = first_line + data.count(b"\n", 0, fault.start)
        column = fault.start - line_start + 1
        raise error(f"{name}: line {line}: not UTF-8 text (bad byte at column {column})") from None

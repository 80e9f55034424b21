"""The error of an evaluation, and reading its input files with faults named by file and line."""

from __future__ import annotations

from collections.abc import Iterator

from morfex.text import utf8


class EvaluationError(ValueError):
    """An input of an evaluation that cannot be read or used; the message names the file and line."""


def read_text(path: str) -> str:
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise EvaluationError(f"{path}: cannot read: {error.strerror}") from None
    return utf8.decode(data, path, EvaluationError)


def read_lines(path: str) -> Iterator[tuple[int, str]]:
    """The lines of a UTF-8 file, numbered from 1, without their line breaks."""
    text = read_text(path)
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    return enumerate(lines, 1)

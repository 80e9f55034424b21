"""Lines of running text for the command line: each line, its line break included, is one text.

Encoding a line as a text keeps its line break (b"\\n", or b"\\r\\n") among
its ids, so decoding the ids of each line and joining them, with nothing in
between, gives the input back byte for byte.
"""

from __future__ import annotations

import codecs

from morfex.sequences import Ids, Offsets
from morfex.tokenizer import Segmenter, Tokenizer
from morfex.vocabulary import byte_token

# How --tokens shows the characters of a token that would not read as one
# field of a line: a space as "␣", the rest as Python escapes. A "␣" or a
# backslash of the token itself is escaped too, so the display reads one way only.
OPEN_BOX = "\u2423"
_ESCAPES = {" ": OPEN_BOX, "\\": "\\\\", OPEN_BOX: "\\u2423", "\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(character: str) -> str:
    shown = _ESCAPES.get(character)
    if shown is not None:
        return shown
    if character.isprintable():
        return character
    code = ord(character)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def show_token(token: str) -> str:
    """`token` as --tokens writes it: one field without spaces, line breaks or control characters."""
    if token.isprintable() and not any(character in token for character in " \\" + OPEN_BOX):
        return token
    return "".join(map(_escape, token))


def encode_lines(
    tokenizer: Tokenizer, data: bytes, threads: int, segmenter: Segmenter, markers: bool
) -> tuple[Ids, Offsets]:
    """The ids of each line of UTF-8 `data` as running text, and where each line's ids start (one more for the end).

    Bytes that are not UTF-8 raise ValueError with the offset of the first bad one as its `offset` attribute.
    """
    return tokenizer.encode_text_lines(data, threads=threads, markers=markers, segmenter=segmenter)


class LineDecoder:
    """Decodes lines of ids that may come in parts, as decode_text decodes each whole line.

    A run of byte tokens is read as UTF-8 as a whole: the byte tokens that end
    a part in the middle of a character wait for the rest of their line.
    """

    def __init__(self, tokenizer: Tokenizer, threads: int) -> None:
        self.tokenizer = tokenizer
        self.threads = threads
        self.bytes: dict[int, int] = {}
        if tokenizer.byte_fallback:
            for value in range(256):
                token_id = tokenizer.token_to_id(byte_token(value))
                if token_id is not None:
                    self.bytes[token_id] = value
        self.waiting: list[int] = []

    def _unfinished(self, ids: list[int]) -> int:
        """How many byte tokens at the end of `ids` start a character that later ids may finish."""
        tail = bytearray()
        # A UTF-8 sequence is at most 4 bytes: at most 3 of them can wait for the rest.
        for token_id in reversed(ids[-3:]):
            value = self.bytes.get(token_id)
            if value is None:
                break
            tail.insert(0, value)
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        decoder.decode(bytes(tail))
        return len(decoder.getstate()[0])

    def decode(self, lines: list[list[int]], open_end: bool) -> str:
        """The text of `lines`, the first continuing the line left open; with `open_end` the last goes on later."""
        if self.waiting:
            if lines:
                lines[0][:0] = self.waiting
            else:
                lines.append(self.waiting)
            self.waiting = []
        if open_end and lines and self.bytes:
            last = lines[-1]
            waiting = self._unfinished(last)
            if waiting:
                self.waiting = last[-waiting:]
                del last[-waiting:]
        return "".join(self.tokenizer.decode_text_batch(lines, threads=self.threads))

    def finish(self) -> str:
        """The text of the ids still waiting, at the end of the input."""
        return self.decode([], False)

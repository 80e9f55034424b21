"""`morfex decode`: lines of ids back to text."""

from __future__ import annotations

import argparse

from morfex.cli import running_lines
from morfex.cli.common import EXIT_OK, CliError, chosen_model, thread_count, utf8_fault
from morfex.cli.files import Output, input_pieces, open_input
from morfex.text import chunks as chunked_input
from morfex.text.chunks import id_cut
from morfex.tokenizer import Tokenizer
from morfex.vocabulary import MAX_ID

# Characters of a faulty field that its message shows.
FIELD_SHOWN = 24


def parse_ids(name: str, number: int, line: str) -> list[int]:
    ids = []
    for field in line.split():
        # Leading zeros aside, an id has at most as many digits as the largest.
        if not (field.isascii() and field.isdigit()) or len(field.lstrip("0")) > len(str(MAX_ID)) or int(field) > MAX_ID:
            shown = repr(field) if len(field) <= FIELD_SHOWN else repr(field[:FIELD_SHOWN] + "...")
            raise CliError(f"{name}: line {number}: {shown} is not a token id (0 to {MAX_ID})")
        ids.append(int(field))
    return ids


def parse_line(name: str, number: int, line: bytes) -> list[int]:
    fields = line.split()
    if not fields:
        return []
    # Plain decimal fields take the fast path; anything else (a bad field,
    # a non-ASCII space) is judged on the text, as str.split() sees it.
    if b"".join(fields).isdigit() and all(len(field) <= 10 for field in fields):
        ids = list(map(int, fields))
        if max(ids) <= MAX_ID:
            return ids
    return parse_ids(name, number, line.decode("utf-8"))


class WordLines:
    """Decoded lines of --words: the text of each line of ids, then a line break."""

    def __init__(self, tokenizer: Tokenizer, threads: int) -> None:
        self.tokenizer = tokenizer
        self.threads = threads
        self.open = False

    def decode(self, lines: list[list[int]], open_end: bool) -> str:
        texts = self.tokenizer.decode_batch(lines, threads=self.threads)
        complete = len(texts) - 1 if open_end else len(texts)
        self.open = open_end
        return "".join(text + "\n" for text in texts[:complete]) + "".join(texts[complete:])

    def finish(self) -> str:
        return "\n" if self.open else ""


def run_decode(args: argparse.Namespace) -> int:
    _, tokenizer = chosen_model(args)
    threads = thread_count()
    decoder = WordLines(tokenizer, threads) if args.words else running_lines.LineDecoder(tokenizer, threads)
    name, opened = open_input(args.input)
    with opened as stream, Output(args.output) as out:
        # Parsing holds each id of a piece as a Python object for a moment:
        # smaller pieces keep that at a few tens of MB.
        for piece in input_pieces(name, stream, args, max(1, chunked_input.CHUNK_SIZE // 4), id_cut):
            fault: CliError | None = None
            data = piece.data
            try:
                data.decode("utf-8")
            except UnicodeDecodeError as error:
                fault = utf8_fault(name, piece, error.start)
                data = data[: data.rfind(b"\n", 0, error.start) + 1]
            lines = data.split(b"\n")
            # A piece that ends a line leaves an empty field after the last b"\n".
            if data.endswith(b"\n") or not data:
                lines.pop()
            batch = []
            for index, line in enumerate(lines):
                try:
                    batch.append(parse_line(name, piece.line + index, line))
                except CliError as error:
                    fault = error
                    break
            out.write(decoder.decode(batch, fault is None and not piece.ends_line))
            if fault is not None:
                raise fault
        out.write(decoder.finish())
    return EXIT_OK

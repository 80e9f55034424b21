"""`morfex encode`: text to ids, as text lines or `.npy` arrays."""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np

from morfex._engine import format_lines
from morfex.cli import running_lines
from morfex.cli.common import (
    EXIT_OK,
    STDIO,
    UsageError,
    chosen_model,
    thread_count,
    utf8_fault,
)
from morfex.cli.files import Output, input_pieces, open_input, outputs_together
from morfex.cli.npy_stream import NpyWriter, offsets_path
from morfex.formats.special_roles import USUAL_SPELLINGS
from morfex.sequences import Ids, Offsets
from morfex.text import chunks as chunked_input
from morfex.text.chunks import Cut, text_cut, word_cut
from morfex.tokenizer import Tokenizer


class TextLines:
    """Encoded lines as text: ids (or token strings) joined by spaces, a line per input line."""

    def __init__(self, out: Output, tokenizer: Tokenizer, tokens: bool, show: Callable[[str], str]) -> None:
        self.out = out
        self.tokenizer = tokenizer if tokens else None
        self.show = show
        # Whether ids of the line still open (continued in the next piece) are written already.
        self.open_ids = False

    def _render(self, ids: Ids, offsets: Offsets) -> bytes:
        if self.tokenizer is None:
            return format_lines(ids, offsets)
        unknown = self.tokenizer.special_tokens.get("unk", USUAL_SPELLINGS["unk"])
        tokens = [self.tokenizer.id_to_token(value) for value in ids.tolist()]
        shown = [unknown if token is None else self.show(token) for token in tokens]
        bounds = offsets.tolist()
        lines = (" ".join(shown[begin:end]) for begin, end in zip(bounds, bounds[1:]))
        return "".join(line + "\n" for line in lines).encode("utf-8")

    def add(self, ids: Ids, offsets: Offsets, ends_line: bool) -> None:
        text = self._render(ids, offsets)
        if self.open_ids and offsets[1] > offsets[0]:
            text = b" " + text
        if ends_line:
            self.open_ids = False
        else:
            # The last line goes on in the next piece: its newline comes later.
            text = text[:-1]
            last = offsets[-1] > offsets[-2]
            self.open_ids = last or (self.open_ids and len(offsets) == 2)
        self.out.write_bytes(text)

    def finish(self, ends_line: bool) -> None:
        if not ends_line:
            self.out.write_bytes(b"\n")


class NpyLines:
    """Encoded lines as two `.npy` arrays: the ids, and where each line's ids start and end."""

    def __init__(self, ids: Output, offsets: Output) -> None:
        self.ids = NpyWriter(ids, np.uint32)
        self.offsets = NpyWriter(offsets, np.int64)
        self.offsets.append([0])

    def add(self, ids: Ids, offsets: Offsets, ends_line: bool) -> None:
        # The end of a line still open is written once the line ends.
        ends = offsets[1:] if ends_line else offsets[1:-1]
        self.offsets.append(ends + self.ids.length)
        self.ids.append(ids)

    def finish(self, ends_line: bool) -> None:
        if not ends_line:
            self.offsets.append([self.ids.length])
        self.ids.finish()
        self.offsets.finish()


Encode = Callable[[bytes], tuple[Ids, Offsets]]


def line_encoder(args: argparse.Namespace, tokenizer: Tokenizer) -> tuple[Encode, Cut, int]:
    """How the lines of a piece are encoded, where a long line may be cut into pieces, and the pieces' size."""
    threads = thread_count()
    if args.words:
        return (lambda data: tokenizer.encode_word_lines(data, threads=threads)), word_cut, chunked_input.CHUNK_SIZE
    segmenter = None if args.segmenter == "none" else tokenizer.segmenter
    # Running text holds some 30 bytes per byte of a piece while it is encoded
    # (its text, pieces and segments as objects): smaller pieces keep that to
    # tens of MB, at no cost in speed.
    return (lambda data: running_lines.encode_lines(tokenizer, data, threads, segmenter, args.markers), text_cut,
            max(1, chunked_input.CHUNK_SIZE // 4))


def bad_byte(error: ValueError) -> int | None:
    """The offset of the first byte that is not UTF-8, when that is what `error` is about."""
    offset = error.start if isinstance(error, UnicodeDecodeError) else getattr(error, "offset", None)
    return offset if isinstance(offset, int) else None


def encode_pieces(args: argparse.Namespace, tokenizer: Tokenizer, sink: TextLines | NpyLines) -> None:
    encode, cut, size = line_encoder(args, tokenizer)
    name, opened = open_input(args.input)
    ends_line = True
    with opened as stream:
        for piece in input_pieces(name, stream, args, size, cut):
            try:
                ids, offsets = encode(piece.data)
            except ValueError as error:
                offset = bad_byte(error)
                if offset is None:
                    raise
                # The lines before the faulty one are written, as they would be line by line.
                whole = piece.data[: piece.data.rfind(b"\n", 0, offset) + 1]
                if whole:
                    sink.add(*encode(whole), True)
                raise utf8_fault(name, piece, offset) from None
            sink.add(ids, offsets, piece.ends_line)
            ends_line = piece.ends_line
    sink.finish(ends_line)


def run_encode(args: argparse.Namespace) -> int:
    if args.words and args.segmenter is not None:
        raise UsageError("--segmenter segments running text: it cannot go with --words")
    if args.words and args.markers:
        raise UsageError("--markers keeps the marker ids of running text: --words keeps them always")
    if args.format == "npy" and args.tokens:
        raise UsageError("--tokens writes text: it cannot go with --format npy")
    if args.format == "npy" and args.output == STDIO:
        raise UsageError("--format npy needs -o naming a file: its header is rewritten at the end")
    _, tokenizer = chosen_model(args)
    if args.format == "text":
        show = str if args.words else running_lines.show_token
        with Output(args.output) as out:
            encode_pieces(args, tokenizer, TextLines(out, tokenizer, args.tokens, show))
        return EXIT_OK
    # The ids file takes its place last: a reader that finds it new finds its offsets new too.
    with outputs_together([args.output, offsets_path(args.output)], seekable=True) as (ids, offsets):
        encode_pieces(args, tokenizer, NpyLines(ids, offsets))
    return EXIT_OK

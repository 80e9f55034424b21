"""Training on running text: pieces counted once, each distinct word segmented once."""

from __future__ import annotations

import collections
import os
from collections.abc import Callable, Iterable, Iterator, Mapping

from morfex.text import chunks, utf8
from morfex.text import pieces as text_pieces
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer
from morfex.training.words import CorpusError, Progress, TrainingOptions, train_counted
from morfex.vocabulary import MARKER

Segment = Callable[[str], str]
Split = Callable[[str], list[str]]

def _blocks(path: str | os.PathLike[str], name: str, chunk_size: int) -> Iterator[str]:
    """The text of a UTF-8 file in pieces of about `chunk_size` bytes, cut where running text splits alike."""
    try:
        with open(path, "rb") as stream:
            for piece in chunks.pieces(stream, chunk_size, chunks.text_cut):
                yield utf8.decode_piece(piece, name, CorpusError)
    except OSError as error:
        raise CorpusError(f"{name}: cannot read: {error.strerror}") from None


def count_pieces(paths: Iterable[str | os.PathLike[str]], split: Split = text_pieces.split,
                 chunk_size: int = chunks.CHUNK_SIZE) -> collections.Counter[str]:
    """How often each piece occurs in the files, read in bounded chunks.

    Each file is cut as one text: the last piece of a chunk is held back and
    cut again with the next chunk, as it may continue there.
    """
    counts: collections.Counter[str] = collections.Counter()
    for path in paths:
        held = ""
        for block in _blocks(path, os.fsdecode(path), chunk_size):
            pieces = split(held + block)
            held = pieces.pop() if pieces else ""
            counts.update(pieces)
        if held:
            counts[held] += 1
    return counts


def _segmented(word: str, segment: Segment) -> str:
    # Text that carries markers already keeps them; only the parts between are segmented.
    parts = []
    for part in word.split(MARKER):
        result = segment(part) if part else part
        if not isinstance(result, str) or result.replace(MARKER, "") != part:
            raise ValueError(f"segment({part!r}) returned {result!r}, not the word with ▁ between its morphemes")
        parts.append(result)
    return MARKER.join(parts)


def segment_pieces(counts: Mapping[str, int], segment: Segment | None) -> dict[str, int]:
    """The counts with each word piece segmented once; its leading space stays in front."""
    if segment is None:
        return dict(counts)
    units: dict[str, int] = {}
    for piece, count in counts.items():
        if text_pieces.is_word(piece):
            space = " " if piece.startswith(" ") else ""
            piece = space + _segmented(piece[len(space):], segment)
        units[piece] = units.get(piece, 0) + count
    return units


def require_text(counts: Mapping[str, int], names: str) -> None:
    """Refuses files that hold nothing but whitespace: they would train a useless model."""
    if all(piece.isspace() for piece in counts):
        raise CorpusError(f"{names}: no text to train on")


def train_text(
    paths: Iterable[str | os.PathLike[str]],
    *,
    segment: Segment | None = None,
    split: Split = text_pieces.split,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    byte_fallback: bool = TrainingOptions.byte_fallback,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains a tokenizer on UTF-8 files of running text.

    The text is cut into pieces by `split` (words, numbers, punctuation and
    whitespace, each word with its leading space, see `morfex.text.pieces`),
    and every piece is counted, so whitespace and punctuation are in the
    alphabet. `segment(word)` gets each distinct word once, without its
    leading space, and returns it with "▁" between its morphemes; with no
    `segment` the words train unsegmented (markers already in the text are
    kept). Training then runs on the counts (see `train_counts`). The options
    are those of `train`. A `morfex.Segmenter` given as `segment` becomes the
    model's segmenter.
    """
    options = TrainingOptions(vocab_size, min_frequency, alphabet_limit, byte_fallback)
    paths = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    if not paths:
        raise CorpusError("no files to train on")
    names = ", ".join(os.fsdecode(path) for path in paths)
    counts = count_pieces(paths, split)
    require_text(counts, names)
    tokenizer = train_counted(segment_pieces(counts, segment), options, progress, f"{names}: ")
    if isinstance(segment, Segmenter):
        # The model segments new text as its training text was segmented.
        tokenizer.segmenter = segment
    return tokenizer

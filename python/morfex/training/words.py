"""Training a tokenizer from segmented words with the native trainer."""

from __future__ import annotations

import dataclasses
import os
import re
import warnings
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path

from morfex import _trainer
from morfex.text import utf8
from morfex.tokenizer import Tokenizer

Progress = Callable[[int, int], object]


class CorpusError(ValueError):
    """A corpus that cannot be trained on; the message names the file and line at fault."""


class CorpusWarning(UserWarning):
    """A corpus that trains, but likely not as meant; the message names the lines."""


# Line numbers a warning lists before it gives only their count.
_LINES_SHOWN = 5
_SPACED_LINE = re.compile(r"^.* ", re.MULTILINE)


_MOST_IDS = _trainer.MAX_VOCAB_SIZE
_MOST_COUNTED = _trainer.MAX_COUNT


@dataclasses.dataclass(frozen=True)
class TrainingOptions:
    """The training options with their defaults, lowest and highest values and help (see `train`).

    `train`, `train_file`, `train_bytes` and the command line take their
    defaults from here, and building one checks the values.
    """

    vocab_size: int = dataclasses.field(default=8000, metadata={
        "lowest": 0, "highest": _MOST_IDS, "help": "tokens in the finished vocabulary, specials and alphabet included (default: %(default)s)",
    })
    min_frequency: int = dataclasses.field(default=2, metadata={
        "lowest": 1, "highest": _MOST_COUNTED, "help": "merge no pair seen fewer than N times (default: %(default)s)",
    })
    alphabet_limit: int = dataclasses.field(default=0, metadata={
        "lowest": 0, "highest": _MOST_COUNTED, "help": "keep the N most frequent characters, the rest become <unk> (default: %(default)s, keep all)",
    })
    byte_fallback: bool = dataclasses.field(default=False, metadata={
        "help": "reserve the byte tokens <0x00> .. <0xFF> (ids 5 to 260) for characters the vocabulary lacks",
    })

    def __post_init__(self) -> None:
        for option in dataclasses.fields(self):
            value = getattr(self, option.name)
            kind = type(option.default)
            if type(value) is not kind:
                raise TypeError(f"{option.name} must be {'a bool' if kind is bool else 'an int'}, not {type(value).__name__}")
            if kind is int and value < option.metadata["lowest"]:
                raise ValueError(f"{option.name} must be at least {option.metadata['lowest']}, not {value}")
            if kind is int and value > option.metadata["highest"]:
                raise ValueError(f"{option.name} must be at most {option.metadata['highest']}, not {value}")

    def native(self) -> tuple[int, int, int, bool]:
        """The options in the order the native trainer takes them."""
        return self.vocab_size, self.min_frequency, self.alphabet_limit, self.byte_fallback


def _tokenizer(result: tuple[list[str], list[tuple[str, str]]], options: TrainingOptions) -> Tokenizer:
    tokens, merges = result
    return Tokenizer({token: token_id for token_id, token in enumerate(tokens)}, merges,
                     byte_fallback=options.byte_fallback)


def _warn_spaced_lines(corpus: str, source: str) -> None:
    if " " not in corpus:
        return
    numbers: list[int] = []
    line, scanned = 1, 0
    for match in _SPACED_LINE.finditer(corpus):
        line += corpus.count("\n", scanned, match.start())
        scanned = match.start()
        numbers.append(line)
    shown = ", ".join(map(str, numbers[:_LINES_SHOWN])) + (", ..." if len(numbers) > _LINES_SHOWN else "")
    held = "1 line holds" if len(numbers) == 1 else f"{len(numbers)} lines hold"
    warnings.warn(
        f"{source}{held} a space (line{'s' if len(numbers) > 1 else ''} {shown}): a line is one word, so the "
        "space becomes part of it; train running text with train_text() (morfex train --text)",
        CorpusWarning, stacklevel=4,
    )


def _train_text(corpus: str, options: TrainingOptions, progress: Progress | None, source: str) -> Tokenizer:
    try:
        result = _trainer.train(corpus, *options.native(), progress)
    except ValueError as error:
        raise CorpusError(f"{source}{error}") from None
    _warn_spaced_lines(corpus, source)
    return _tokenizer(result, options)


def train_counts(
    counts: Mapping[str, int],
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    byte_fallback: bool = TrainingOptions.byte_fallback,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains on segmented units and their counts, as `train` does on repeated words.

    Each key is a unit with its morphemes joined by "▁" (any text: spaces,
    line breaks and TABs are part of it) and each count an int from 1 to
    4294967295. Training on {"k▁um▁ain": 3} gives the model that three lines
    "k▁um▁ain" give.
    """
    options = TrainingOptions(vocab_size, min_frequency, alphabet_limit, byte_fallback)
    return train_counted(counts, options, progress, "")


def train_counted(counts: Mapping[str, int], options: TrainingOptions, progress: Progress | None,
                  source: str) -> Tokenizer:
    """`train_counts` with the options built; `source` heads the messages of a corpus error."""
    units = counts if type(counts) is dict else dict(counts)
    try:
        result = _trainer.train_counts(units, *options.native(), progress)
    except ValueError as error:
        raise CorpusError(f"{source}{error}") from None
    return _tokenizer(result, options)


def train(
    words: Iterable[str],
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    byte_fallback: bool = TrainingOptions.byte_fallback,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains a tokenizer on segmented words.

    Each item of `words` is one word with its morphemes joined by "▁"
    ("k▁um▁ain"), optionally followed by a TAB and a count from 1 to
    4294967295. No merge ever contains the marker, so tokens never cross a
    morpheme boundary.

    The vocabulary holds the special tokens "<pad>", "<unk>", "<s>", "</s>"
    at ids 0 to 3, the marker at 4, with `byte_fallback` the byte tokens
    "<0x00>" .. "<0xFF>" at ids 5 to 260, the alphabet in code point order, then
    the merged tokens in the order they were made, up to `vocab_size` tokens
    in all (the alphabet is always kept whole). Each step merges the most
    frequent adjacent pair; on equal counts the pair whose left token has the
    smaller id wins, then the one whose right token has. Pairs seen fewer
    than `min_frequency` times are not merged. With a nonzero
    `alphabet_limit`, only that many of the most frequent characters are kept
    (on equal counts the smaller code point); the rest encode as "<unk>".
    `progress(done, total)` is called now and then with the number of merged
    tokens made and wanted.

    A corpus with no word raises CorpusError. A word holding a space trains
    (the space becomes part of it) with a CorpusWarning naming the lines, as
    running text belongs in `train_text`.
    """
    if isinstance(words, str):
        raise TypeError("words must be an iterable of words, not one str; use train_file() for a file")
    items = list(words)
    corpus = "\n".join(items)
    if corpus.count("\n") != max(len(items) - 1, 0):
        line = next(number for number, item in enumerate(items, start=1) if "\n" in item)
        raise CorpusError(f"line {line}: a word holds a line break")
    options = TrainingOptions(vocab_size, min_frequency, alphabet_limit, byte_fallback)
    return _train_text(corpus, options, progress, "")


def train_file(
    path: str | os.PathLike[str],
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    byte_fallback: bool = TrainingOptions.byte_fallback,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains a tokenizer on a UTF-8 file of one segmented word per line (see `train`)."""
    name = os.fsdecode(path)
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise CorpusError(f"{name}: cannot read: {error.strerror}") from None
    return train_bytes(data, name, vocab_size=vocab_size, min_frequency=min_frequency,
                       alphabet_limit=alphabet_limit, byte_fallback=byte_fallback, progress=progress)


def train_bytes(
    data: bytes,
    name: str,
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    byte_fallback: bool = TrainingOptions.byte_fallback,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains on the UTF-8 bytes of a corpus file; `name` heads error messages."""
    corpus = utf8.decode(data, name, CorpusError)
    options = TrainingOptions(vocab_size, min_frequency, alphabet_limit, byte_fallback)
    return _train_text(corpus, options, progress, f"{name}: ")

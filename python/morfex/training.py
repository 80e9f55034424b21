"""Training a tokenizer from segmented words with the native trainer."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Iterable
from pathlib import Path

from morfex import _trainer, utf8
from morfex.tokenizer import Tokenizer

Progress = Callable[[int, int], object]


class CorpusError(ValueError):
    """A corpus line that cannot be read; the message names its line."""


@dataclasses.dataclass(frozen=True)
class TrainingOptions:
    """The training options with their defaults, lowest values and help (see `train`).

    `train`, `train_file`, `train_bytes` and the command line take their
    defaults from here, and building one checks the values.
    """

    vocab_size: int = dataclasses.field(default=8000, metadata={
        "lowest": 0, "help": "tokens in the finished vocabulary, specials and alphabet included (default: %(default)s)",
    })
    min_frequency: int = dataclasses.field(default=2, metadata={
        "lowest": 1, "help": "merge no pair seen fewer than N times (default: %(default)s)",
    })
    alphabet_limit: int = dataclasses.field(default=0, metadata={
        "lowest": 0, "help": "keep the N most frequent characters, the rest become <unk> (default: %(default)s, keep all)",
    })

    def __post_init__(self) -> None:
        for option in dataclasses.fields(self):
            value = getattr(self, option.name)
            if type(value) is not int:
                raise TypeError(f"{option.name} must be an int, not {type(value).__name__}")
            if value < option.metadata["lowest"]:
                raise ValueError(f"{option.name} must be at least {option.metadata['lowest']}, not {value}")


def _train_text(corpus: str, options: TrainingOptions, progress: Progress | None, source: str) -> Tokenizer:
    try:
        tokens, merges = _trainer.train(
            corpus, options.vocab_size, options.min_frequency, options.alphabet_limit, progress
        )
    except ValueError as error:
        raise CorpusError(f"{source}{error}") from None
    return Tokenizer({token: token_id for token_id, token in enumerate(tokens)}, merges)


def train(
    words: Iterable[str],
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains a tokenizer on segmented words.

    Each item of `words` is one word with its morphemes joined by "▁"
    ("k▁um▁ain"), optionally followed by a TAB and a count from 1 to
    4294967295. No merge ever contains the marker, so tokens never cross a
    morpheme boundary.

    The vocabulary holds the special tokens "<pad>", "<unk>", "<s>", "</s>"
    at ids 0 to 3, the marker at 4, the alphabet in code point order, then
    the merged tokens in the order they were made, up to `vocab_size` tokens
    in all (the alphabet is always kept whole). Each step merges the most
    frequent adjacent pair; on equal counts the pair whose left token has the
    smaller id wins, then the one whose right token has. Pairs seen fewer
    than `min_frequency` times are not merged. With a nonzero
    `alphabet_limit`, only that many of the most frequent characters are kept
    (on equal counts the smaller code point); the rest encode as "<unk>".
    `progress(done, total)` is called now and then with the number of merged
    tokens made and wanted.
    """
    if isinstance(words, str):
        raise TypeError("words must be an iterable of words, not one str; use train_file() for a file")
    items = list(words)
    corpus = "\n".join(items)
    if corpus.count("\n") != max(len(items) - 1, 0):
        line = next(number for number, item in enumerate(items, start=1) if "\n" in item)
        raise CorpusError(f"line {line}: a word holds a line break")
    options = TrainingOptions(vocab_size, min_frequency, alphabet_limit)
    return _train_text(corpus, options, progress, "")


def train_file(
    path: str | os.PathLike[str],
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains a tokenizer on a UTF-8 file of one segmented word per line (see `train`)."""
    name = os.fsdecode(path)
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise CorpusError(f"{name}: cannot read: {error.strerror}") from None
    return train_bytes(data, name, vocab_size=vocab_size, min_frequency=min_frequency,
                       alphabet_limit=alphabet_limit, progress=progress)


def train_bytes(
    data: bytes,
    name: str,
    *,
    vocab_size: int = TrainingOptions.vocab_size,
    min_frequency: int = TrainingOptions.min_frequency,
    alphabet_limit: int = TrainingOptions.alphabet_limit,
    progress: Progress | None = None,
) -> Tokenizer:
    """Trains on the UTF-8 bytes of a corpus file; `name` heads error messages."""
    corpus = utf8.decode(data, name, CorpusError)
    return _train_text(corpus, TrainingOptions(vocab_size, min_frequency, alphabet_limit), progress, f"{name}: ")

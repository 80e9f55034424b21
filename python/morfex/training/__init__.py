"""Training BPE models: from segmented words, counted words and running text."""

from morfex.training.text import train_text
from morfex.training.words import (
    CorpusError,
    CorpusWarning,
    TrainingOptions,
    train,
    train_bytes,
    train_counted,
    train_counts,
    train_file,
)

__all__ = [
    "CorpusError",
    "CorpusWarning",
    "TrainingOptions",
    "train",
    "train_bytes",
    "train_counted",
    "train_counts",
    "train_file",
    "train_text",
]

"""Morpheme segmenters for training on running text, from the Morfessor package."""

from __future__ import annotations

import importlib
import os
import random
from collections.abc import Callable, Mapping
from types import ModuleType

from morfex.vocabulary import MARKER

# Morfessor shuffles with the global random module: a fixed seed gives the same model every run.
MORFESSOR_SEED = 20260509


class SegmenterError(Exception):
    """A segmenter that cannot be made; the message says why."""


def _morfessor(need: str) -> ModuleType:
    try:
        return importlib.import_module("morfessor")
    except ImportError:
        raise SegmenterError(f"{need} needs the morfessor package: pip install morfessor") from None


def _viterbi(model: object) -> Callable[[str], str]:
    def segment(word: str) -> str:
        morphs, _cost = model.viterbi_segment(word)  # type: ignore[attr-defined]
        return MARKER.join(morphs)

    return segment


def morfessor_segmenter(path: str | os.PathLike[str]) -> Callable[[str], str]:
    """Segments words with a Morfessor Baseline model read from its segmentation file."""
    morfessor = _morfessor("segmenting with a Morfessor model")
    model = morfessor.BaselineModel()
    name = os.fsdecode(path)
    try:
        model.load_segmentations(morfessor.MorfessorIO().read_segmentation_file(name))
    except OSError as error:
        raise SegmenterError(f"{name}: cannot read: {error.strerror}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise SegmenterError(f"{name}: not a Morfessor segmentation file ({error})") from None
    return _viterbi(model)


def trained_morfessor(words: Mapping[str, int]) -> Callable[[str], str]:
    """Segments words with a Morfessor Baseline model trained (recursively) on `words` and their counts."""
    morfessor = _morfessor("training a segmenter")
    model = morfessor.BaselineModel()
    model.load_data((count, word) for word, count in sorted(words.items()))
    state = random.getstate()
    random.seed(MORFESSOR_SEED)
    try:
        model.train_batch(algorithm="recursive")
    finally:
        random.setstate(state)
    return _viterbi(model)

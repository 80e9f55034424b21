"""Morpheme segmenters for training on running text: a Morfessor model's native twin."""

from __future__ import annotations

import importlib
import os
import random
from collections.abc import Mapping
from types import ModuleType

from morfex.segmenter import Segmenter
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


def morfessor_segmenter(path: str | os.PathLike[str]) -> Segmenter:
    """The segmenter of a Morfessor Baseline model, read from its segmentation file."""
    name = os.fsdecode(path)
    try:
        return Segmenter.from_morfessor(path)
    except OSError as error:
        raise SegmenterError(f"{name}: cannot read: {error.strerror}") from None
    except ValueError as error:
        raise SegmenterError(str(error)) from None


def trained_morfessor(words: Mapping[str, int]) -> Segmenter:
    """The segmenter of a Morfessor Baseline model trained (recursively) on `words` and their counts."""
    morfessor = _morfessor("training a segmenter")
    model = morfessor.BaselineModel()
    model.load_data((count, word) for word, count in sorted(words.items()))
    state = random.getstate()
    random.seed(MORFESSOR_SEED)
    try:
        model.train_batch(algorithm="recursive")
    finally:
        random.setstate(state)
    # The segmentations in Morfessor's own order, as its segmentation file would list them.
    return Segmenter.from_counts({MARKER.join(morphs): count for count, _, morphs in model.get_segmentations()})

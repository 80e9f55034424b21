"""Morpheme segmenters for training on running text, read from Morfessor's segmentation files."""

from __future__ import annotations

import os

from morfex.segmenter import Segmenter


class SegmenterError(Exception):
    """A segmenter that cannot be made; the message says why."""


def morfessor_segmenter(path: str | os.PathLike[str]) -> Segmenter:
    """The segmenter of a Morfessor Baseline model, read from its segmentation file."""
    name = os.fsdecode(path)
    try:
        return Segmenter.from_morfessor(path)
    except OSError as error:
        raise SegmenterError(f"{name}: cannot read: {error.strerror}") from None
    except ValueError as error:
        raise SegmenterError(str(error)) from None

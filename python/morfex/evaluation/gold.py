"""Reading gold segmentations: SIGMORPHON word-level rows and MorphyNet derivational rows.

Every gold word comes out as the word and its gold cut positions (character
offsets strictly inside the word), so every measure works on cuts alone.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

from morfex.evaluation.errors import EvaluationError, read_lines
from morfex.vocabulary import MARKER

SIGMORPHON = "sigmorphon"
MORPHYNET = "morphynet"
KIND_NAMES = {SIGMORPHON: "SIGMORPHON word level", MORPHYNET: "MorphyNet derivational"}
SKIPPED_ROWS = {
    SIGMORPHON: "canonical segmentations, whose morphs do not spell the word",
    MORPHYNET: "affixes not at the edge of the derived word",
}

# Separates morphs in a SIGMORPHON row; a morph may hold a space ("Big Mac @@é").
MORPH_SEPARATOR = " @@"
SIGMORPHON_FIELDS = (2, 3)
MORPHYNET_FIELDS = 6
MORPHYNET_SIDES = ("suffix", "prefix")


@dataclass(frozen=True)
class GoldWord:
    word: str
    cuts: frozenset[int]
    line: int


@dataclass(frozen=True)
class GoldSet:
    """The words of one gold file, and how many rows the reading rules left out and why."""

    path: str
    kind: str
    words: tuple[GoldWord, ...]
    rows: int
    duplicates: int
    unusable: int


def _kind(path: str, number: int, fields: list[str]) -> str:
    if len(fields) == MORPHYNET_FIELDS:
        return MORPHYNET
    if len(fields) in SIGMORPHON_FIELDS:
        return SIGMORPHON
    raise EvaluationError(
        f"{path}: line {number}: unknown gold file kind: {len(fields)} tab-separated fields "
        f"(SIGMORPHON word-level rows have 2 or 3, MorphyNet derivational rows 6)"
    )


def _sigmorphon_cuts(path: str, number: int, fields: list[str]) -> frozenset[int] | None:
    """The cuts of a surface segmentation; None for a canonical one, whose morphs do not spell the word."""
    word, segmentation = fields[0], fields[1]
    morphs = segmentation.split(MORPH_SEPARATOR)
    if not word or not all(morphs):
        raise EvaluationError(f"{path}: line {number}: empty word or morph in {word!r} -> {segmentation!r}")
    if "".join(morphs) != word:
        return None
    cuts, position = set(), 0
    for morph in morphs[:-1]:
        position += len(morph)
        cuts.add(position)
    return frozenset(cuts)


def _morphynet_cut(path: str, number: int, fields: list[str]) -> frozenset[int] | None:
    """The one boundary of a derived word; None where the affix is not at the word's edge."""
    derived, affix, side = fields[1], fields[4], fields[5]
    if not derived:
        raise EvaluationError(f"{path}: line {number}: empty derived word")
    if side not in MORPHYNET_SIDES:
        raise EvaluationError(f"{path}: line {number}: affix kind {side!r} is neither 'suffix' nor 'prefix'")
    if side == "suffix" and derived.endswith(affix):
        cut = len(derived) - len(affix)
    elif side == "prefix" and derived.startswith(affix):
        cut = len(affix)
    else:
        return None
    # An empty affix, or one that is the whole word, marks no boundary inside it.
    return frozenset((cut,)) if 0 < cut < len(derived) else None


def _rows(name: str) -> Iterator[tuple[int, str, str, frozenset[int] | None]]:
    """Each gold row: its line number, the file's kind, the word and its cuts (None where unusable)."""
    kind: str | None = None
    for number, line in read_lines(name):
        line = line.removesuffix("\r")
        if not line.strip():
            continue
        fields = line.split("\t")
        if kind is None:
            kind = _kind(name, number, fields)
        expected = SIGMORPHON_FIELDS if kind == SIGMORPHON else (MORPHYNET_FIELDS,)
        if len(fields) not in expected:
            wanted = " or ".join(map(str, expected))
            raise EvaluationError(
                f"{name}: line {number}: {len(fields)} tab-separated fields where this {KIND_NAMES[kind]} file has {wanted}"
            )
        word = fields[0] if kind == SIGMORPHON else fields[1]
        if MARKER in word:
            raise EvaluationError(
                f"{name}: line {number}: the word {word!r} holds {MARKER} (U+2581), which marks morph boundaries"
            )
        cuts = _sigmorphon_cuts(name, number, fields) if kind == SIGMORPHON else _morphynet_cut(name, number, fields)
        yield number, kind, word, cuts
    if kind is None:
        raise EvaluationError(f"{name}: no gold rows")


def read_gold(path: str | os.PathLike[str]) -> GoldSet:
    """Reads a gold file, its kind told by its first row's field count. Blank lines are skipped."""
    name = os.fspath(path)
    kind = ""
    words: dict[str, GoldWord] = {}
    rows = duplicates = unusable = 0
    for number, kind, word, cuts in _rows(name):
        rows += 1
        if cuts is None:
            unusable += 1
        elif word in words:
            # A word listed twice keeps its first usable row.
            duplicates += 1
        else:
            words[word] = GoldWord(word, cuts, number)
    if not words:
        raise EvaluationError(f"{name}: no usable gold row: all {unusable} are {SKIPPED_ROWS[kind]}")
    return GoldSet(name, kind, tuple(words.values()), rows, duplicates, unusable)


def read_segmentations(path: str | os.PathLike[str]) -> dict[str, list[str]]:
    """Word -> every distinct usable segmentation of a gold file, "▁" between morphs, as annotations to train on.

    The rows are read as `read_gold` reads them (either kind); a word listed
    twice keeps each distinct segmentation, the first row's first."""
    name = os.fspath(path)
    segmentations: dict[str, list[str]] = {}
    unusable = 0
    kind = ""
    for _, kind, word, cuts in _rows(name):
        if cuts is None:
            unusable += 1
            continue
        bounds = [0, *sorted(cuts), len(word)]
        segmented = MARKER.join(word[start:end] for start, end in zip(bounds, bounds[1:]))
        alternatives = segmentations.setdefault(word, [])
        if segmented not in alternatives:
            alternatives.append(segmented)
    if not segmentations:
        raise EvaluationError(f"{name}: no usable gold row: all {unusable} are {SKIPPED_ROWS[kind]}")
    return segmentations

"""Training a Morfessor Baseline segmenter natively, from a word list and optional gold segmentations."""

from __future__ import annotations

import itertools
import math
import random
from collections import Counter
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import NamedTuple

from morfex import _engine, _trainer
from morfex.engine import resolve_threads
from morfex.evaluation import measures
from morfex.segmenter import Segmenter
from morfex.vocabulary import MARKER

__all__ = ["DAMPENINGS", "Gold", "TrainedSegmenter", "train_segmenter", "train_segmenter_with_cost"]

DAMPENINGS = ("none", "log", "ones")
# Morfessor's stopping rule: an epoch that gains less than this much cost per word is the last.
FINISH_THRESHOLD = 0.005
# The corpus weights, and with annotations the annotation weights (None: balanced with the
# corpus each epoch), tried when the corpus weight is tuned.
CORPUS_WEIGHTS = (0.03, 0.1, 0.3, 1.0, 3.0)
ANNOTATION_WEIGHTS = (None, 3.0, 10.0, 30.0)
# The grid's step is about 3; the best corpus weight's neighbours at this step are tried after it.
REFINE_STEP = 3**0.5
MAX_TRAINING_SEED = _trainer.MAX_SEGMENTER_SEED
# Without dev words, this share of the annotations (seeded) is held out to tune on.
TUNING_SHARE = 10

Gold = Mapping[str, "str | Sequence[str]"]


def _counted(words: Iterable[str] | Mapping[str, int]) -> dict[str, int]:
    if isinstance(words, str):
        raise TypeError("words must be an iterable of words or a mapping of words to counts, not str")
    if isinstance(words, Mapping):
        counts: dict[str, int] = {}
        for word, count in words.items():
            if not isinstance(word, str):
                raise TypeError(f"a word must be a str, not {type(word).__name__}")
            if not isinstance(count, int) or isinstance(count, bool) or count < 1:
                raise ValueError(f"the count of word {word!r} must be a positive int, got {count!r}")
            counts[word] = count
        return counts
    counted: Counter[str] = Counter()
    for word in words:
        if not isinstance(word, str):
            raise TypeError(f"a word must be a str, not {type(word).__name__}")
        counted[word] += 1
    return dict(counted)


def _analyses(gold: Gold | None, what: str) -> list[tuple[str, list[list[str]]]]:
    if gold is None:
        return []
    if not isinstance(gold, Mapping):
        raise TypeError(f"{what} must be a mapping of words to segmentations, not {type(gold).__name__}")
    result = []
    for word, segmentations in gold.items():
        if not isinstance(word, str):
            raise TypeError(f"a word of {what} must be a str, not {type(word).__name__}")
        alternatives = [segmentations] if isinstance(segmentations, str) else list(segmentations)
        if not alternatives:
            raise ValueError(f"{what}: the word {word!r} has no segmentation")
        analyses = []
        for segmented in alternatives:
            if not isinstance(segmented, str):
                raise TypeError(f"{what}: a segmentation of {word!r} must be a str, not {type(segmented).__name__}")
            if segmented.replace(MARKER, "") != word:
                raise ValueError(f"{what}: the segmentation {segmented!r} does not spell its word {word!r}")
            if any(not morph for morph in segmented.split(MARKER)):
                raise ValueError(f"{what}: the segmentation {segmented!r} of {word!r} has an empty morph")
            analyses.append(segmented.split(MARKER))
        result.append((word, analyses))
    return result


def _weight(value: float | None, name: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    return float(value)


class TrainedSegmenter(NamedTuple):
    """A trained segmenter, the number of epochs it took, the model's final cost and,
    when the weights were tuned, the boundary F1 on the words tuned on."""

    segmenter: Segmenter
    epochs: int
    cost: float
    corpus_weight: float
    annotation_weight: float | None
    tuning_f1: float | None


def _cuts(morphs: Sequence[str]) -> frozenset[int]:
    bounds = list(itertools.accumulate(map(len, morphs[:-1])))
    return frozenset(bounds)


def boundary_f1(segmenter: Segmenter, gold: Sequence[tuple[str, list[list[str]]]], threads: int = 1) -> float:
    """Boundary F1 of `segmenter` on `gold` (a word with alternatives is scored against the first)."""
    guessed = segmenter.segment_batch([word for word, _ in gold], threads=threads)
    return measures.boundary_f1([_cuts(analyses[0]) for _, analyses in gold],
                                [_cuts(segmented.split(MARKER)) for segmented in guessed])


def _run(
    counts: list[tuple[str, int]],
    annotated: list[tuple[str, list[list[str]]]],
    dampening: str,
    corpus_weight: float,
    annotation_weight: float | None,
    seed: int,
    max_epochs: int,
    progress: Callable[[int, int, int], object] | None,
) -> tuple[Segmenter, int, float]:
    (morphs, word_count, weight), epochs, cost = _trainer.train_segmenter(
        counts, annotated, dampening, corpus_weight, annotation_weight, seed, max_epochs, FINISH_THRESHOLD,
        progress)
    return Segmenter(_engine.Segmenter.from_morphs(morphs, word_count, weight)), epochs, cost


def _best(scores: Sequence[float]) -> int:
    """The index of the best score, the first on a tie."""
    return max(range(len(scores)), key=lambda i: (scores[i], -i))


def train_segmenter_with_cost(
    words: Iterable[str] | Mapping[str, int],
    *,
    annotations: Gold | None = None,
    dev: Gold | None = None,
    corpus_weight: float | None = None,
    annotation_weight: float | None = None,
    dampening: str = "ones",
    seed: int = 0,
    threads: int | None = None,
    progress: Callable[[int, int, int], object] | None = None,
    max_epochs: int = 0,
) -> TrainedSegmenter:
    """`train_segmenter`, with what the training took and chose."""
    counted = _counted(words)
    if not counted:
        raise ValueError("no words to train on")
    if dampening not in DAMPENINGS:
        raise ValueError(f"dampening must be 'none', 'log' or 'ones', not {dampening!r}")
    annotated = _analyses(annotations, "annotations")
    tuning = _analyses(dev, "dev")
    weight = _weight(corpus_weight, "corpus_weight")
    fixed_annotation_weight = _weight(annotation_weight, "annotation_weight")
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise TypeError(f"seed must be an int, not {type(seed).__name__}")
    if not 0 <= seed <= MAX_TRAINING_SEED:
        raise ValueError(f"seed must be from 0 to 2**63 - 1, got {seed}")
    if isinstance(max_epochs, bool) or not isinstance(max_epochs, int) or max_epochs < 0:
        raise ValueError(f"max_epochs must be an int of at least 0, got {max_epochs!r}")
    workers = resolve_threads(threads)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    counts = list(counted.items())
    # The words checked before any tuning, so a bad one is reported at once.
    if weight is not None or not (tuning or len(annotated) >= TUNING_SHARE):
        segmenter, epochs, cost = _run(counts, annotated, dampening, 1.0 if weight is None else weight,
                                       fixed_annotation_weight, seed, max_epochs, progress)
        return TrainedSegmenter(segmenter, epochs, cost, segmenter.native.corpus_weight, fixed_annotation_weight, None)
    train_annotations = annotated
    if not tuning:
        held = sorted(annotated)
        random.Random(seed).shuffle(held)
        tuning = held[: len(held) // TUNING_SHARE]
        train_annotations = held[len(held) // TUNING_SHARE :]
    settings = [
        (w, a)
        for w in CORPUS_WEIGHTS
        for a in ((fixed_annotation_weight,) if fixed_annotation_weight is not None or not annotated else ANNOTATION_WEIGHTS)
    ]

    def score(setting: tuple[float, float | None]) -> float:
        segmenter, _, _ = _run(counts, train_annotations, dampening, setting[0], setting[1], seed, max_epochs, None)
        return boundary_f1(segmenter, tuning)

    # Each run is deterministic and the best is picked in a fixed order, so threads change nothing.
    pool = ThreadPoolExecutor(max_workers=max(1, min(workers, len(settings))))
    try:
        scores = list(pool.map(score, settings))
        # Then the corpus weights halfway (geometrically) to the best one's neighbours on the grid.
        best_weight, best_annotation_weight = settings[_best(scores)]
        refined = [(best_weight * step, best_annotation_weight) for step in (REFINE_STEP, 1 / REFINE_STEP)]
        scores += pool.map(score, refined)
        settings += refined
    finally:
        # On Ctrl-C the settings not started yet are dropped rather than trained.
        pool.shutdown(cancel_futures=True)
    best = _best(scores)
    chosen_weight, chosen_annotation_weight = settings[best]
    segmenter, epochs, cost = _run(counts, annotated, dampening, chosen_weight, chosen_annotation_weight, seed,
                                   max_epochs, progress)
    return TrainedSegmenter(segmenter, epochs, cost, chosen_weight, chosen_annotation_weight, scores[best])


def train_segmenter(
    words: Iterable[str] | Mapping[str, int],
    *,
    annotations: Gold | None = None,
    dev: Gold | None = None,
    corpus_weight: float | None = None,
    annotation_weight: float | None = None,
    dampening: str = "ones",
    seed: int = 0,
    threads: int | None = None,
    progress: Callable[[int, int, int], object] | None = None,
    max_epochs: int = 0,
) -> Segmenter:
    """Trains a Morfessor 2.0 Baseline segmenter on `words` by batch recursive splitting.

    `words` is an iterable of words (repeats count) or a mapping of words to
    counts; `dampening` ("ones", "log" or "none") turns each count into 1,
    round(log2(count + 1)) or itself, as Morfessor's option of that name.
    `annotations` maps words to their gold segmentation ("▁" between morphs,
    or a list of alternatives) and adds Morfessor's annotated-corpus term,
    weighted by `annotation_weight` (default: balanced with the corpus each
    epoch, as in Morfessor). `corpus_weight` weighs the corpus against the
    lexicon. Without it the weights are tuned toward the best boundary F1 on
    `dev` (or, without `dev`, on a tenth of the annotations held out, when
    there are at least ten): one model is trained for each corpus weight of
    CORPUS_WEIGHTS (and each annotation weight of ANNOTATION_WEIGHTS unless
    `annotation_weight` is given), on up to `threads` threads at once, then
    with the best corpus weight times and divided by REFINE_STEP, and the
    best settings are trained again with all the annotations. With no gold the
    corpus weight is 1.0. Each epoch visits the words in an order drawn from
    `seed`; training stops when an epoch gains less than 0.005 per word, or
    after `max_epochs` (0: no limit). The result depends on the inputs and
    `seed` alone, never on `threads`. `progress(epoch, done, total)` is called
    every few hundred words of the final training; Ctrl-C stops training with
    KeyboardInterrupt.

    The returned segmenter segments new words as the trained model's
    Viterbi search does, the corpus weight included, and keeps that weight
    in its state, model files and pickles.
    """
    return train_segmenter_with_cost(
        words,
        annotations=annotations,
        dev=dev,
        corpus_weight=corpus_weight,
        annotation_weight=annotation_weight,
        dampening=dampening,
        seed=seed,
        threads=threads,
        progress=progress,
        max_epochs=max_epochs,
    ).segmenter

"""How well guessed cuts follow gold cuts: boundary and morph scores, edit distance.

A segmentation of a word is the set of its cut positions (character offsets
strictly inside the word); the morphs are the pieces between the cuts.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from morfex.evaluation.gold import MORPH_SEPARATOR

# Words whose edit distances are computed together, in one array of rows.
_EDIT_BATCH = 2048


def morphs(word: str, cuts: frozenset[int] | set[int]) -> list[str]:
    bounds = [0, *sorted(cuts), len(word)]
    return [word[start:end] for start, end in zip(bounds, bounds[1:])]


def notation(word: str, cuts: frozenset[int] | set[int]) -> str:
    """The segmentation as the shared task writes it: "ab @@solv @@ent"."""
    return MORPH_SEPARATOR.join(morphs(word, cuts))


def common_morphs(gold: Sequence[str], guess: Sequence[str]) -> int:
    """The length of the longest common subsequence of two morph sequences."""
    previous = [0] * (len(guess) + 1)
    for morph in gold:
        current = [0]
        for index, other in enumerate(guess):
            current.append(previous[index] + 1 if morph == other else max(previous[index + 1], current[index]))
        previous = current
    return previous[-1]


def edit_distances(pairs: Sequence[tuple[str, str]]) -> np.ndarray:
    """The Levenshtein distance of each pair of strings (unit costs), computed for many pairs at once.

    Row by row over the first string; within a row the insertions chain, so
    row[j] = min(candidate[j], row[j - 1] + 1) becomes a running minimum of
    candidate[j] - j. Pairs of similar length share a batch, padded with
    values that match nothing; padding never reaches the cells read back.
    """
    result = np.zeros(len(pairs), dtype=np.int64)
    order = sorted(range(len(pairs)), key=lambda index: (len(pairs[index][0]), len(pairs[index][1])))
    for start in range(0, len(order), _EDIT_BATCH):
        chosen = np.array(order[start:start + _EDIT_BATCH])
        firsts = [pairs[index][0] for index in chosen]
        seconds = [pairs[index][1] for index in chosen]
        first_lengths = np.array([len(text) for text in firsts])
        second_lengths = np.array([len(text) for text in seconds])
        width = int(second_lengths.max())
        first = _codes(firsts, int(first_lengths.max()), -1)
        second = _codes(seconds, width, -2)
        columns = np.arange(width + 1)
        row = np.broadcast_to(columns, (len(chosen), width + 1)).copy()
        rows = np.arange(len(chosen))
        result[chosen] = np.where(first_lengths == 0, second_lengths, 0)
        for position in range(1, first.shape[1] + 1):
            substitute = row[:, :-1] + (first[:, position - 1:position] != second)
            candidate = np.minimum(substitute, row[:, 1:] + 1)
            shifted = np.concatenate((np.full((len(chosen), 1), position), candidate - columns[1:]), axis=1)
            row = np.minimum.accumulate(shifted, axis=1) + columns
            done = first_lengths == position
            result[chosen[done]] = row[rows[done], second_lengths[done]]
    return result


def _codes(texts: list[str], width: int, padding: int) -> np.ndarray:
    codes = np.full((len(texts), width), padding, dtype=np.int64)
    for index, text in enumerate(texts):
        codes[index, :len(text)] = [ord(character) for character in text]
    return codes


@dataclass(frozen=True)
class Scores:
    """Measures of guessed segmentations against gold ones, micro-averaged over the words.

    `chance_recall` is the recall that as many cuts per word, placed at random
    inside each word, would reach: what a recall is to be compared with.
    """

    words: int
    cuts_per_word: float
    boundary_precision: float
    boundary_recall: float
    boundary_f1: float
    chance_recall: float
    morph_precision: float
    morph_recall: float
    morph_f1: float
    edit_distance: float


def _ratio(part: float, whole: float) -> float:
    return part / whole if whole else 0.0


def _f1(precision: float, recall: float) -> float:
    return _ratio(2 * precision * recall, precision + recall)


def boundary_f1(gold: Sequence[frozenset[int]], guess: Sequence[frozenset[int]]) -> float:
    """Boundary F1 over the cut positions of every word (micro-averaged), without the other measures."""
    found = sum(len(gold_cuts & guess_cuts) for gold_cuts, guess_cuts in zip(gold, guess, strict=True))
    return _f1(_ratio(found, sum(map(len, guess))), _ratio(found, sum(map(len, gold))))


def score(words: Sequence[str], gold: Sequence[frozenset[int]], guess: Sequence[frozenset[int]]) -> Scores:
    """Scores the guessed cuts of each word against its gold cuts."""
    found = guessed = wanted = 0
    chance = 0.0
    morphs_found = morphs_guessed = morphs_wanted = 0
    differing: list[tuple[str, str]] = []
    for word, gold_cuts, guess_cuts in zip(words, gold, guess, strict=True):
        found += len(gold_cuts & guess_cuts)
        guessed += len(guess_cuts)
        wanted += len(gold_cuts)
        if len(word) > 1:
            chance += len(gold_cuts) * len(guess_cuts) / (len(word) - 1)
        gold_morphs, guess_morphs = morphs(word, gold_cuts), morphs(word, guess_cuts)
        morphs_guessed += len(guess_morphs)
        morphs_wanted += len(gold_morphs)
        if gold_cuts == guess_cuts:
            morphs_found += len(gold_morphs)
        else:
            morphs_found += common_morphs(gold_morphs, guess_morphs)
            differing.append((notation(word, gold_cuts), notation(word, guess_cuts)))
    precision, recall = _ratio(found, guessed), _ratio(found, wanted)
    morph_precision, morph_recall = _ratio(morphs_found, morphs_guessed), _ratio(morphs_found, morphs_wanted)
    count = len(words)
    return Scores(
        words=count,
        cuts_per_word=_ratio(guessed, count),
        boundary_precision=precision,
        boundary_recall=recall,
        boundary_f1=_f1(precision, recall),
        chance_recall=_ratio(chance, wanted),
        morph_precision=morph_precision,
        morph_recall=morph_recall,
        morph_f1=_f1(morph_precision, morph_recall),
        edit_distance=_ratio(float(edit_distances(differing).sum()), count),
    )

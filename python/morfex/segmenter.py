"""Morpheme segmentation with a Morfessor Baseline model, before BPE."""

from __future__ import annotations

import os
import pickle
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from morfex import _engine
from morfex.engine import resolve_threads

__all__ = ["STATE_TYPE", "Segmenter"]

STATE_TYPE = "morfessor-baseline"
_STATE_KEYS = {"type", "words", "morphs"}
# A trained model's corpus weight; states without it (all from Morfessor's files) weigh 1.0.
_WEIGHT_KEY = "corpus_weight"


class Segmenter:
    """Splits words into morphs, "▁" (U+2581) between them, as Morfessor 2.0.6 does.

    `segment(word)` gives what `morfessor.BaselineModel.viterbi_segment(word)`
    gives with its defaults (addcount 1.0, maxlen 30) on the same model: the
    costs are computed by the same floating-point operations in the same
    order, and an exact tie goes, as in Morfessor, to the split whose last
    morph starts first; so ties are broken as Morfessor breaks them.

    A model is loaded from the segmentation file Morfessor writes
    (`from_morfessor`) or from segmented words and their counts
    (`from_counts`); either way the words are loaded as Morfessor's
    `load_segmentations` loads them, in order, so its quirk of re-analysing a
    word through a suffix that another word shares is kept. Morphs must be
    non-empty and hold neither whitespace nor "▁". Only the morph counts and
    the number of words matter for segmenting, and they are what the state
    (`to_state`) holds. The model is immutable.
    """

    __slots__ = ("_native",)

    def __init__(self, native: _engine.Segmenter) -> None:
        self._native = native

    @classmethod
    def from_morfessor(cls, path: str | os.PathLike[str], *, separator: str = " + ") -> Segmenter:
        """Loads a Morfessor 2.0 segmentation file (UTF-8), as `morfessor-train
        --save-segmentation` writes it: "#" comment lines, then "COUNT MORPH +
        MORPH ..." lines. `separator` is MorfessorIO's construction separator.
        A bad line raises ValueError naming the file and the line."""
        with open(path, "rb") as file:
            data = file.read()
        return cls(_engine.Segmenter.from_segmentations(data, os.fspath(path), separator))

    @classmethod
    def from_counts(cls, counts: Mapping[str, int]) -> Segmenter:
        """Loads segmented words ("kot▁ami") and their counts, in mapping order."""
        if not isinstance(counts, Mapping):
            raise TypeError(f"counts must be a mapping of segmented words to counts, not {type(counts).__name__}")
        return cls(_engine.Segmenter.from_counts(list(counts.items())))

    @classmethod
    def from_state(cls, state: object) -> Segmenter:
        """The segmenter whose `to_state()` gave `state`."""
        if not isinstance(state, dict):
            raise ValueError(f"segmenter state must be a dict, not {type(state).__name__}")
        if set(state) - {_WEIGHT_KEY} != _STATE_KEYS:
            raise ValueError(
                "segmenter state must have the keys 'morphs', 'type' and 'words' (and optionally "
                f"'corpus_weight'), got {sorted(map(str, state))}"
            )
        if state["type"] != STATE_TYPE:
            raise ValueError(f"segmenter state type must be {STATE_TYPE!r}, got {state['type']!r}")
        weight = state.get(_WEIGHT_KEY, 1.0)
        if isinstance(weight, int) and not isinstance(weight, bool):
            weight = float(weight)
        try:
            return cls(_engine.Segmenter.from_morphs(state["morphs"], state["words"], weight))
        except (TypeError, ValueError) as error:
            raise ValueError(f"segmenter state: {error}") from None

    def to_state(self) -> dict[str, Any]:
        """The model as plain JSON values, morphs in code point order; the corpus
        weight only when it is not 1.0, so untrained models keep their old form."""
        state: dict[str, Any] = {"type": STATE_TYPE, "words": self._native.words, "morphs": self._native.morphs()}
        if self._native.corpus_weight != 1.0:
            state[_WEIGHT_KEY] = self._native.corpus_weight
        return state

    @property
    def native(self) -> _engine.Segmenter:
        """The native model, which the engine's text path segments with on its own threads."""
        return self._native

    def __call__(self, word: str) -> str:
        """The same as `segment`, so a Segmenter goes wherever a callable segmenter does."""
        return self._native.segment(word)

    def segment(self, word: str) -> str:
        """The word with "▁" between its morphs; "" stays ""."""
        return self._native.segment(word)

    def segment_batch(self, words: Iterable[str], *, threads: int | None = None) -> list[str]:
        """`segment` of every word, on `threads` threads (default: $MORFEX_NUM_THREADS,
        else the usable processors); the result does not depend on the thread count."""
        return self._native.segment_batch(words, resolve_threads(threads))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Segmenter):
            return NotImplemented
        return self._native == other._native

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[Callable[[object], Segmenter], tuple[dict[str, Any]]]:
        """Pickles the state alone, morphs in code point order, so equal models give equal bytes."""
        return _unpickle, (self.to_state(),)

    def __repr__(self) -> str:
        return f"<Segmenter of {len(self._native.morphs())} morphs over {self._native.words} words>"


def _unpickle(state: object) -> Segmenter:
    """The segmenter whose `__reduce__` gave `state`; pickles name it, so it keeps its name."""
    try:
        return Segmenter.from_state(state)
    except ValueError as error:
        raise pickle.UnpicklingError(str(error)) from None

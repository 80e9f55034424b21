"""Deterministic synthetic corpus of morpheme-segmented words.

Words are built like those of an agglutinative language: an optional prefix,
a stem drawn from a Zipf-like distribution, then up to three suffixes, joined
by the boundary marker. The same seed always gives the same words.
"""

import itertools
import random

from morfex.vocabulary import MARKER

LETTERS = "aaaaeeeiioouuyąęóbcćdfghjklłmnńprsśtwzźż"


def _lexicon(rng: random.Random, size: int, shortest: int, longest: int) -> list[str]:
    seen: dict[str, None] = {}
    while len(seen) < size:
        seen["".join(rng.choices(LETTERS, k=rng.randint(shortest, longest)))] = None
    return list(seen)


def _zipf(size: int, offset: int) -> list[float]:
    return list(itertools.accumulate(1.0 / (rank + offset) for rank in range(size)))


def synthetic_words(count: int, seed: int = 6) -> list[str]:
    rng = random.Random(seed)
    prefixes = _lexicon(rng, 40, 1, 3)
    stems = _lexicon(rng, 30000, 2, 8)
    suffixes = _lexicon(rng, 300, 1, 4)
    chosen_stems = rng.choices(stems, cum_weights=_zipf(len(stems), 10), k=count)
    suffix_counts = rng.choices(range(4), k=count)
    chosen_suffixes = iter(rng.choices(suffixes, cum_weights=_zipf(len(suffixes), 2), k=sum(suffix_counts)))
    words = []
    for stem, suffix_count in zip(chosen_stems, suffix_counts):
        parts = [rng.choice(prefixes)] if rng.random() < 0.2 else []
        parts.append(stem)
        parts.extend(itertools.islice(chosen_suffixes, suffix_count))
        words.append(MARKER.join(parts))
    return words

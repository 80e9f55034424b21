"""Real segmented words for the benchmarks, cached under build/bench/.

The words come from Debian's Polish word list (/usr/share/dict/polish, package
wpolish). Morfessor Baseline (from PyPI) learns morphs from a sample of them
without supervision and segments a larger, disjoint sample; the morphs are
joined with the boundary marker. Every step is deterministic, and the result
is kept in a file, since the segmenter takes minutes to learn.
"""

import random
import sys
import time
from pathlib import Path

from morfex.vocabulary import MARKER

WORD_LIST = Path("/usr/share/dict/polish")
CACHE = Path(__file__).resolve().parent.parent / "build" / "bench"


def every_nth(words, count, offset):
    step = max(1, len(words) // count)
    return words[offset::step][:count]


def segmented_words(corpus_weight, learn=20_000, segment=400_000):
    """Returns `segment` segmented words; Morfessor learns from `learn` others.
    A corpus weight above 1 favours longer morphs and so a larger lexicon (at
    2 it already leaves almost every word whole)."""
    cache = CACHE / f"polish-segmented-{learn}-{segment}-{corpus_weight:g}.txt"
    if cache.exists():
        return cache.read_text(encoding="utf-8").splitlines()

    import morfessor

    started = time.monotonic()
    words = sorted({line.strip() for line in WORD_LIST.read_text(encoding="utf-8").splitlines() if line.strip()})
    random.seed(0)  # Morfessor shuffles its training data with the random module.
    segmenter = morfessor.BaselineModel(corpusweight=corpus_weight)
    segmenter.load_data([(1, word) for word in every_nth(words, learn, 0)])
    print(f"learning morphs from {learn} words (a few minutes, once)...", file=sys.stderr, flush=True)
    segmenter.train_batch()
    result = [MARKER.join(segmenter.viterbi_segment(word)[0]) for word in every_nth(words, segment, 1)]
    CACHE.mkdir(parents=True, exist_ok=True)
    cache.write_text("\n".join(result) + "\n", encoding="utf-8")
    print(f"segmented {len(result)} words in {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    return result

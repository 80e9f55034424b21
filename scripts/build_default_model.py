"""Builds the default model shipped in python/morfex/data/.

Source: the Polish word list of Debian's wpolish package (/usr/share/dict/polish,
from the sjp.pl dictionary; GPL-2, LGPL-2.1, MPL-1.1, Apache-2.0 or CC-BY-4.0
at the user's choice). Morfessor Baseline (BSD licence, from PyPI) learns
morphs from a sample of the words without supervision and segments a larger
sample, and the morfex trainer makes the model from those segmented words.
Every step is deterministic, so the same inputs give the same file.
"""

import argparse
import random
import sys
import time
from pathlib import Path

import morfessor

import morfex
from morfex.vocabulary import MARKER

WORD_LIST = Path("/usr/share/dict/polish")


def every_nth(words: list[str], count: int, offset: int) -> list[str]:
    step = max(1, len(words) // count)
    return words[offset::step][:count]


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument("--morfessor-words", type=int, default=50_000)
    parser.add_argument("--segmented-words", type=int, default=200_000)
    parser.add_argument("--vocab-size", type=int, default=8000)
    args = parser.parse_args()

    words = sorted({line.strip() for line in WORD_LIST.read_text(encoding="utf-8").splitlines() if line.strip()})
    log(f"{len(words)} words in {WORD_LIST}")

    random.seed(0)  # Morfessor shuffles its training data with the random module.
    segmenter = morfessor.BaselineModel()
    segmenter.load_data([(1, word) for word in every_nth(words, args.morfessor_words, 0)])
    segmenter.train_batch()
    log(f"Morfessor trained on {args.morfessor_words} words")

    segmented = [MARKER.join(segmenter.viterbi_segment(word)[0]) for word in every_nth(words, args.segmented_words, 1)]
    log(f"segmented {len(segmented)} words, e.g. {', '.join(segmented[1000:1005])}")

    tokenizer = morfex.train(segmented, vocab_size=args.vocab_size, min_frequency=2)
    tokenizer.save(args.output)
    log(f"wrote {args.output}: {len(tokenizer)} tokens, {len(tokenizer.merges)} merges")


if __name__ == "__main__":
    main()

"""Words per second of morfex.Segmenter against Morfessor 2.0.6's viterbi_segment.

Morfessor Baseline learns morphs from Polish dictionary words (fixed seed)
and writes its segmentation file; both segmenters load that file and split
the same other words. Their results are checked equal before anything is
timed; then the ways of segmenting take turns, `--rounds` times each, and
their rates and the ratios to Morfessor are printed.

    python bench/segmenter_vs_morfessor.py [--train 5000] [--words 20000] [--rounds 3]
"""

import argparse
import random
import sys
import tempfile
import time
from pathlib import Path

import morfessor

from morfex import MARKER, Segmenter

WORD_LIST = Path("/usr/share/dict/polish")


def every_nth(words, count, offset):
    return words[offset :: max(1, len(words) // count)][:count]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--train", type=int, default=5000, help="words Morfessor learns from")
    parser.add_argument("--words", type=int, default=20_000, help="other words to segment")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    if not WORD_LIST.exists():
        sys.exit(f"{WORD_LIST} is missing; install Debian's wpolish")
    words = [line for line in WORD_LIST.read_text(encoding="utf-8").splitlines() if line]
    random.seed(0)
    morfessor.utils.show_progress_bar = False
    trained = morfessor.BaselineModel()
    trained.load_data([(1, word) for word in every_nth(words, args.train, 0)])
    trained.train_batch()
    test_words = every_nth(words, args.words, 1)

    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "segmentation.txt"
        io = morfessor.MorfessorIO(encoding="utf-8")
        io.write_segmentation_file(str(path), trained.get_segmentations())
        reference = morfessor.BaselineModel()
        reference.load_segmentations(io.read_segmentation_file(str(path)))
        segmenter = Segmenter.from_morfessor(path)

    expected = [MARKER.join(reference.viterbi_segment(word)[0]) for word in test_words]
    if [segmenter.segment(word) for word in test_words] != expected:
        sys.exit("morfex.Segmenter.segment differs from Morfessor; nothing timed")
    if segmenter.segment_batch(test_words, threads=1) != expected:
        sys.exit("morfex.Segmenter.segment_batch differs from Morfessor; nothing timed")

    ways = {
        "morfessor viterbi_segment loop": lambda: [reference.viterbi_segment(word) for word in test_words],
        "morfex Segmenter.segment loop": lambda: [segmenter.segment(word) for word in test_words],
        "morfex segment_batch(threads=1)": lambda: segmenter.segment_batch(test_words, threads=1),
    }
    seconds = {name: 0.0 for name in ways}
    for _ in range(args.rounds):
        for name, run in ways.items():
            started = time.perf_counter()
            run()
            seconds[name] += time.perf_counter() - started
    print(f"{len(test_words)} words, {len(segmenter.to_state()['morphs'])} morphs learnt from {args.train} words, "
          f"results equal; {args.rounds} rounds in turn")
    base = seconds["morfessor viterbi_segment loop"]
    for name, total in seconds.items():
        rate = len(test_words) * args.rounds / total
        print(f"  {name:34s} {rate:14,.0f} words/s  {base / total:7.1f}x Morfessor")


if __name__ == "__main__":
    main()

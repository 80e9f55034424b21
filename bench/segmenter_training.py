"""Segmenter training: morfex.train_segmenter against Morfessor 2.0.6, side by side.

Both train Morfessor Baseline by batch recursive splitting on the same words
(letters-only words of wordfreq's list, most frequent first), with the same
dampening, corpus weight and annotations, one after the other in this
process; each line gives the CPU time of training, the final cost and the
boundary precision, recall and F1 (micro-averaged over cut positions) on
held-out gold words, segmented by each model's Viterbi search.

When there is gold to tune on (--dev words, or at least ten annotated words
of which train_segmenter holds a tenth out), the "morfex tuned" line gives
train_segmenter's own choice of weights, its CPU time including the search;
morfex and Morfessor then train once more, side by side, with the weights it
chose (else the corpus weight 1.0 and the annotations' automatic weight).

Czech: ces.word.train.tsv shuffled (seed 0): the annotated words, then the
--dev words; evaluation on ces.word.dev.tsv. Hungarian:
hun.word.dev.tsv shuffled (seed 0): 4,000 words to evaluate on, then the
annotated words, then the --dev words, none shared.

    python bench/segmenter_training.py --language ces [--words 50000] [--annotated 10000]
        [--dev 2000] [--dampening ones] [--corpus-weight W] [--frequencies] [--no-morfessor]
"""

import argparse
import itertools
import math
import random
import time
from pathlib import Path

from morfex import MARKER
from morfex.evaluation.gold import read_segmentations
from morfex.segment.training import train_segmenter_with_cost

# The gold files sit in the shared folder beside the checkout.
GOLD = Path(__file__).resolve().parents[2] / "shared" / "gold"
WORDFREQ_LANGUAGE = {"ces": "cs", "hun": "hu"}
EVALUATED = 4000


def boundary_scores(segmented, gold):
    """Micro precision, recall and F1 over cut positions, and cuts per word;
    a word with gold alternatives is scored against the first."""
    hits = guessed = wanted = 0
    for word, alternatives in gold.items():
        guess = cuts(segmented[word])
        truth = cuts(alternatives[0])
        hits += len(guess & truth)
        guessed += len(guess)
        wanted += len(truth)
    precision = hits / guessed if guessed else 1.0
    recall = hits / wanted if wanted else 1.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return precision, recall, f1, guessed / len(gold)


def cuts(segmented):
    positions, at = set(), 0
    for morph in segmented.split(MARKER)[:-1]:
        at += len(morph)
        positions.add(at)
    return positions


def data(language, words, annotated, dev):
    import wordfreq

    train = list(itertools.islice((w for w in wordfreq.iter_wordlist(WORDFREQ_LANGUAGE[language]) if w.isalpha()), words))
    if language == "ces":
        # The file is in alphabetical order: a seeded sample spreads over it.
        rows = list(read_segmentations(GOLD / "ces.word.train.tsv").items())
        random.Random(0).shuffle(rows)
        annotations = dict(rows[:annotated])
        tuning = dict(rows[annotated : annotated + dev])
        evaluation = read_segmentations(GOLD / "ces.word.dev.tsv")
    else:
        rows = sorted(read_segmentations(GOLD / "hun.word.dev.tsv").items())
        random.Random(0).shuffle(rows)
        evaluation = dict(rows[:EVALUATED])
        annotations = dict(rows[EVALUATED : EVALUATED + annotated])
        tuning = dict(rows[EVALUATED + annotated : EVALUATED + annotated + dev])
    return train, annotations, tuning, evaluation


def morfessor_run(words, annotations, dampening, corpus_weight, annotation_weight):
    import morfessor

    morfessor.utils.show_progress_bar = False
    random.seed(0)
    modifier = {"none": None, "log": lambda x: int(round(math.log(x + 1, 2))), "ones": lambda x: 1}[dampening]
    model = morfessor.BaselineModel(corpusweight=corpus_weight)
    counted = words.items() if isinstance(words, dict) else ((w, 1) for w in words)
    model.load_data(((c, w) for w, c in counted), count_modifier=modifier)
    if annotations:
        model.set_annotations({w: [s.split(MARKER) for s in alts] for w, alts in annotations.items()},
                              annotation_weight)
    start = time.process_time()
    _, cost = model.train_batch()
    seconds = time.process_time() - start
    return seconds, cost, lambda word: MARKER.join(model.viterbi_segment(word)[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--language", choices=sorted(WORDFREQ_LANGUAGE), required=True)
    parser.add_argument("--words", type=int, default=50_000)
    parser.add_argument("--annotated", type=int, default=0, help="annotated gold words (0: unsupervised)")
    parser.add_argument("--dev", type=int, default=0,
                        help="other gold words to tune the weights on (0: a tenth of the annotations, if any)")
    parser.add_argument("--dampening", choices=("none", "log", "ones"), default="ones")
    parser.add_argument("--corpus-weight", type=float, help="train with this corpus weight, without tuning")
    parser.add_argument("--frequencies", action="store_true",
                        help="count each word as wordfreq's frequency times 10^8 (at least 1) rather than once")
    parser.add_argument("--no-morfessor", action="store_true", help="train morfex alone")
    args = parser.parse_args()
    words, annotations, tuning, evaluation = data(args.language, args.words, args.annotated, args.dev)
    print(f"{args.language}: {len(words)} words, {len(annotations)} annotated, {len(tuning)} to tune on, "
          f"{len(evaluation)} evaluated, dampening {args.dampening}")
    print(f"{'system':<14} {'CPU s':>8} {'cost':>12} {'weight':>7} {'annot.w':>7} {'P':>5} {'R':>5} {'F1':>5} {'cuts/w':>6}")
    if args.frequencies:
        import wordfreq

        words = {w: max(1, round(wordfreq.word_frequency(w, WORDFREQ_LANGUAGE[args.language]) * 1e8)) for w in words}
    weight, annotation_weight = args.corpus_weight or 1.0, None
    if args.corpus_weight is None and (tuning or len(annotations) >= 10):
        start = time.process_time()
        tuned = train_segmenter_with_cost(words, annotations=annotations or None, dev=tuning or None,
                                          dampening=args.dampening)
        seconds = time.process_time() - start
        weight, annotation_weight = tuned.corpus_weight, tuned.annotation_weight
        scores = boundary_scores({w: tuned.segmenter.segment(w) for w in evaluation}, evaluation)
        row("morfex tuned", seconds, tuned.cost, weight, annotation_weight, scores)
    start = time.process_time()
    fixed = train_segmenter_with_cost(words, annotations=annotations or None, corpus_weight=weight,
                                      annotation_weight=annotation_weight, dampening=args.dampening)
    seconds = time.process_time() - start
    scores = boundary_scores({w: fixed.segmenter.segment(w) for w in evaluation}, evaluation)
    row("morfex", seconds, fixed.cost, weight, annotation_weight, scores)
    if not args.no_morfessor:
        m_seconds, m_cost, segment = morfessor_run(words, annotations, args.dampening, weight, annotation_weight)
        m_scores = boundary_scores({w: segment(w) for w in evaluation}, evaluation)
        row("morfessor", m_seconds, m_cost, weight, annotation_weight, m_scores)
        print(f"same settings: morfex's cost is {100 * (fixed.cost / m_cost - 1):+.2f} % of Morfessor's; "
              f"it trains in {100 * seconds / m_seconds:.2f} % of Morfessor's CPU time ({m_seconds / seconds:.0f}x faster)")


def row(name, seconds, cost, weight, annotation_weight, scores):
    p, r, f, c = scores
    annotation = "auto" if annotation_weight is None else f"{annotation_weight:g}"
    print(f"{name:<14} {seconds:>8.2f} {cost:>12.1f} {weight:>7g} {annotation:>7} {100 * p:>5.1f} {100 * r:>5.1f} "
          f"{100 * f:>5.1f} {c:>6.2f}")


if __name__ == "__main__":
    main()

"""Segmenter training: morfex.train_segmenter against Morfessor 2.0.6, side by side.

Both train Morfessor Baseline by batch recursive splitting on the same words
(letters-only words of wordfreq's list, most frequent first), with the same
dampening, corpus weight and annotations, one after the other in this
process; each line gives the CPU time of training, the final cost and the
boundary precision, recall and F1 (micro-averaged over cut positions) on
held-out gold words, segmented by each model's Viterbi search.

Czech: annotations from ces.word.train.tsv, evaluation on ces.word.dev.tsv.
Hungarian: hun.word.dev.tsv shuffled (seed 0); the first --annotated words
annotate, the next 4,000 (never annotated) are evaluated on.

    python bench/segmenter_training.py --language ces [--words 50000] [--annotated 10000]
        [--dampening ones] [--corpus-weight W] [--no-morfessor]
"""

import argparse
import itertools
import math
import random
import time
from pathlib import Path

from morfex import MARKER
from morfex.segmenter_training import read_gold, train_segmenter_with_cost

GOLD = Path("/work/shared/gold")
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


def data(language, words, annotated):
    import wordfreq

    train = list(itertools.islice((w for w in wordfreq.iter_wordlist(WORDFREQ_LANGUAGE[language]) if w.isalpha()), words))
    if language == "ces":
        annotations = dict(itertools.islice(read_gold(GOLD / "ces.word.train.tsv").items(), annotated))
        evaluation = read_gold(GOLD / "ces.word.dev.tsv")
    else:
        rows = sorted(read_gold(GOLD / "hun.word.dev.tsv").items())
        random.Random(0).shuffle(rows)
        annotations = dict(rows[:annotated])
        evaluation = dict(rows[annotated : annotated + EVALUATED])
    return train, annotations, evaluation


def morfessor_run(words, annotations, dampening, corpus_weight, tuning):
    import morfessor

    morfessor.utils.show_progress_bar = False
    random.seed(0)
    modifier = {"none": None, "log": lambda x: int(round(math.log(x + 1, 2))), "ones": lambda x: 1}[dampening]
    model = morfessor.BaselineModel(corpusweight=corpus_weight)
    model.load_data(((1, w) for w in words), count_modifier=modifier)
    if annotations:
        model.set_annotations({w: [s.split(MARKER) for s in alts] for w, alts in annotations.items()})
    if tuning:
        model.set_corpus_weight_updater(
            morfessor.baseline.AnnotationCorpusWeight({w: [s.split(MARKER) for s in alts] for w, alts in tuning.items()})
        )
    start = time.process_time()
    _, cost = model.train_batch()
    seconds = time.process_time() - start
    return seconds, cost, lambda word: MARKER.join(model.viterbi_segment(word)[0]), model.get_corpus_coding_weight()


def morfex_run(words, annotations, dampening, corpus_weight):
    start = time.process_time()
    trained = train_segmenter_with_cost(
        words, annotations=annotations or None, corpus_weight=corpus_weight, dampening=dampening)
    return time.process_time() - start, trained.segmenter, trained.cost


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--language", choices=sorted(WORDFREQ_LANGUAGE), required=True)
    parser.add_argument("--words", type=int, default=50_000)
    parser.add_argument("--annotated", type=int, default=0, help="annotated gold words (0: unsupervised)")
    parser.add_argument("--dampening", choices=("none", "log", "ones"), default="ones")
    parser.add_argument("--corpus-weight", type=float, default=None,
                        help="fixed corpus weight (default: tuned on the annotations when there are any, else 1.0)")
    parser.add_argument("--no-morfessor", action="store_true", help="train morfex alone")
    args = parser.parse_args()
    words, annotations, evaluation = data(args.language, args.words, args.annotated)
    print(f"{args.language}: {len(words)} words, {len(annotations)} annotated, {len(evaluation)} evaluated, "
          f"dampening {args.dampening}")
    print(f"{'system':<10} {'CPU s':>9} {'cost':>14} {'weight':>8} {'P':>6} {'R':>6} {'F1':>6} {'cuts/word':>9}")
    seconds, segmenter, cost = morfex_run(words, annotations, args.dampening, args.corpus_weight)
    state = segmenter.to_state()
    scores = boundary_scores({w: segmenter.segment(w) for w in evaluation}, evaluation)
    row("morfex", seconds, cost, state.get("corpus_weight", 1.0), scores)
    if not args.no_morfessor:
        tuning = annotations if args.corpus_weight is None and annotations else None
        m_seconds, m_cost, segment, weight = morfessor_run(
            words, annotations, args.dampening, args.corpus_weight, tuning)
        row("morfessor", m_seconds, m_cost, weight, boundary_scores({w: segment(w) for w in evaluation}, evaluation))
        print(f"morfex trains in {seconds / m_seconds:.4f} of Morfessor's CPU time ({m_seconds / seconds:.0f}x faster)")


def row(name, seconds, cost, weight, scores):
    p, r, f, c = scores
    print(f"{name:<10} {seconds:>9.2f} {cost:>14.1f} {weight:>8.3f} {100 * p:>6.1f} {100 * r:>6.1f} {100 * f:>6.1f} {c:>9.2f}")


if __name__ == "__main__":
    main()

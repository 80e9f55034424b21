"""Running text on morfex's engine, side by side with its word mode and with tokenizers.

The lines are the alphabetic words of the Polish man pages, 12 to a line, so
that tokenizers' Whitespace pre-tokenizer and morfex's word mode see the same
words. The model is the shipped Polish one. Before any timing, text mode is
checked against a per-piece encoder (split, then CoreBPE.encode of each
piece) and tokenizers against morfex's word mode; each round then times every
peer once, and the figures are medians over rounds of ratios of two times
from the same round.

    bash bench/text_vs_peers.sh [--rounds N] [--lines N]
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

os.environ.setdefault("RAYON_NUM_THREADS", "2")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from core_vs_peers import hf_tokenizer  # noqa: E402
from polish_corpora import running_text_words  # noqa: E402
from tokenizers import pre_tokenizers  # noqa: E402

import morfex  # noqa: E402
from morfex import _engine  # noqa: E402

THREADS = 2
WORDS_PER_LINE = 12


def per_piece(tok, text):
    return [i for start, end, _ in _engine.split_text(text) for i in tok.encode(text[start:end])]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--lines", type=int, default=100_000)
    args = parser.parse_args()

    tok = morfex.default_model()
    words = [w for w in running_text_words() if w.isalpha()]
    count = min(args.lines * WORDS_PER_LINE, len(words) - len(words) % WORDS_PER_LINE)
    words = words[:count]
    lines = [" ".join(words[i:i + WORDS_PER_LINE]) for i in range(0, count, WORDS_PER_LINE)]
    hf = hf_tokenizer(dict(tok.vocab), list(tok.merges))
    hf.pre_tokenizer = pre_tokenizers.Whitespace()

    sample = lines[:2000]
    assert tok.encode_text_batch(sample, threads=THREADS) == [per_piece(tok, line) for line in sample]
    sample_words = [line.split() for line in sample]
    flat_words = [w for ws in sample_words for w in ws]
    ids, offsets = tok.encode_flat(flat_words, threads=THREADS)
    expected, at = [], 0
    for ws in sample_words:
        expected.append(ids[offsets[at]:offsets[at + len(ws)]].tolist())
        at += len(ws)
    assert [e.ids for e in hf.encode_batch(sample)] == expected, "tokenizers and morfex disagree on the words"
    print(f"{len(lines):,} lines, {count:,} words; results checked", file=sys.stderr)

    peers = {
        "text": lambda: tok.encode_text_flat(lines, threads=THREADS),
        "words": lambda: tok.encode_flat(words, threads=THREADS),
        "tokenizers": lambda: hf.encode_batch(lines),
    }
    times = {name: [] for name in peers}
    for round_ in range(args.rounds):
        names = list(peers)
        names = names[round_ % len(names):] + names[:round_ % len(names)]
        for name in names:
            start = time.perf_counter()
            peers[name]()
            times[name].append(time.perf_counter() - start)
    ratio = lambda a, b: statistics.median(x / y for x, y in zip(times[a], times[b]))  # noqa: E731
    print(f"text mode speed / word mode speed ({THREADS} threads): {ratio('words', 'text'):.2f}x (target >= 0.7)")
    print(f"tokenizers time / text mode time ({THREADS} threads): {ratio('tokenizers', 'text'):.1f}x (target >= 20)")


if __name__ == "__main__":
    main()

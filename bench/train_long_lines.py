"""Training time of one long line against the same words one per line.

The same synthetic words (markers removed) are trained as a word list and as
a single line joined by spaces; a trainer whose cost grows with the length of
a unit shows a large ratio.

    pip install .
    python bench/train_long_lines.py --megabytes 16
"""

import argparse
import sys
import time
from pathlib import Path

import morfex

sys.path.insert(0, str(Path(__file__).parent))
from synthetic_corpus import synthetic_words  # noqa: E402


def seconds(corpus: bytes, vocab_size: int) -> float:
    start = time.perf_counter()
    morfex.train_bytes(corpus, "corpus", vocab_size=vocab_size)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=4.0, help="corpus size (default: %(default)s)")
    parser.add_argument("--vocab-size", type=int, default=8000)
    args = parser.parse_args()
    words: list[str] = []
    size = 0
    while size < args.megabytes * 1e6:
        batch = [word.replace(morfex.MARKER, "") for word in synthetic_words(100_000, seed=len(words))]
        words.extend(batch)
        size += sum(len(word.encode()) + 1 for word in batch)
    lines = "\n".join(words).encode()
    one_line = " ".join(words).encode()
    per_line = seconds(lines, args.vocab_size)
    single = seconds(one_line, args.vocab_size)
    print(f"{len(one_line) / 1e6:.1f} MB, {len(words)} words, vocab {args.vocab_size}")
    print(f"one word per line: {per_line:.2f} s")
    print(f"one line:          {single:.2f} s  ({single / per_line:.2f} x)")


if __name__ == "__main__":
    main()

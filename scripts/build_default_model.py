"""Builds the default model shipped in python/morfex/data/.

Source: the Polish man pages of Debian's manpages-pl package (GPL-3+),
rendered to plain text by groff as the benchmarks render them
(bench/polish_corpora.py). Every tenth page is held out for the benchmarks'
tokens-per-word figures; the model learns from the others:

1. Morfessor Baseline (BSD licence, from PyPI) learns morphs, without
   supervision, from the distinct words of the text (counts dampened to
   1 + log2, as Morfessor's documentation suggests for token counts), and
   writes its segmentation file.
2. morfex reads that file as its native segmenter and trains on the running
   text (every piece counted, each distinct word segmented once), with byte
   fallback, so every character can be encoded.
3. The model is saved with its segmenter.

Every step is deterministic, so the same inputs give the same file.
"""

import argparse
import math
import random
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import morfessor

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from polish_corpora import MAN_PAGES, man_page_text  # noqa: E402

import morfex  # noqa: E402
from morfex.text import pieces as text_pieces  # noqa: E402

HELD_OUT_EVERY = 10
MORFESSOR_SEED = 0


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def man_pages() -> list[Path]:
    pages = sorted(path for path in MAN_PAGES.rglob("*.gz") if path.is_file() and not path.is_symlink())
    if not pages:
        sys.exit(f"no man pages under {MAN_PAGES}; install Debian's manpages-pl")
    return pages


def split_pages(pages: list[Path]) -> tuple[list[Path], list[Path]]:
    """The training pages and the held-out pages."""
    return ([page for i, page in enumerate(pages) if i % HELD_OUT_EVERY],
            [page for i, page in enumerate(pages) if not i % HELD_OUT_EVERY])


def write_text(pages: list[Path], path: Path) -> None:
    path.write_text("".join(man_page_text(page) for page in pages), encoding="utf-8")


def word_counts(path: Path) -> Counter:
    counts: Counter = Counter()
    for piece in text_pieces.split(path.read_text(encoding="utf-8")):
        if text_pieces.is_word(piece):
            counts[piece.removeprefix(" ")] += 1
    return counts


def train_morfessor(words: Counter, segmentation: Path) -> None:
    random.seed(MORFESSOR_SEED)  # Morfessor shuffles its training data with the random module.
    model = morfessor.BaselineModel()
    model.load_data([(count, word) for word, count in sorted(words.items())],
                    count_modifier=lambda count: 1 + int(math.log2(count)))
    model.train_batch()
    morfessor.MorfessorIO().write_segmentation_file(str(segmentation), model.get_segmentations())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument("--held-out", type=Path, help="also write the held-out text here")
    parser.add_argument("--vocab-size", type=int, default=16000)
    args = parser.parse_args()

    training, held_out = split_pages(man_pages())
    with tempfile.TemporaryDirectory() as scratch:
        text = Path(scratch) / "text.txt"
        write_text(training, text)
        if args.held_out is not None:
            write_text(held_out, args.held_out)
        words = word_counts(text)
        log(f"{len(training)} pages ({text.stat().st_size:,} bytes, {sum(words.values()):,} words, "
            f"{len(words):,} distinct) to learn from, {len(held_out)} held out")
        segmentation = Path(scratch) / "segmentation.txt"
        train_morfessor(words, segmentation)
        segmenter = morfex.Segmenter.from_morfessor(segmentation)
        log(f"Morfessor learnt {segmenter!r}; e.g. "
            + ", ".join(segmenter.segment(word) for word in ("kotami", "plikach", "użytkownika", "uruchomienia")))
        tokenizer = morfex.train_text([text], segment=segmenter, vocab_size=args.vocab_size,
                                      min_frequency=2, byte_fallback=True)
    tokenizer.save(args.output)
    log(f"wrote {args.output}: {len(tokenizer)} tokens, {len(tokenizer.merges)} merges, "
        f"{args.output.stat().st_size:,} bytes")


if __name__ == "__main__":
    main()

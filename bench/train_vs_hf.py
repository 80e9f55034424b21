"""Training speed of morfex against Hugging Face tokenizers' BpeTrainer.

Both trainers get the same segmented words in memory and the same vocabulary
size and minimum pair frequency; the Hugging Face trainer has the words split
at the marker first, so that it too never merges across a boundary. Each
trainer runs --repeat times, alternating, and the best time of each counts.

    pip install . tokenizers
    python bench/train_vs_hf.py                 # a million synthetic words
    python bench/train_vs_hf.py --corpus FILE   # one segmented word per line
"""

import argparse
import sys
import time
from pathlib import Path

from tokenizers import Tokenizer, models, pre_tokenizers, trainers

import morfex

sys.path.insert(0, str(Path(__file__).parent))
from synthetic_corpus import synthetic_words  # noqa: E402


def train_morfex(words: list[str], vocab_size: int, min_frequency: int) -> int:
    return len(morfex.train(words, vocab_size=vocab_size, min_frequency=min_frequency))


def train_hf(words: list[str], vocab_size: int, min_frequency: int) -> int:
    tokenizer = Tokenizer(models.BPE(unk_token="<unk>"))
    tokenizer.pre_tokenizer = pre_tokenizers.Split(morfex.MARKER, behavior="removed")
    trainer = trainers.BpeTrainer(
        vocab_size=vocab_size,
        min_frequency=min_frequency,
        special_tokens=list(morfex.SPECIAL_TOKENS),
        show_progress=False,
    )
    tokenizer.train_from_iterator(words, trainer, length=len(words))
    return tokenizer.get_vocab_size()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, help="segmented words, one per line (default: synthetic)")
    parser.add_argument("--words", type=int, default=1_000_000, help="synthetic words to make (default: 1000000)")
    parser.add_argument("--vocab-size", type=int, default=8000)
    parser.add_argument("--min-frequency", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    if args.corpus:
        words = args.corpus.read_text(encoding="utf-8").splitlines()
    else:
        words = synthetic_words(args.words)
    print(f"{len(words)} words, vocab size {args.vocab_size}, min frequency {args.min_frequency}")

    best = {"morfex": float("inf"), "tokenizers": float("inf")}
    sizes = {}
    for _ in range(args.repeat):
        for name, run in (("morfex", train_morfex), ("tokenizers", train_hf)):
            start = time.perf_counter()
            sizes[name] = run(words, args.vocab_size, args.min_frequency)
            best[name] = min(best[name], time.perf_counter() - start)
    for name in best:
        print(f"{name:>10}: {best[name]:.3f} s (best of {args.repeat}), {sizes[name]} tokens")
    print(f"ratio morfex / tokenizers: {best['morfex'] / best['tokenizers']:.2f}")


if __name__ == "__main__":
    main()

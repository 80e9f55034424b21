"""What BPE-dropout costs per word on one thread, against exact encoding.

Words are one to four morphs of the shipped model's segmenter, drawn by
their counts and joined with the boundary marker. Each round times
`encode_flat(threads=1)` once per setting, in an order that rotates from
round to round; the medians are printed in ns a word with their ratio to
exact encoding. Rate 0.0 takes the exact path (word cache included), so its
ratio is 1 within noise; above 0 the word cache is bypassed, so exact
encoding without a cache is shown too.

    python bench/dropout_cost.py [--words N] [--rounds R]
"""

import argparse
import random
import statistics
import time

import morfex
from morfex.vocabulary import MARKER


def segmented_words(tok: morfex.Tokenizer, count: int) -> list[str]:
    assert tok.segmenter is not None
    morphs = tok.segmenter.native.morphs()
    names, weights = list(morphs), list(morphs.values())
    rng = random.Random(0)
    return [MARKER.join(rng.choices(names, weights, k=rng.randint(1, 4))) for _ in range(count)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=300_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    cached = morfex.default_model()
    uncached = morfex.default_model()
    uncached.cache_size = 0
    words = segmented_words(cached, args.words)
    settings = {
        "exact": (cached, {}),
        "exact, no cache": (uncached, {}),
        "dropout 0.0": (cached, {"dropout": 0.0, "seed": 1}),
        "dropout 0.1": (cached, {"dropout": 0.1, "seed": 1}),
        "dropout 0.5": (cached, {"dropout": 0.5, "seed": 1}),
    }
    exact_ids = cached.encode_flat(words, threads=1)[0]
    for name, (tok, options) in settings.items():
        ids = tok.encode_flat(words, threads=1, **options)[0]
        if options.get("dropout", 0.0) == 0.0:
            assert (ids == exact_ids).all(), name
        else:
            assert len(ids) > len(exact_ids), name
    times: dict[str, list[float]] = {name: [] for name in settings}
    names = list(settings)
    for round_number in range(args.rounds):
        for name in names[round_number % len(names) :] + names[: round_number % len(names)]:
            tok, options = settings[name]
            started = time.process_time()
            tok.encode_flat(words, threads=1, **options)
            times[name].append((time.process_time() - started) / len(words) * 1e9)
    exact = statistics.median(times["exact"])
    print(f"{len(words)} words, {args.rounds} rounds, CPU time per word on one thread (median)")
    for name in names:
        median = statistics.median(times[name])
        print(f"  {name:16} {median:8.0f} ns  x{median / exact:.2f}")


if __name__ == "__main__":
    main()

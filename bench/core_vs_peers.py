"""Side-by-side speed of the _morfex core against its peers on a real model,
and of morfex.Tokenizer's encode and decode against the core's.

The model is trained by morfex.train on real segmented words (see
segmented_words.py). Peers: Hugging Face tokenizers (a BPE model from the same
vocabulary and merges, no normalizer or pre-tokenizer, "<unk>" as unknown
token), the plain reference model of the tests, and the floor: a CoreBPE whose
vocabulary holds every character and whose merge list is empty, on the same
inputs. Before timing anything, every peer's ids are checked against ours.

Every figure is a ratio of two times measured back to back in the same round,
as the median over the rounds. Encoding gets a fresh str per call, as in a
real pipeline, so no str arrives with a UTF-8 form already cached. The peers
take turns, so each round of a peer starts with the caches that the others
left. The "warmed" figures come from rounds of their own in which each peer
first works on other words, untimed, as in a pipeline that encodes word
after word; the per-word targets are checked on them, and the "cold" rounds
are reported beside them.

    bash bench/core_vs_peers.sh [--rounds N] [--plot FILE]
"""

import argparse
import json
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

from reference_model import ReferenceBPE  # noqa: E402
from segmented_words import CACHE, segmented_words  # noqa: E402
from tokenizers import Tokenizer, models  # noqa: E402

import morfex  # noqa: E402
from _morfex import CoreBPE  # noqa: E402
from morfex.vocabulary import MARKER, SPECIAL_TOKENS  # noqa: E402

WARM_UP_WORDS = 5_000
LENGTHS = [1_000, 2_000, 5_000, 10_000, 20_000, 50_000, 100_000, 200_000]
REFERENCE_LENGTHS = [1_000, 2_000]


def hf_tokenizer(vocab, merges):
    tokenizer = Tokenizer(models.BPE(vocab=dict(vocab), merges=list(merges), unk_token="<unk>"))
    # Registered as special so that decode(skip_special_tokens=True) drops them.
    tokenizer.add_special_tokens(list(SPECIAL_TOKENS))
    return tokenizer


def fresh(text):
    """A new str equal to `text`, without the UTF-8 copy a str caches once asked."""
    return text.encode().decode()


def per_call_ns(function, inputs):
    start = time.perf_counter_ns()
    for item in inputs:
        function(item)
    return (time.perf_counter_ns() - start) / len(inputs)


def rounds_side_by_side(peers, make_inputs, rounds, make_warm_up_inputs=None):
    """Times every peer once per round, in a rotating order; returns the times by peer.
    With `make_warm_up_inputs`, each peer first runs on those, untimed, just before its timed run."""
    times = {name: [] for name in peers}
    names = list(peers)
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            if make_warm_up_inputs is not None:
                per_call_ns(peers[name], make_warm_up_inputs())
            times[name].append(per_call_ns(peers[name], make_inputs()))
    return times


def warmed(peers, names, make_inputs, make_warm_up_inputs, rounds):
    """The times of some peers in rounds of their own, each run right after a warm-up run."""
    times = rounds_side_by_side({name: peers[name] for name in names}, make_inputs, rounds, make_warm_up_inputs)
    return {f"{name} warmed": t for name, t in times.items()}


def print_medians(what, times):
    """The absolute medians behind the ratios, for reading them."""
    medians = ", ".join(f"{name} {statistics.median(t):,.0f}" for name, t in times.items())
    print(f"{what}, median ns per call: {medians}")


def median_ratio(times, numerator, denominator):
    return statistics.median(a / b for a, b in zip(times[numerator], times[denominator]))


def check_same(what, expected, **others):
    for name, got in others.items():
        if got != expected:
            sys.exit(f"{what}: {name} gives {got!r}, morfex {expected!r}; nothing timed")


# Tokenizer.encode and decode are the engine's native methods, doing per call
# what CoreBPE's do: their ratio to CoreBPE is 1 within a few percent of noise.


def bench_words(bpe, tok, hf, reference, floor, words, other_words, rounds):
    for word in words:
        ids = bpe.encode(word)
        check_same(f"encode({word!r})", ids, tokenizers=hf.encode(word).ids, reference=reference.encode(word),
                   Tokenizer=tok.encode(word))
    peers = {
        "morfex": bpe.encode,
        "Tokenizer": tok.encode,
        "tokenizers": lambda word: hf.encode(word).ids,
        "reference": reference.encode,
        "floor": floor.encode,
    }

    def make_inputs():
        return [fresh(word) for word in words]

    times = rounds_side_by_side(peers, make_inputs, rounds)
    times |= warmed(peers, ["morfex", "Tokenizer", "tokenizers", "reference", "floor"], make_inputs,
                    lambda: [fresh(word) for word in other_words], rounds)
    print_medians("encode a word", times)
    # The targets hold in steady state, for a pipeline that encodes word after word:
    # the warmed rounds. The cold rounds are reported beside them.
    return [
        ("encode a word, warmed: tokenizers / morfex",
         median_ratio(times, "tokenizers warmed", "morfex warmed"), ">= 10"),
        ("encode a word, cold: tokenizers / morfex", median_ratio(times, "tokenizers", "morfex"), "-"),
        ("encode a word, warmed: reference / morfex",
         median_ratio(times, "reference warmed", "morfex warmed"), ">= 30"),
        ("encode a word, cold: reference / morfex", median_ratio(times, "reference", "morfex"), "-"),
        ("encode a word, warmed: morfex / floor", median_ratio(times, "morfex warmed", "floor warmed"), "<= 2"),
        ("encode a word, cold: morfex / floor", median_ratio(times, "morfex", "floor"), "-"),
        ("encode a word, warmed: Tokenizer / CoreBPE (morfex)",
         median_ratio(times, "Tokenizer warmed", "morfex warmed"), "<= 1.05"),
        ("encode a word, cold: Tokenizer / CoreBPE (morfex)", median_ratio(times, "Tokenizer", "morfex"), "-"),
    ]


def bench_decode(bpe, tok, hf, reference, words, other_words, rounds):
    sequences = [bpe.encode(word) for word in words]
    other_sequences = [bpe.encode(word) for word in other_words]
    for ids in sequences:
        text = bpe.decode(ids)
        check_same(f"decode({ids})", text, reference=reference.decode(ids), Tokenizer=tok.decode(ids))
        # Without a decoder tokenizers joins tokens with spaces and keeps the markers.
        joined = hf.decode(ids, skip_special_tokens=True).replace(" ", "").replace(MARKER, "")
        check_same(f"decode({ids}) without spaces", text, tokenizers=joined)
    peers = {
        "morfex": bpe.decode,
        "Tokenizer": tok.decode,
        "tokenizers": lambda ids: hf.decode(ids, skip_special_tokens=True),
        # Reads every id and does nothing else: what any decoder pays before its own work.
        "sum": sum,
    }

    def make_inputs():
        return [list(ids) for ids in sequences]

    times = rounds_side_by_side(peers, make_inputs, rounds)
    times |= warmed(peers, ["morfex", "Tokenizer", "tokenizers"], make_inputs,
                    lambda: [list(ids) for ids in other_sequences], rounds)
    print_medians("decode a word", times)
    return [
        ("decode a word, warmed: tokenizers / morfex",
         median_ratio(times, "tokenizers warmed", "morfex warmed"), ">= 10"),
        ("decode a word, cold: tokenizers / morfex", median_ratio(times, "tokenizers", "morfex"), "-"),
        ("decode a word, cold: tokenizers / sum(ids), reading the ids alone",
         median_ratio(times, "tokenizers", "sum"), "-"),
        ("decode a word, warmed: Tokenizer / CoreBPE (morfex)",
         median_ratio(times, "Tokenizer warmed", "morfex warmed"), "<= 1.05"),
        ("decode a word, cold: Tokenizer / CoreBPE (morfex)", median_ratio(times, "Tokenizer", "morfex"), "-"),
    ]


def bench_lengths(bpe, hf, reference, floor, words, rounds):
    """Encode time by input length: words joined by the marker into one input."""
    long_text = MARKER.join(words)
    while len(long_text) < LENGTHS[-1]:
        long_text += MARKER + long_text
    texts = {n: long_text[:n] for n in LENGTHS}
    for n, text in texts.items():
        ids = bpe.encode(text)
        others = {"tokenizers": hf.encode(text).ids}
        if n in REFERENCE_LENGTHS:
            others["reference"] = reference.encode(text)
        check_same(f"encode of {n} characters", ids, **others)

    peers = {"morfex": bpe.encode, "tokenizers": lambda text: hf.encode(text).ids, "floor": floor.encode}
    curves = {name: {} for name in [*peers, "reference"]}
    growth = []
    for _ in range(rounds):
        this_round = {}
        for n, text in texts.items():
            for name, function in peers.items():
                this_round[name, n] = per_call_ns(function, [fresh(text)])
                curves[name].setdefault(n, []).append(this_round[name, n])
        growth.append(this_round["morfex", 200_000] / this_round["morfex", 20_000])
    for n in REFERENCE_LENGTHS:
        curves["reference"][n] = [per_call_ns(reference.encode, [fresh(texts[n])])]
    curves = {name: {n: statistics.median(t) for n, t in by_n.items()} for name, by_n in curves.items()}
    figures = [("long input: morfex 200,000 chars / 20,000 chars", statistics.median(growth), "<= 15")]
    for n in (20_000, 200_000):
        figures.append((f"long input of {n:,} chars: tokenizers / morfex",
                        curves["tokenizers"][n] / curves["morfex"][n], "-"))
    return figures, curves


CONSTRUCT = """
import json, sys, time
kind, path = sys.argv[1], sys.argv[2]
with open(path, encoding="utf-8") as f:
    data = json.load(f)
vocab, merges = data["vocab"], [tuple(pair) for pair in data["merges"]]
if kind == "morfex":
    from _morfex import CoreBPE as build
else:
    from tokenizers.models import BPE
    build = lambda vocab, merges: BPE(vocab=vocab, merges=merges, unk_token="<unk>")
del data

def rss_kib(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # restart the peak (VmHWM) from the current size
before = rss_kib("VmRSS")
start = time.perf_counter()
model = build(vocab, merges)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "kept_kib": rss_kib("VmRSS") - before, "peak_kib": rss_kib("VmHWM") - before}))
"""


def construction_model(words, trained):
    """100,000 tokens and 100,000 merges: the trained model grown by joining
    random pairs of its own tokens, as a trainer would, until both counts are reached."""
    rng = random.Random(5)
    vocab = dict(trained.vocab)
    merges = list(trained.merges)
    tokens = [token for token in vocab if token not in SPECIAL_TOKENS and token != MARKER]
    while len(vocab) < 100_000 or len(merges) < 100_000:
        left, right = rng.choice(tokens), rng.choice(tokens)
        if len(vocab) < 100_000 and left + right not in vocab:
            vocab[left + right] = len(vocab)
            tokens.append(left + right)
            merges.append((left, right))
        elif len(vocab) >= 100_000 and left + right in vocab:
            merges.append((left, right))
    return vocab, merges


def bench_construction(vocab, merges, rounds):
    with tempfile.NamedTemporaryFile("w", suffix=".json", encoding="utf-8", delete=False) as f:
        json.dump({"vocab": vocab, "merges": merges}, f)
        path = f.name
    results = {"morfex": [], "tokenizers": []}
    for round_number in range(rounds):
        order = ["morfex", "tokenizers"] if round_number % 2 == 0 else ["tokenizers", "morfex"]
        for kind in order:
            out = subprocess.run([sys.executable, "-c", CONSTRUCT, kind, path],
                                 check=True, capture_output=True, text=True).stdout
            results[kind].append(json.loads(out))
    Path(path).unlink()

    def ratio(field):
        return statistics.median(m[field] / t[field] for m, t in zip(results["morfex"], results["tokenizers"]))

    return [
        ("build 100k tokens/100k merges: morfex / tokenizers time", ratio("seconds"), "<= 1"),
        ("build 100k tokens/100k merges: morfex / tokenizers peak RSS", ratio("peak_kib"), "<= 1"),
        ("build 100k tokens/100k merges: morfex / tokenizers kept RSS", ratio("kept_kib"), "<= 1"),
    ]


def plot(curves, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7, 4.5))
    for name, by_n in curves.items():
        lengths = sorted(by_n)
        axes.plot(lengths, [by_n[n] / 1e6 for n in lengths], marker="o", label=name)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("input length (characters)")
    axes.set_ylabel("encode time per call (ms, median)")
    axes.set_title("Encoding one long input (words joined by U+2581)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)


def passes(value, target):
    if target == "-":
        return ""
    bound = float(target.split()[1])
    return "ok" if (value >= bound if target.startswith(">=") else value <= bound) else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=11, help="timed rounds per figure (default 11)")
    parser.add_argument("--vocab-size", type=int, default=40_000, help="size of the trained model (default 40000)")
    parser.add_argument("--min-frequency", type=int, default=2, help="of a merged pair in training (default 2)")
    parser.add_argument("--corpus-weight", type=float, default=1.15,
                        help="Morfessor's corpus weight for segmenting the words (default 1.15)")
    parser.add_argument("--sample", type=int, default=2_000, help="words timed per round (default 2000)")
    parser.add_argument("--plot", type=Path, default=CACHE / "encode_vs_length.png")
    args = parser.parse_args()

    words = segmented_words(corpus_weight=args.corpus_weight)
    trained = morfex.train(words, vocab_size=args.vocab_size, min_frequency=args.min_frequency)
    vocab, merges = dict(trained.vocab), list(trained.merges)
    sample = random.Random(1).sample(words, args.sample)
    timed = set(sample)
    other_words = random.Random(2).sample([word for word in words if word not in timed], WARM_UP_WORDS)
    bpe = CoreBPE(vocab, merges)
    tok = morfex.Tokenizer(vocab, merges)
    hf = hf_tokenizer(vocab, merges)
    reference = ReferenceBPE(vocab, merges)
    characters = sorted(set("".join(words)))
    floor = CoreBPE({ch: i for i, ch in enumerate(characters)}, [])
    print(f"model: morfex.train on {len(words):,} segmented Polish words: "
          f"{len(vocab):,} tokens, {len(merges):,} merges; {len(sample):,} words per round, "
          f"{args.rounds} rounds")

    figures = bench_words(bpe, tok, hf, reference, floor, sample, other_words, args.rounds)
    figures += bench_decode(bpe, tok, hf, reference, sample, other_words, args.rounds)
    length_figures, curves = bench_lengths(bpe, hf, reference, floor, sample, max(3, args.rounds // 2))
    figures += length_figures
    big_vocab, big_merges = construction_model(words, trained)
    figures += bench_construction(big_vocab, big_merges, max(3, args.rounds // 2))

    width = max(len(name) for name, _, _ in figures)
    print(f"{'figure (median ratio)':<{width}}  {'value':>8}  {'target':>6}")
    for name, value, target in figures:
        print(f"{name:<{width}}  {value:>8.2f}  {target:>6}  {passes(value, target)}")
    plot(curves, args.plot)
    print(f"plot: {args.plot}")


if __name__ == "__main__":
    main()

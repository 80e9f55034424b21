"""Batch encoding and decoding of whole corpora by morfex's engine, side by side with its peers.

Corpora (polish_corpora.py): (a) Morfessor-segmented dictionary words, (b)
the words of Polish man pages in text order, (c) raw dictionary words
shuffled. The timed model is trained by morfex.train on (a) and on the
words of (b) with their counts; sentencepiece (BPE) is trained on the same
items to the same vocabulary size.

Each thread count runs in a subprocess of its own (engine_peers.py), started
with RAYON_NUM_THREADS set, holding every peer. Each round asks every
(corpus, thread count, peer) for one timed pass over the whole corpus, in an
order that rotates from round to round, so the figures, medians over rounds
of ratios of two times from the same round, see the same machine. Before
any timing, every peer's ids are checked against morfex's per-word encode.

    bash bench/engine_vs_peers.sh [--rounds N] [--limit WORDS] [--plot FILE]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from core_vs_peers import passes  # noqa: E402
from engine_peers import DECODERS, ENCODERS  # noqa: E402
from polish_corpora import CACHE, CORPUS_NAMES, corpora, training_items  # noqa: E402

import morfex  # noqa: E402

THREADS = (1, 2)
WORK = CACHE / "engine"


def figure_rows():
    """(label, numerator, denominator, target): each time is (corpus, threads, peer)."""
    flat, loop = "morfex encode_flat", "per-word loop"
    rows = [
        ("encode, 2 threads, caches on, (b): tokenizers / encode_flat",
         ("text", 2, "tokenizers"), ("text", 2, flat), ">= 20"),
        ("encode, 2 threads, caches off, (c): tokenizers / encode_flat",
         ("dictionary", 2, "tokenizers, no cache"), ("dictionary", 2, "morfex encode_flat, no cache"), ">= 10"),
    ]
    for corpus, letter in (("segmented", "a"), ("text", "b"), ("dictionary", "c")):
        rows.append((f"encode, 2 threads, ({letter}): sentencepiece / encode_flat",
                     (corpus, 2, "sentencepiece"), (corpus, 2, flat), ">= 10"))
    rows += [
        ("encode, 1 thread, (a): per-word loop / encode_flat", ("segmented", 1, loop), ("segmented", 1, flat), ">= 5"),
        ("encode, 1 thread, (a): per-word loop / encode_batch",
         ("segmented", 1, loop), ("segmented", 1, "morfex encode_batch"), ">= 2"),
        ("scaling, (b): encode_flat 1 thread / 2 threads", ("text", 1, flat), ("text", 2, flat), ">= 1.8"),
        ("merging, caches off, (c), 1 thread: encode_flat / floor",
         ("dictionary", 1, "morfex encode_flat, no cache"), ("dictionary", 1, "floor encode_flat, no cache"), "<= 4"),
        ("merging, caches off, (c), 2 threads: encode_flat / floor",
         ("dictionary", 2, "morfex encode_flat, no cache"), ("dictionary", 2, "floor encode_flat, no cache"), "-"),
        ("encode, 2 threads, (b): tokenizers, no cache / tokenizers",
         ("text", 2, "tokenizers, no cache"), ("text", 2, "tokenizers"), "-"),
        ("encode, 2 threads, (b): encode_flat, no cache / encode_flat",
         ("text", 2, "morfex encode_flat, no cache"), ("text", 2, flat), "-"),
    ]
    for corpus, letter in (("segmented", "a"), ("text", "b"), ("dictionary", "c")):
        rows.append((f"decode, 2 threads, ({letter}): tokenizers decode_batch / decode_flat",
                     (corpus, 2, "tokenizers decode_batch"), (corpus, 2, "morfex decode_flat"), ">= 10"))
    return rows


def prepare(args):
    """Writes the corpora, the morfex model and the sentencepiece model for the workers."""
    import sentencepiece

    texts = corpora(args.dictionary_words, args.corpus_weight)
    items = training_items(texts)
    tok = morfex.train(items, vocab_size=args.vocab_size, min_frequency=args.min_frequency)
    corpus_dir = WORK / "corpora"
    corpus_dir.mkdir(parents=True, exist_ok=True)
    for name, words in texts.items():
        words = words[:args.limit] if args.limit else words
        (corpus_dir / f"{name}.txt").write_text("\n".join(words) + "\n", encoding="utf-8")
    model_path = WORK / "model.json"
    tok.save(model_path)

    # sentencepiece reads "text TAB count" lines; it takes U+2581 in its input for its own boundary.
    tsv = WORK / "sentencepiece-input.tsv"
    with tsv.open("w", encoding="utf-8") as out:
        for item in items:
            word, _, count = item.partition("\t")
            out.write(f"{word}\t{count or 1}\n")
    sentencepiece.SentencePieceTrainer.train(
        input=str(tsv), input_format="tsv", model_prefix=str(WORK / "sentencepiece"), model_type="bpe",
        vocab_size=len(tok), character_coverage=1.0, normalization_rule_name="identity",
        add_dummy_prefix=False, hard_vocab_limit=False, num_threads=2, minloglevel=2)
    print(f"model: morfex.train on {len(texts['segmented']):,} segmented words and the "
          f"{len(items) - len(texts['segmented']):,} distinct words of (b) with their counts: "
          f"{len(tok):,} tokens, {len(tok.merges):,} merges; sentencepiece BPE on the same items, "
          f"{len(tok):,} pieces asked")
    return model_path, WORK / "sentencepiece.model", corpus_dir


class WorkerProcess:
    def __init__(self, threads, paths):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads), TOKENIZERS_PARALLELISM="true")
        self.process = subprocess.Popen(
            [sys.executable, str(HERE / "engine_peers.py"), str(threads), *map(str, paths)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8", env=env)
        self.threads = threads

    def reply(self):
        line = self.process.stdout.readline()
        if not line:
            sys.exit(f"the {self.threads}-thread worker ended (status {self.process.wait()}); nothing timed")
        return json.loads(line)

    def ready(self):
        answer = self.reply()
        if "error" in answer:
            sys.exit(f"{answer['error']}; nothing timed")
        return answer["ready"]

    def time(self, corpus, peer):
        self.process.stdin.write(json.dumps({"corpus": corpus, "peer": peer}) + "\n")
        self.process.stdin.flush()
        return self.reply()["seconds"]

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def run_rounds(workers, corpus_names, rounds):
    """Times of every (corpus, threads, peer), one per round, in rotating order."""
    keys = [(corpus, threads, peer) for corpus in corpus_names for threads in workers
            for peer in ENCODERS + DECODERS]
    times = {key: [] for key in keys}
    started = time.monotonic()
    for number in range(rounds):
        shift = number * len(keys) // rounds
        for key in keys[shift:] + keys[:shift]:
            corpus, threads, peer = key
            times[key].append(workers[threads].time(corpus, peer))
        print(f"round {number + 1}/{rounds} done, {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    return times


def print_facts(facts):
    print(f"{'corpus':<48} {'words':>9} {'morfex tokens':>14} {'<unk>':>6} "
          f"{'sentencepiece tokens':>21} {'<unk>':>6} {'round trips':>12}")
    for corpus in CORPUS_NAMES:
        f = facts[corpus]
        print(f"{CORPUS_NAMES[corpus]:<48} {f['words']:>9,} {f['morfex tokens']:>14,} {f['morfex <unk>']:>6,} "
              f"{f['sentencepiece tokens']:>21,} {f['sentencepiece <unk>']:>6,} "
              f"{f['sentencepiece round trips'] / f['words']:>11.2%}")


def throughput(times, facts):
    """Median words per second of every (corpus, threads, peer), with the slowest and fastest round."""
    return {key: tuple(facts[key[0]]["words"] / s for s in (statistics.median(t), max(t), min(t)))
            for key, t in times.items()}


def print_throughput(rates, corpus_names):
    print("\nwords per second, median over rounds (slowest to fastest round)")
    for corpus in corpus_names:
        print(CORPUS_NAMES[corpus])
        for peer in ENCODERS + DECODERS:
            cells = []
            for threads in THREADS:
                median, low, high = rates[corpus, threads, peer]
                cells.append(f"{threads} thr {median / 1e6:7.2f} M ({low / 1e6:.2f} to {high / 1e6:.2f})")
            print(f"  {peer:<30} " + "   ".join(cells))


def figures(times):
    results = []
    for label, numerator, denominator, target in figure_rows():
        ratios = [a / b for a, b in zip(times[numerator], times[denominator])]
        results.append((label, statistics.median(ratios), min(ratios), max(ratios), target))
    return results


def print_figures(results):
    width = max(len(row[0]) for row in results)
    print(f"\n{'figure (median ratio of times from the same round)':<{width}}  {'value':>7}  "
          f"{'range':>15}  target")
    for label, value, low, high, target in results:
        verdict = {"ok": "met", "MISSED": "missed", "": ""}[passes(value, target)]
        print(f"{label:<{width}}  {value:>7.2f}  {low:>6.2f} to {high:<6.2f}  {target:>7} {verdict}")


def plot(rates, corpus_names, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, len(corpus_names), figsize=(4.5 * len(corpus_names) + 2.5, 9), squeeze=False)
    for column, corpus in enumerate(corpus_names):
        for row, peers in enumerate((ENCODERS, DECODERS)):
            ax = axes[row][column]
            for peer in peers:
                medians = [rates[corpus, threads, peer][0] for threads in THREADS]
                ours = peer.startswith(("morfex", "per-word", "floor"))
                ax.plot(THREADS, medians, marker="o", linestyle="-" if ours else "--", label=peer)
            ax.set_yscale("log")
            ax.set_xticks(THREADS)
            ax.set_xlabel("threads")
            ax.set_ylabel("words per second (median)")
            ax.set_title(f"{'encode' if row == 0 else 'decode'}: {CORPUS_NAMES[corpus]}", fontsize=10)
            ax.grid(True, which="both", alpha=0.3)
    for row in range(2):
        axes[row][-1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1))
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--vocab-size", type=int, default=24_000, help="of the trained models (default 24000)")
    parser.add_argument("--min-frequency", type=int, default=2, help="of a merged pair in training (default 2)")
    parser.add_argument("--corpus-weight", type=float, default=1.15, help="Morfessor's, for corpus (a) (default 1.15)")
    parser.add_argument("--dictionary-words", type=int, default=400_000, help="in corpus (c) (default 400000)")
    parser.add_argument("--limit", type=int, default=0, help="time only the first WORDS words of each corpus")
    parser.add_argument("--plot", type=Path, default=CACHE / "engine_vs_peers.png")
    args = parser.parse_args()

    paths = prepare(args)
    workers = {threads: WorkerProcess(threads, paths) for threads in THREADS}
    facts = {threads: worker.ready() for threads, worker in workers.items()}
    if facts[1] != facts[2]:
        sys.exit(f"the counts differ between 1 and 2 threads: {facts[1]} and {facts[2]}; nothing timed")
    facts = facts[1]
    corpus_names = list(CORPUS_NAMES)
    print("every peer gives morfex's ids and texts on every corpus, with 1 and with 2 threads")
    print_facts(facts)
    print(f"{args.rounds} rounds, each timing one pass of every peer over every corpus", file=sys.stderr)
    times = run_rounds(workers, corpus_names, args.rounds)
    for worker in workers.values():
        worker.close()
    rates = throughput(times, facts)
    print_throughput(rates, corpus_names)
    print_figures(figures(times))
    plot(rates, corpus_names, args.plot)
    print(f"\nplot: {args.plot}")


if __name__ == "__main__":
    main()

"""The main job, running text to ids with the shipped segmenting model, side by side with its peers.

The text is held out from the shipped model's training: every tenth Polish
man page (as scripts/build_default_model.py splits them), rendered by groff.
It is timed in two shapes: the rendered lines as they are, and lines of 12
of its words. sentencepiece (BPE) and tokenizers (BPE, Metaspace) learn from
the other pages to the shipped model's vocabulary size, as
bench/tokens_per_word.py trains them; their models are cached under
build/bench/main_job/.

Before any timing, every morfex path is checked against the per-text method:
encode_text_flat with and without the segmenter, at 1 and 2 threads, gives
encode_text's ids for every text; encode_flat gives encode's ids for every
word; decode_text_flat gives every text back; and `morfex encode --format
npy` writes encode_text_flat's ids. Each round then times every path once, in
an order that rotates from round to round; the figures are medians over
rounds of ratios of two times from the same round. Last, `morfex encode FILE
--format npy` runs against `wc -w` on the held-out text repeated to 200 MB,
with its peak memory there and on 20 MB (GNU time).

    bash bench/main_job.sh [--rounds N] [--cli-rounds N] [--quick] [--plot FILE]
"""

import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

# tokenizers sizes its thread pool once, on first use.
os.environ["RAYON_NUM_THREADS"] = "2"
os.environ["TOKENIZERS_PARALLELISM"] = "true"
# Nothing here uses BLAS; its idle threads would only spin beside the timed ones.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
from polish_corpora import CACHE, MAN_PAGES, man_page_text  # noqa: E402

import morfex  # noqa: E402

WORK = CACHE / "main_job"
HELD_OUT_EVERY = 10  # as scripts/build_default_model.py holds pages out
WORDS_PER_LINE = 12
PEER_THREADS = 2


def pages_text(held_out: bool) -> str:
    """The held-out pages' text, or that of the pages the shipped model learnt from (cached)."""
    path = WORK / ("held-out.txt" if held_out else "training.txt")
    if not path.exists():
        pages = sorted(page for page in MAN_PAGES.rglob("*.gz") if page.is_file() and not page.is_symlink())
        if not pages:
            sys.exit(f"no man pages under {MAN_PAGES}; install Debian's manpages-pl")
        chosen = [page for i, page in enumerate(pages) if (i % HELD_OUT_EVERY == 0) == held_out]
        print(f"rendering {len(chosen)} man pages", file=sys.stderr, flush=True)
        WORK.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(man_page_text(page) for page in chosen), encoding="utf-8")
    return path.read_text(encoding="utf-8")


def trained_peers(size: int):
    """sentencepiece and tokenizers BPE learnt from the training pages to `size` tokens (cached)."""
    import sentencepiece as spm
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    training = WORK / "training.txt"
    pages_text(held_out=False)
    prefix = WORK / f"sentencepiece-{size}"
    if not prefix.with_suffix(".model").exists():
        print("training sentencepiece", file=sys.stderr, flush=True)
        spm.SentencePieceTrainer.train(
            input=str(training), model_prefix=str(prefix), model_type="bpe", vocab_size=size, byte_fallback=True,
            normalization_rule_name="identity", character_coverage=1.0, max_sentence_length=1 << 16,
            num_threads=2, minloglevel=2)
    sp = spm.SentencePieceProcessor(model_file=str(prefix.with_suffix(".model")))
    hf_path = WORK / f"tokenizers-{size}.json"
    if not hf_path.exists():
        print("training tokenizers", file=sys.stderr, flush=True)
        hf = Tokenizer(models.BPE(byte_fallback=True, unk_token="<unk>"))
        hf.pre_tokenizer = pre_tokenizers.Metaspace()
        hf.decoder = decoders.Sequence([decoders.ByteFallback(), decoders.Metaspace()])
        hf.train([str(training)], trainers.BpeTrainer(vocab_size=size, special_tokens=["<unk>"],
                                                      initial_alphabet=[], show_progress=False))
        hf.add_tokens([f"<0x{byte:02X}>" for byte in range(256) if hf.token_to_id(f"<0x{byte:02X}>") is None])
        hf.save(str(hf_path))
    return sp, Tokenizer.from_file(str(hf_path))


def twelve_word_lines(lines: list[str]) -> list[str]:
    words = " ".join(lines).split()
    return [" ".join(words[i:i + WORDS_PER_LINE]) + "\n" for i in range(0, len(words), WORDS_PER_LINE)]


def check_text(tok, lines, shape):
    """Every running-text path gives encode_text's ids for every text, and decodes back to it."""
    for segmenter, name in ((tok.segmenter, "with"), (None, "without")):
        expected = [tok.encode_text(line, segmenter=segmenter) for line in lines]
        for threads in (1, 2):
            ids, offsets = tok.encode_text_flat(lines, threads=threads, segmenter=segmenter)
            got = [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(lines))]
            if got != expected:
                first = next(i for i, (a, b) in enumerate(zip(got, expected)) if a != b)
                sys.exit(f"{shape}: encode_text_flat {name} the segmenter, {threads} threads, differs from "
                         f"encode_text on line {first} {lines[first]!r}; nothing timed")
            if tok.decode_text_flat(ids, offsets, threads=threads) != lines:
                sys.exit(f"{shape}: decode_text_flat does not give the lines back; nothing timed")


def check_words(tok, words):
    ids, offsets = tok.encode_flat(words, threads=2)
    one = tok.encode_flat(words, threads=1)
    if not (np.array_equal(ids, one[0]) and np.array_equal(offsets, one[1])):
        sys.exit("encode_flat differs between 1 and 2 threads; nothing timed")
    sample = range(0, len(words), max(1, len(words) // 20_000))
    for i in sample:
        if ids[offsets[i]:offsets[i + 1]].tolist() != tok.encode(words[i]):
            sys.exit(f"encode_flat differs from encode on word {i} {words[i]!r}; nothing timed")
    if tok.decode_flat(ids, offsets, threads=2) != words:
        sys.exit("decode_flat does not give the words back; nothing timed")


def fresh(strs):
    """New str objects equal to `strs`, so no str arrives with its UTF-8 form cached."""
    return "\x00".join(strs).split("\x00")


def shape_paths(tok, sp, hf, lines):
    """name -> (threads, make untimed input, timed call) for one shape of text."""
    words = " ".join(lines).split()
    ids, offsets = tok.encode_text_flat(lines, threads=2)
    hf_ids = [encoding.ids for encoding in hf.encode_batch(lines)]
    word_ids, word_offsets = tok.encode_flat(words, threads=2)
    paths = {}
    for threads in (1, 2):
        paths[f"encode_text_flat, segmenter, {threads}t"] = (
            threads, lambda: fresh(lines), lambda x, t=threads: tok.encode_text_flat(x, threads=t))
        paths[f"encode_text_flat, no segmenter, {threads}t"] = (
            threads, lambda: fresh(lines), lambda x, t=threads: tok.encode_text_flat(x, threads=t, segmenter=None))
        paths[f"encode_flat, words, {threads}t"] = (
            threads, lambda: fresh(words), lambda x, t=threads: tok.encode_flat(x, threads=t))
        paths[f"decode_text_flat, {threads}t"] = (
            threads, lambda: None, lambda _, t=threads: tok.decode_text_flat(ids, offsets, threads=t))
        paths[f"sentencepiece encode, {threads}t"] = (
            threads, lambda: fresh(lines), lambda x, t=threads: sp.encode(x, num_threads=t))
    paths["decode_flat, words, 2t"] = (
        2, lambda: None, lambda _: tok.decode_flat(word_ids, word_offsets, threads=2))
    paths["tokenizers encode_batch, 2t"] = (PEER_THREADS, lambda: fresh(lines), hf.encode_batch)
    paths["tokenizers decode_batch, 2t"] = (PEER_THREADS, lambda: None, lambda _: hf.decode_batch(hf_ids))
    return paths


def run_rounds(shapes, rounds):
    """Wall and CPU seconds of every path, one each per round, after one untimed call of each."""
    keys = [(shape, name) for shape, paths in shapes.items() for name in paths]
    for shape, name in keys:
        _, make_input, call = shapes[shape][name]
        call(make_input())
    times = {key: [] for key in keys}
    cpu = {key: [] for key in keys}
    started = time.monotonic()
    for number in range(rounds):
        shift = number * len(keys) // rounds
        for shape, name in keys[shift:] + keys[:shift]:
            _, make_input, call = shapes[shape][name]
            argument = make_input()
            begin, begin_cpu = time.perf_counter(), time.process_time()
            call(argument)
            times[shape, name].append(time.perf_counter() - begin)
            cpu[shape, name].append(time.process_time() - begin_cpu)
        print(f"round {number + 1}/{rounds} done, {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    return times, cpu


TEXT_FIGURES = [
    ("segmenter, 2t: tokenizers encode_batch / encode_text_flat",
     "tokenizers encode_batch, 2t", "encode_text_flat, segmenter, 2t", ">= 40"),
    ("segmenter, 2t: sentencepiece (2 threads) / encode_text_flat",
     "sentencepiece encode, 2t", "encode_text_flat, segmenter, 2t", ">= 15"),
    ("encode_text_flat, segmenter: 1t / 2t",
     "encode_text_flat, segmenter, 1t", "encode_text_flat, segmenter, 2t", ">= 1.8"),
    ("encode_text_flat, no segmenter: 1t / 2t",
     "encode_text_flat, no segmenter, 1t", "encode_text_flat, no segmenter, 2t", ">= 1.8"),
    ("encode_flat, words: 1t / 2t", "encode_flat, words, 1t", "encode_flat, words, 2t", ">= 1.8"),
    ("segmenter cost, 1t: with / without",
     "encode_text_flat, segmenter, 1t", "encode_text_flat, no segmenter, 1t", "<= 1.2"),
    ("segmenter cost, 2t: with / without",
     "encode_text_flat, segmenter, 2t", "encode_text_flat, no segmenter, 2t", "<= 1.2"),
    ("decode, 2t: tokenizers decode_batch / decode_text_flat",
     "tokenizers decode_batch, 2t", "decode_text_flat, 2t", ">= 10"),
    ("decode, 2t: tokenizers decode_batch / decode_flat (words)",
     "tokenizers decode_batch, 2t", "decode_flat, words, 2t", ">= 10"),
]


SCALING = [(label, one, two) for label, one, two, _ in TEXT_FIGURES if label.endswith("1t / 2t")]


def verdict(value, target):
    bound = float(target.split()[1])
    return "met" if (value >= bound if target.startswith(">=") else value <= bound) else "MISSED"


def median_ratio(times, shape, numerator, denominator):
    return statistics.median(a / b for a, b in zip(times[shape, numerator], times[shape, denominator]))


def print_results(shapes, sizes, times, cpu):
    print("\nMB/s of UTF-8 text, median over rounds")
    names = list(next(iter(shapes.values())))
    print(f"{'path':<40}" + "".join(f"{shape:>18}" for shape in shapes))
    for name in names:
        print(f"{name:<40}" + "".join(f"{sizes[shape] / 1e6 / statistics.median(times[shape, name]):>18.1f}"
                                       for shape in shapes))
    print(f"\n{'figure (median of ratios of times from the same round)':<60}"
          + "".join(f"{shape:>18}" for shape in shapes) + "  target")
    for label, numerator, denominator, target in TEXT_FIGURES:
        cells = []
        for shape in shapes:
            value = median_ratio(times, shape, numerator, denominator)
            cells.append(f"{value:>10.2f} {verdict(value, target):>7}")
        print(f"{label:<60}" + "".join(cells) + f"  {target}")
    print("\nCPU seconds of the process, 2 threads / 1 thread (median of ratios; near 1: no work added by the "
          "second thread, so wall time 1t / 2t is bounded by the cores the machine has free)")
    for label, one, two in SCALING:
        print(f"{label:<60}" + "".join(f"{median_ratio(cpu, shape, two, one):>18.2f}" for shape in shapes))


def plot(shapes, sizes, times, path):
    try:
        import matplotlib
    except ImportError:
        print(f"matplotlib is missing: no plot written to {path}")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, len(shapes), figsize=(6.5 * len(shapes), 5), squeeze=False)
    for ax, shape in zip(axes[0], shapes):
        series = {}
        for name, (threads, _, _) in shapes[shape].items():
            label = name.rsplit(",", 1)[0]
            series.setdefault(label, []).append((threads, sizes[shape] / 1e6 / statistics.median(times[shape, name])))
        for label, points in series.items():
            points.sort()
            ours = not label.startswith(("tokenizers", "sentencepiece"))
            ax.plot(*zip(*points), marker="o", linestyle="-" if ours else "--", label=label)
        ax.set_yscale("log")
        ax.set_xticks([1, 2])
        ax.set_xlabel("threads")
        ax.set_ylabel("MB/s of text (median)")
        ax.set_title(shape)
        ax.grid(True, which="both", alpha=0.3)
    axes[0][-1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1))
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)
    print(f"\nplot: {path}")


def repeated_file(text: bytes, megabytes: int) -> Path:
    # Named by what it repeats, so a smoke run's file never stands in for a full one's.
    path = WORK / f"held-out-{hashlib.sha256(text).hexdigest()[:12]}-{megabytes}mb.txt"
    if not path.exists() or path.stat().st_size < megabytes << 20:
        with open(path, "wb") as out:
            written = 0
            while written < megabytes << 20:
                out.write(text)
                written += len(text)
    return path


def timed(command: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident MB of one run of `command` (GNU time, which counts only the child)."""
    report = WORK / "time.txt"
    started = time.perf_counter()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), *command],
                            stdout=subprocess.DEVNULL).returncode
    seconds = time.perf_counter() - started
    if status != 0:
        sys.exit(f"{' '.join(command)} failed with status {status}")
    return seconds, int(report.read_text().split()[-1]) // 1024


def encode_command(path: Path, out: Path) -> list[str]:
    return [sys.executable, "-m", "morfex", "encode", str(path), "--format", "npy", "-o", str(out), "-q"]


def command_line(tok, held_out: str, large_mb: int, small_mb: int, rounds: int) -> None:
    if not Path("/usr/bin/time").exists():
        sys.exit("GNU time is missing (Debian's package time)")
    data = held_out.encode("utf-8")
    large, small = repeated_file(data, large_mb), repeated_file(data, small_mb)
    out = WORK / "ids.npy"
    subprocess.run(encode_command(small, out), check=True)
    ids = np.load(out, mmap_mode="r")
    offsets = np.load(WORK / "ids.offsets.npy", mmap_mode="r")
    want_ids, want_offsets = tok.encode_text_flat(small.read_text(encoding="utf-8").splitlines(keepends=True))
    if not (np.array_equal(ids, want_ids) and np.array_equal(offsets, want_offsets)):
        sys.exit(f"the ids that morfex encode wrote for {small} differ from encode_text_flat's")
    del ids, offsets
    runs = [("wc -w", ["wc", "-w", str(large)]), ("morfex encode --format npy", encode_command(large, out)),
            ("morfex encode --format npy, small", encode_command(small, out))]
    times = {name: [] for name, _ in runs}
    memory = {name: [] for name, _ in runs}
    for number in range(rounds):
        shift = number % len(runs)
        for name, command in runs[shift:] + runs[:shift]:
            seconds, megabytes = timed(command)
            times[name].append(seconds)
            memory[name].append(megabytes)
        print(f"command line round {number + 1}/{rounds} done", file=sys.stderr, flush=True)
    print(f"\ncommand line, the held-out text repeated to {large.stat().st_size / 1e6:.0f} MB "
          f"(and {small.stat().st_size / 1e6:.0f} MB); {rounds} rounds; ids checked against encode_text_flat")
    print(f"{'run':<36}{'median s':>10}{'MB/s':>10}{'peak RSS MB':>14}")
    for name, _ in runs:
        size = (small if name.endswith("small") else large).stat().st_size
        seconds = statistics.median(times[name])
        print(f"{name:<36}{seconds:>10.2f}{size / 1e6 / seconds:>10.1f}{max(memory[name]):>14}")
    speed = statistics.median(w / m for w, m in zip(times["wc -w"], times["morfex encode --format npy"]))
    growth = max(memory["morfex encode --format npy"]) / max(memory["morfex encode --format npy, small"])
    print(f"{'morfex encode / wc -w, speed':<60}{speed:>10.2f} {verdict(speed, '>= 1'):>7}  >= 1")
    print(f"{'peak RSS, large / small file':<60}{growth:>10.2f} {verdict(growth, '<= 1.2'):>7}  <= 1.2")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds in process (default 5)")
    parser.add_argument("--cli-rounds", type=int, default=2, help="timed rounds of the command line (default 2)")
    parser.add_argument("--large", type=int, default=200, help="MB of the command line's file (default 200)")
    parser.add_argument("--small", type=int, default=20, help="MB of its small file (default 20)")
    parser.add_argument("--megabytes", type=float, default=4,
                        help="the held-out text repeated to about this size in process (default 4)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 2,000 lines, 2 rounds, 1 command-line round on 4 and 2 MB")
    parser.add_argument("--plot", type=Path, default=WORK / "main_job.png")
    args = parser.parse_args()
    if args.quick:
        args.rounds, args.cli_rounds, args.large, args.small = 2, 1, 4, 2

    tok = morfex.default_model()
    if tok.segmenter is None:
        sys.exit("the shipped model has no segmenter")
    held_out = pages_text(held_out=True)
    sp, hf = trained_peers(len(tok))
    lines = held_out.splitlines(keepends=True)
    if args.quick:
        lines = lines[:2000]
    else:
        lines *= max(1, round(args.megabytes * 1e6 / len(held_out.encode("utf-8"))))
    shapes = {"man-page lines": lines, "12-word lines": twelve_word_lines(lines)}
    for shape, texts in shapes.items():
        check_text(tok, texts, shape)
    check_words(tok, " ".join(lines).split())
    sizes = {shape: sum(len(line.encode("utf-8")) for line in texts) for shape, texts in shapes.items()}
    load = os.getloadavg()[0]
    print(f"held-out text, repeated: {len(lines):,} lines, {sizes['man-page lines'] / 1e6:.1f} MB; vocabulary size {len(tok)} "
          f"for every model; load average {load:.1f} on {os.cpu_count()} cores")
    print("checked: encode_text_flat with and without the segmenter, 1 and 2 threads, gives encode_text's ids "
          "for every line; encode_flat gives encode's; decode_text_flat and decode_flat give the text back")
    paths = {shape: shape_paths(tok, sp, hf, texts) for shape, texts in shapes.items()}
    times, cpu = run_rounds(paths, args.rounds)
    print_results(paths, sizes, times, cpu)
    plot(paths, sizes, times, args.plot)
    if args.cli_rounds:
        command_line(tok, "".join(lines[:2000]) if args.quick else held_out, args.large, args.small, args.cli_rounds)
    print(f"\nload average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

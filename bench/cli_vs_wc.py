"""`morfex encode --format npy` on a large text file, side by side with `wc -w`.

The text is Debian's Polish man pages rendered to plain text (as corpus (b)
of engine_vs_peers.py), repeated until the file holds SIZE MB; the model is
the shipped one. Each round times `wc -w FILE` and `morfex encode FILE
--format npy -o OUT -q` on a 200 MB and a 20 MB file, in an order that
rotates, and reads each run's peak resident memory from the kernel
(GNU time). Before timing, the ids written for the 20 MB file are checked
against encode_text_flat of the same lines.

    bash bench/cli_vs_wc.sh [--rounds N] [--large MB] [--small MB]
"""

import argparse
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from polish_corpora import CACHE, MAN_PAGES, man_page_text  # noqa: E402

import morfex  # noqa: E402

WORK = CACHE / "cli"


def man_pages_text() -> bytes:
    cache = CACHE / "polish-manpages.txt"
    if not cache.exists():
        pages = sorted(path for path in MAN_PAGES.rglob("*.gz") if path.is_file() and not path.is_symlink())
        if not pages:
            sys.exit(f"no man pages under {MAN_PAGES}; install Debian's manpages-pl")
        CACHE.mkdir(parents=True, exist_ok=True)
        cache.write_text("".join(man_page_text(page) for page in pages), encoding="utf-8")
    return cache.read_bytes()


def text_file(megabytes: int) -> Path:
    path = WORK / f"manpages-{megabytes}mb.txt"
    if not path.exists():
        text = man_pages_text()
        WORK.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as out:
            written = 0
            while written < megabytes << 20:
                out.write(text)
                written += len(text)
    return path


def timed(command: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident memory in MB of one run of `command`.
    GNU time reads the peak after exec, so this process's own size never counts."""
    report = WORK / "time.txt"
    started = time.perf_counter()
    status = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), *command],
                            stdout=subprocess.DEVNULL).returncode
    seconds = time.perf_counter() - started
    if status != 0:
        sys.exit(f"{' '.join(command)} failed with status {status}")
    return seconds, int(report.read_text().split()[-1]) // 1024


def check(path: Path, out: Path) -> None:
    subprocess.run(encode_command(path, out), check=True)
    ids = np.load(out, mmap_mode="r")
    offsets = np.load(out.with_name(out.name[: -len(".npy")] + ".offsets.npy"), mmap_mode="r")
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    want_ids, want_offsets = morfex.default_model().encode_text_flat(lines)
    if not (np.array_equal(ids, want_ids) and np.array_equal(offsets, want_offsets)):
        sys.exit(f"the ids written for {path} differ from encode_text_flat's")


def encode_command(path: Path, out: Path) -> list[str]:
    return [sys.executable, "-m", "morfex", "encode", str(path), "--format", "npy", "-o", str(out), "-q"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--large", type=int, default=200, help="MB")
    parser.add_argument("--small", type=int, default=20, help="MB")
    args = parser.parse_args()
    large, small = text_file(args.large), text_file(args.small)
    out = WORK / "ids.npy"
    check(small, out)
    wc = shutil.which("wc") or sys.exit("no wc")
    runs = [("wc -w", large, [wc, "-w", str(large)]),
            ("morfex encode, large", large, encode_command(large, out)),
            ("morfex encode, small", small, encode_command(small, out))]
    times: dict[str, list[float]] = {name: [] for name, _, _ in runs}
    memory: dict[str, list[int]] = {name: [] for name, _, _ in runs}
    for round_number in range(args.rounds):
        shift = round_number % len(runs)
        for name, _, command in runs[shift:] + runs[:shift]:
            seconds, megabytes = timed(command)
            times[name].append(seconds)
            memory[name].append(megabytes)
        print(f"round {round_number + 1}/{args.rounds} done", file=sys.stderr, flush=True)
    size = large.stat().st_size / 1e6
    print(f"{'run':<24}{'median s':>10}{'MB/s':>10}{'peak RSS MB':>14}")
    for name, path, _ in runs:
        seconds = statistics.median(times[name])
        print(f"{name:<24}{seconds:>10.2f}{path.stat().st_size / 1e6 / seconds:>10.1f}{max(memory[name]):>14}")
    speed = statistics.median(w / m for w, m in zip(times["wc -w"], times["morfex encode, large"]))
    growth = max(memory["morfex encode, large"]) / max(memory["morfex encode, small"])
    print(f"\nfile sizes: {size:.0f} MB and {small.stat().st_size / 1e6:.0f} MB")
    print(f"{'morfex encode / wc -w, speed (median of ratios)':<56}{speed:>8.2f}   target >= 0.5")
    print(f"{'peak RSS, large / small input':<56}{growth:>8.2f}   target <= 1.2")


if __name__ == "__main__":
    main()

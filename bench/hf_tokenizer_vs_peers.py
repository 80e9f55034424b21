"""Times morfex's transformers tokenizer against encode_text_batch and against transformers' fast tokenizer.

    python bench/hf_tokenizer_vs_peers.py [--texts N] [--rounds R]

Texts are clauses of tests/data/polish_text.txt joined in a seeded random
order. Four ways, side by side in one run, each the median of R rounds:
morfex's `encode_text_batch`; `MorfexTokenizer` on the same raw texts (with
<s>/</s>, then also padded and truncated to 64 with attention masks); and
`PreTrainedTokenizerFast` reading the directory's tokenizer.json, which needs
the texts segmented first (`encode_text(..., segmenter=None, markers=True)`
on them gives its ids: it keeps the marker ids, which morfex leaves out by
default), with the same template, padding and truncation. Every way's ids are
checked equal to morfex's first. Needs transformers.
"""

from __future__ import annotations

import argparse
import random
import re
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tokenizers.processors import TemplateProcessing
from transformers import AutoTokenizer, PreTrainedTokenizerFast

import morfex
from morfex.text import pieces as text_pieces

LINES = (Path(__file__).resolve().parent.parent / "tests" / "data" / "polish_text.txt").read_text(encoding="utf-8")


def texts(count: int) -> list[str]:
    clauses = [clause for line in LINES.splitlines() for clause in re.split(r"(?<=[,.;:!?]) ", line)]
    rng = random.Random(0)
    return [" ".join(rng.sample(clauses, rng.randint(1, 4))) for _ in range(count)]


def segmented(model: morfex.Tokenizer, text: str) -> str:
    """The text with U+2581 between the morphs of every word, as tokenizer.json needs it."""
    segmenter = model.segmenter
    assert isinstance(segmenter, morfex.Segmenter)
    pieces = text_pieces.split(text)
    return "".join(
        (" " if piece.startswith(" ") else "") + segmenter.segment(piece.removeprefix(" "))
        if text_pieces.is_word(piece) else piece
        for piece in pieces
    )


def median_seconds(work: Callable[[], Any], rounds: int) -> float:
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, default=20000, help="texts per round (default: 20,000)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds of each way (default: 5)")
    args = parser.parse_args()

    model = morfex.default_model()
    raw = texts(args.texts)
    with tempfile.TemporaryDirectory() as directory:
        model.save_pretrained(directory, model_max_length=64)
        started = time.perf_counter()
        hf = AutoTokenizer.from_pretrained(directory, trust_remote_code=True)
        load_seconds = time.perf_counter() - started
        started = time.perf_counter()
        fast = PreTrainedTokenizerFast(tokenizer_file=f"{directory}/tokenizer.json", **dict(hf.special_tokens_map))
        fast_load_seconds = time.perf_counter() - started
    fast.backend_tokenizer.post_processor = TemplateProcessing(
        single="<s> $A </s>", special_tokens=[("<s>", hf.bos_token_id), ("</s>", hf.eos_token_id)]
    )
    presegmented = [segmented(model, text) for text in raw]

    assert hf(raw)["input_ids"] == model.encode_text_batch(raw, bos=True, eos=True)
    assert fast(presegmented)["input_ids"] == model.encode_text_batch(raw, bos=True, eos=True, markers=True)
    options = {"padding": True, "truncation": True, "max_length": 64}
    for markers, ids in ((False, hf(raw, **options)["input_ids"]), (True, fast(presegmented, **options)["input_ids"])):
        matrix, _ = model.encode_text_padded(raw, markers=markers, bos=True, eos=True, max_length=64)
        assert ids == matrix.tolist()

    ways = {
        "morfex encode_text_batch (<s>/</s>)": lambda: model.encode_text_batch(raw, bos=True, eos=True),
        "MorfexTokenizer(raw)": lambda: hf(raw),
        "fast tokenizer.json(pre-segmented)": lambda: fast(presegmented),
        "MorfexTokenizer(raw, padded to 64)": lambda: hf(raw, **options),
        "fast tokenizer.json(pre-segmented, padded to 64)": lambda: fast(presegmented, **options),
    }
    seconds = {name: median_seconds(work, args.rounds) for name, work in ways.items()}
    base = seconds["morfex encode_text_batch (<s>/</s>)"]
    print(f"{args.texts} texts, median of {args.rounds} rounds; ids checked equal first")
    print(f"loading: AutoTokenizer {load_seconds:.3f} s, PreTrainedTokenizerFast(tokenizer.json) {fast_load_seconds:.3f} s")
    for name, value in seconds.items():
        print(f"{name:50} {value:8.3f} s  {value / base:6.2f} x encode_text_batch")


if __name__ == "__main__":
    main()

"""morfex inside datasets.map and Ray Data, side by side with tokenizers and with the local engine.

The text is the words of the Polish man pages in text order, 12 to a line,
repeated up to the size asked for; the model is the shipped Polish one.

(a) datasets.map(batched=True, num_proc=2) over a dataset saved to disk, with
    a function calling Tokenizer.encode_text_batch, with morfex.TokenizeBatch
    on Arrow batches, and with the model exported by Tokenizer.save_hf and
    loaded into tokenizers (skipped with a note where save_hf is missing).
(b) Ray Data with two TokenizeBatch workers (read_parquet, map_batches,
    materialize; Ray is started before the clock starts, the workers after)
    against reading the same Parquet files and Tokenizer.encode_text_flat(threads=2)
    locally.

Every arm's ids are checked equal to the local engine's on a sample first,
and each timed run's total of ids against the local one; the figures are
times of one run each and their ratios, all measured in this one process.

    bash bench/integrations_vs_peers.sh [--megabytes N]
"""

import argparse
import itertools
import logging
import os
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
os.environ.setdefault("RAYON_NUM_THREADS", "1")
os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import datasets  # noqa: E402
import pyarrow  # noqa: E402
import pyarrow.compute as compute  # noqa: E402
import pyarrow.parquet as parquet  # noqa: E402
import ray  # noqa: E402
from polish_corpora import running_text_words  # noqa: E402

import morfex  # noqa: E402

WORKERS = 2
WORDS_PER_LINE = 12
SAMPLE_LINES = 2000
FILES = 8


def polish_lines(megabytes):
    words = running_text_words()
    lines = (" ".join(words[i:i + WORDS_PER_LINE]) for i in itertools.cycle(range(0, len(words), WORDS_PER_LINE)))
    chosen, size = [], 0
    for line in lines:
        if size >= megabytes * 1_000_000:
            return chosen
        chosen.append(line)
        size += len(line.encode("utf-8")) + 1


class MorfexFunction:
    def __init__(self, tokenizer):
        self.tokenizer = tokenizer

    def __call__(self, batch):
        return {"ids": self.tokenizer.encode_text_batch(batch["text"], threads=1)}


class TokenizersFunction:
    def __init__(self, path):
        self.path, self.model = path, None

    def __getstate__(self):
        return {"path": self.path, "model": None}

    def __call__(self, batch):
        if self.model is None:
            import tokenizers

            self.model = tokenizers.Tokenizer.from_file(self.path)
        return {"ids": [encoding.ids for encoding in self.model.encode_batch(batch["text"], add_special_tokens=False)]}


def exported_model(tok, directory):
    if not hasattr(tok, "save_hf"):
        print("note: Tokenizer.save_hf is missing in this morfex; the tokenizers arm is skipped", file=sys.stderr)
        return None
    tok.save_hf(directory)
    return str(Path(directory) / "tokenizer.json")


def total_ids(table):
    return compute.sum(compute.list_value_length(table.column("ids"))).as_py()


def time_map(source, function, arrow):
    dataset = source.with_format("arrow") if arrow else source
    start = time.perf_counter()
    result = dataset.map(function, batched=True, num_proc=WORKERS, load_from_cache_file=False)
    return time.perf_counter() - start, result


def datasets_arms(tok, lines, scratch, expected_total):
    sample = lines[:SAMPLE_LINES]
    expected = tok.encode_text_batch(sample, threads=1)
    arms = {"morfex function": (MorfexFunction(tok), False), "morfex TokenizeBatch": (morfex.TokenizeBatch(tok), True)}
    path = exported_model(tok, scratch / "hf")
    if path is not None:
        arms["tokenizers (save_hf)"] = (TokenizersFunction(path), False)
    for name, (function, arrow) in arms.items():
        if arrow:
            got = function(pyarrow.table({"text": sample}))["ids"].to_pylist()
        else:
            got = function({"text": sample})["ids"]
        assert got == expected, f"{name} disagrees with encode_text_batch"
    datasets.Dataset.from_dict({"text": lines}).save_to_disk(str(scratch / "source"))
    source = datasets.load_from_disk(str(scratch / "source"))
    times = {}
    for name, (function, arrow) in arms.items():
        seconds, result = time_map(source, function, arrow)
        assert total_ids(result.data.table) == expected_total, f"{name} gave another number of ids"
        times[name] = seconds
    return times


def ray_tokenized(path):
    dataset = ray.data.read_parquet(path).map_batches(
        morfex.TokenizeBatch, compute=ray.data.ActorPoolStrategy(size=WORKERS), batch_format="pyarrow"
    )
    return pyarrow.concat_tables(ray.get(list(dataset.materialize().to_arrow_refs())))


def ray_arms(tok, lines, scratch, expected_total):
    sample_path, path = scratch / "sample.parquet", scratch / "lines"
    sample = lines[:SAMPLE_LINES]
    parquet.write_table(pyarrow.table({"text": sample}), sample_path)
    # Several files, so that both workers get blocks to read.
    path.mkdir()
    step = -(-len(lines) // FILES)
    for part in range(FILES):
        parquet.write_table(pyarrow.table({"text": lines[part * step:(part + 1) * step]}), path / f"{part}.parquet")
    # Ray's own workers plus one CPU for its read tasks, as in examples/ray_parquet.py.
    ray.init(num_cpus=WORKERS + 1, include_dashboard=False, log_to_driver=False, logging_level=logging.WARNING)
    try:
        ray.data.DataContext.get_current().enable_progress_bars = False
        checked = ray_tokenized(str(sample_path))
        expected = dict(zip(sample, tok.encode_text_batch(sample, threads=1)))
        assert all(expected[text] == ids for text, ids in zip(checked["text"].to_pylist(), checked["ids"].to_pylist()))
        start = time.perf_counter()
        table = ray_tokenized(str(path))
        ray_time = time.perf_counter() - start
    finally:
        ray.shutdown()
    assert total_ids(table) == expected_total
    start = time.perf_counter()
    ids, _ = tok.encode_text_flat(parquet.read_table(path).column("text").to_pylist(), threads=WORKERS)
    local_time = time.perf_counter() - start
    assert len(ids) == expected_total
    return {"Ray Data, 2 workers": ray_time, "local encode_text_flat(threads=2)": local_time}


def report(title, times, base):
    print(title)
    for name, seconds in times.items():
        print(f"  {name:36} {seconds:8.2f} s   {seconds / times[base]:5.2f} x {base}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=200)
    args = parser.parse_args()

    datasets.disable_progress_bars()
    tok = morfex.default_model()
    lines = polish_lines(args.megabytes)
    expected_total = len(tok.encode_text_flat(lines, threads=WORKERS)[0])
    print(f"{len(lines):,} lines, {args.megabytes:g} MB, {expected_total:,} ids", file=sys.stderr)
    with tempfile.TemporaryDirectory() as directory:
        scratch = Path(directory)
        report("(a) datasets.map(batched=True, num_proc=2)", datasets_arms(tok, lines, scratch, expected_total),
               "morfex function")
        report("(b) Ray Data against the local engine", ray_arms(tok, lines, scratch, expected_total),
               "local encode_text_flat(threads=2)")


if __name__ == "__main__":
    main()

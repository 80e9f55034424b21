"""datasets.map with morfex on two processes: the ids of a local loop, and a cache hit the second time."""

from pathlib import Path

import pytest

import morfex

datasets = pytest.importorskip("datasets")

# datasets forks its workers while pyarrow's thread pool runs in the parent; the fork is theirs.
pytestmark = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")

LINES = (Path(__file__).resolve().parents[1] / "data" / "polish_text.txt").read_text(encoding="utf-8").splitlines()


def saved_dataset(directory):
    """The lines as a dataset on disk: map caches beside the files of such a dataset only."""
    datasets.Dataset.from_dict({"text": LINES}).save_to_disk(str(directory))
    return datasets.load_from_disk(str(directory))


class CountingTokenizer:
    """A batch function over a Tokenizer that logs each call to a file, so a cache hit shows as no call."""

    def __init__(self, tokenizer, log):
        self.tokenizer, self.log = tokenizer, str(log)

    def __call__(self, batch):
        with open(self.log, "a", encoding="utf-8") as log:
            log.write(f"{len(batch['text'])}\n")
        return {"ids": self.tokenizer.encode_text_batch(batch["text"], threads=1)}


def test_map_on_two_processes_gives_the_local_ids_and_hits_the_cache_the_second_time(tmp_path):
    source = saved_dataset(tmp_path / "source")
    log = tmp_path / "calls"
    # A freshly loaded model: the fingerprint is a hash of the pickled function, tokenizer included.
    first = source.map(CountingTokenizer(morfex.default_model(), log), batched=True, batch_size=8, num_proc=2)
    tokenizer = morfex.default_model()
    assert first["ids"] == [tokenizer.encode_text(line) for line in LINES]
    calls = log.read_text().split()
    assert sum(map(int, calls)) == len(LINES)

    again = saved_dataset(tmp_path / "source")
    second = again.map(CountingTokenizer(tokenizer, log), batched=True, batch_size=8, num_proc=2)
    assert log.read_text().split() == calls
    assert second._fingerprint == first._fingerprint
    assert [entry["filename"] for entry in second.cache_files] == [entry["filename"] for entry in first.cache_files]
    assert second["ids"] == first["ids"]


def test_tokenize_batch_maps_arrow_batches_in_place_of_a_function(tmp_path):
    source = saved_dataset(tmp_path / "source").with_format("arrow")
    tokenized = source.map(morfex.TokenizeBatch(counts_column="tokens"), batched=True, num_proc=2)
    tokenizer = morfex.default_model()
    expected = [tokenizer.encode_text(line) for line in LINES]
    table = tokenized.data.table
    assert table["ids"].to_pylist() == expected
    assert table["tokens"].to_pylist() == [len(ids) for ids in expected]
    assert tokenized.features["ids"].feature == datasets.Value("int32")

"""TokenizeBatch: every kind of batch in and out, its options, its messages and its pickles."""

import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB
from morfex import Segmenter, TokenizeBatch, Tokenizer
from morfex.integrations import tables as batches_module

LINES = (Path(__file__).resolve().parents[1] / "data" / "polish_text.txt").read_text(encoding="utf-8").splitlines()
TEXTS = ["kumain  bc\naab", "", "k▁um▁ain ☃ 123", "aab, bc."]


def example():
    return Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)


def arrow_table(texts, string_type="string"):
    pyarrow = pytest.importorskip("pyarrow")
    return pyarrow.table({"text": pyarrow.array(texts, type=string_type), "row": list(range(len(texts)))})


def record_batch(texts):
    pyarrow = pytest.importorskip("pyarrow")
    return pyarrow.RecordBatch.from_pydict({"text": pyarrow.array(texts, type="string"), "row": range(len(texts))})


def pandas_frame(texts, dtype=None):
    pandas = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    return pandas.DataFrame({"text": pandas.Series(texts, dtype=dtype), "row": range(len(texts))})


# Each kind: a batch of the texts, and the (texts, ids lists, counts, other column) read back from a result.
KINDS = {
    "arrow table": (arrow_table, lambda out: (out["text"].to_pylist(), out["ids"].to_pylist(), out["n"].to_pylist(),
                                              out["row"].to_pylist())),
    "arrow large_string": (lambda texts: arrow_table(texts, "large_string"),
                           lambda out: (out["text"].to_pylist(), out["ids"].to_pylist(), out["n"].to_pylist(),
                                        out["row"].to_pylist())),
    "arrow record batch": (record_batch,
                           lambda out: (out["text"].to_pylist(), out["ids"].to_pylist(), out["n"].to_pylist(),
                                        out["row"].to_pylist())),
    "pandas object": (lambda texts: pandas_frame(texts, object),
                      lambda out: (out["text"].tolist(), out["ids"].tolist(), out["n"].tolist(), out["row"].tolist())),
    "pandas string": (lambda texts: pandas_frame(texts, "string"),
                      lambda out: (out["text"].tolist(), out["ids"].tolist(), out["n"].tolist(), out["row"].tolist())),
    "numpy dict": (lambda texts: {"text": np.array(texts, dtype=str), "row": np.arange(len(texts))},
                   lambda out: (out["text"].tolist(), [ids.tolist() for ids in out["ids"]], out["n"].tolist(),
                                out["row"].tolist())),
}


def as_lists(ids):
    return [list(map(int, row)) for row in ids]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("texts", [TEXTS, LINES, []], ids=["examples", "polish", "empty"])
def test_every_kind_of_batch_gets_the_ids_of_encode_text_and_keeps_its_columns(kind, texts):
    make, read = KINDS[kind]
    batch = make(texts)
    tokenize = TokenizeBatch(counts_column="n")
    out = tokenize(batch)
    assert type(out) is type(batch)
    got_texts, ids, counts, rows = read(out)
    expected = tokenize.tokenizer.encode_text_batch(texts)
    assert (got_texts, as_lists(ids), counts, rows) == (texts, expected, [len(e) for e in expected], list(range(len(texts))))


@pytest.mark.parametrize("kind", ["arrow table", "pandas object"])
def test_ids_and_counts_columns_are_32_bit_lists_built_over_the_flat_ids(kind):
    pyarrow = pytest.importorskip("pyarrow")
    out = TokenizeBatch(counts_column="n")(KINDS[kind][0](TEXTS))
    table = out if isinstance(out, pyarrow.Table) else pyarrow.Table.from_pandas(out)
    assert table.schema.field("ids").type == pyarrow.list_(pyarrow.int32())
    assert table.schema.field("n").type == pyarrow.int32()


def test_ids_beyond_int32_and_offsets_beyond_it_widen_to_int64_and_large_list(monkeypatch):
    pyarrow = pytest.importorskip("pyarrow")
    sparse = Tokenizer({token: token_id + (1 << 31) for token, token_id in EXAMPLE_VOCAB.items()}, EXAMPLE_MERGES)
    wide = TokenizeBatch(sparse)(arrow_table(TEXTS))
    assert wide.schema.field("ids").type == pyarrow.list_(pyarrow.int64())
    assert wide["ids"].to_pylist() == sparse.encode_text_batch(TEXTS)
    monkeypatch.setattr(batches_module, "INT32_MAX", 5)
    large = TokenizeBatch(example(), counts_column="n")(arrow_table(TEXTS))
    assert large.schema.field("ids").type == pyarrow.large_list(pyarrow.int64())
    assert large.schema.field("n").type == pyarrow.int64()
    assert large["ids"].to_pylist() == example().encode_text_batch(TEXTS)


def test_a_column_of_the_ids_name_is_replaced_in_place():
    table = arrow_table(TEXTS)
    out = TokenizeBatch(example(), ids_column="row")(table)
    assert out.schema.names == ["text", "row"]
    assert out["row"].to_pylist() == example().encode_text_batch(TEXTS)


@pytest.mark.parametrize(
    "options",
    [{"markers": True}, {"segmenter": None}, {"segmenter": lambda word: word[:2] + "▁" + word[2:]}, {"threads": 2}],
    ids=["markers", "no-segmenter", "callable-segmenter", "two-threads"],
)
def test_options_reach_encode_text_flat(options):
    tokenizer = Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES, segmenter=Segmenter.from_counts({"kum▁ain": 3, "bc": 2}))
    texts = TEXTS * 2000  # enough texts for the engine's threads to share them
    out = TokenizeBatch(tokenizer, column="line", ids_column="tokens", **options)({"line": np.array(texts)})
    flat_options = {key: value for key, value in options.items() if key != "threads"}
    ids, offsets = tokenizer.encode_text_flat(texts, threads=1, **flat_options)
    assert [row.tolist() for row in out["tokens"]] == [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(texts))]


def test_a_model_path_is_loaded_once_and_never_pickled(tmp_path):
    path = tmp_path / "model.json"
    example().save(path)
    tokenize = TokenizeBatch(path)
    assert tokenize.model == str(path)
    assert tokenize.tokenizer is tokenize.tokenizer == example()
    copy = pickle.loads(pickle.dumps(tokenize))
    assert len(pickle.dumps(tokenize)) < 1000 and copy._tokenizer is None
    assert [row.tolist() for row in copy({"text": np.array(TEXTS)})["ids"]] == example().encode_text_batch(TEXTS)


def test_a_tokenizer_travels_with_the_callable_and_pickles_to_equal_bytes():
    first, second = TokenizeBatch(example()), TokenizeBatch(example())
    first({"text": np.array(TEXTS)})
    assert pickle.dumps(first) == pickle.dumps(second)
    assert pickle.loads(pickle.dumps(first)).tokenizer == example()


def test_importing_morfex_imports_neither_pyarrow_nor_pandas_nor_the_batch_module():
    code = "import sys, morfex; print(sorted({'pyarrow', 'pandas', 'morfex.integrations.tables'} & set(sys.modules)))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "[]\n"
    assert morfex.TokenizeBatch is batches_module.TokenizeBatch
    with pytest.raises(AttributeError, match="^module 'morfex' has no attribute 'TokenizeBatches'$"):
        morfex.TokenizeBatches  # noqa: B018


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        (lambda: arrow_table(TEXTS).rename_columns(["line", "row"]), KeyError,
         "batch has no column 'text' (its columns: 'line', 'row')"),
        (lambda: pandas_frame(TEXTS).rename(columns={"text": "line"}), KeyError,
         "batch has no column 'text' (its columns: 'line', 'row')"),
        (lambda: {"line": np.array(TEXTS)}, KeyError, "batch has no column 'text' (its columns: 'line')"),
        (lambda: arrow_table(TEXTS).rename_columns(["row", "text"]), TypeError, "column 'text' must hold text, not int64"),
        (lambda: pandas_frame(TEXTS).rename(columns={"text": "x", "row": "text"}), TypeError,
         "column 'text' must hold text, not int64"),
        (lambda: {"text": np.array([b"bytes"])}, TypeError, "column 'text' must hold text, not |S5"),
        (lambda: arrow_table(["a", None, "b", None]), ValueError, "column 'text' has a null at row 1"),
        (lambda: pandas_frame(["a", "b", None]), ValueError, "column 'text' has a null at row 2"),
        (lambda: {"text": np.array(["a", None], dtype=object)}, ValueError, "column 'text' has a null at row 1"),
        (lambda: {"text": np.array(["a", 7], dtype=object)}, TypeError,
         "item 1: argument 'text': 'int' object cannot be converted to 'PyString'"),
        (lambda: ["a", "b"], TypeError,
         "batch must be a pyarrow Table or RecordBatch, a pandas DataFrame or a dict of numpy arrays, not list"),
    ],
    ids=["arrow-missing", "pandas-missing", "numpy-missing", "arrow-ints", "pandas-ints", "numpy-bytes",
         "arrow-null", "pandas-null", "numpy-null", "numpy-int-item", "list"],
)
def test_a_bad_batch_names_its_fault(make, error, message):
    batch = make()
    with pytest.raises(error) as caught:
        TokenizeBatch(example())(batch)
    assert caught.value.args[0] == message


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"model": 3}, TypeError, "model must be None, a path or a morfex.Tokenizer, not int"),
        ({"column": 1}, TypeError, "column must be a str, not int"),
        ({"ids_column": None}, TypeError, "ids_column must be a str, not NoneType"),
        ({"counts_column": b"n"}, TypeError, "counts_column must be a str, not bytes"),
        ({"counts_column": "ids"}, ValueError, "ids_column and counts_column must differ, both are 'ids'"),
        ({"threads": 0}, ValueError, "threads must be from 1 to 1024, got 0"),
        ({"threads": "2"}, TypeError, "threads must be an int or None, not str"),
        ({"markers": 1}, TypeError, "markers must be a bool, not int"),
        ({"segmenter": "x"}, TypeError, "segmenter must be callable or None, not str"),
    ],
    ids=lambda value: next(iter(value)) if isinstance(value, dict) else "",
)
def test_bad_options_are_refused_when_the_callable_is_made(options, error, message):
    with pytest.raises(error) as caught:
        TokenizeBatch(**options)
    assert caught.value.args[0] == message


def test_a_missing_model_file_is_reported_on_first_use(tmp_path):
    tokenize = TokenizeBatch(tmp_path / "absent.json")
    with pytest.raises(morfex.ModelFileError, match="absent.json"):
        tokenize({"text": np.array(TEXTS)})

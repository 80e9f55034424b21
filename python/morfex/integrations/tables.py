"""Tokenizing table batches: a picklable callable for Ray Data, Dask, pandas UDFs and datasets.map.

A batch is a pyarrow Table or RecordBatch, a pandas DataFrame, or a dict of
numpy arrays (Ray's "numpy" batch format). pyarrow and pandas are never
imported here unless a batch of theirs arrives, so importing morfex stays free
of them.
"""

from __future__ import annotations

import importlib
import os
import sys
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from morfex.engine import resolve_threads
from morfex.formats.files import default_model, load
from morfex.tokenizer import OWN_SEGMENTER, Tokenizer, checked_segmenter

__all__ = ["TokenizeBatch"]

# Ids of a model whose ids all fit int32 are stored as int32, as tokenizers and
# datasets keep them; a model with larger ids gets int64 values.
INT32_MAX = (1 << 31) - 1


def _library(name: str) -> Any:
    """pyarrow, pyarrow.compute or pandas, imported when a batch needs it (neither ships type information)."""
    return importlib.import_module(name)


def _name(value: object, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    return value


class TokenizeBatch:
    """Adds the token ids of a text column to a batch, as `Tokenizer.encode_text_flat` gives them.

    `model`: None for the shipped model, a path for `morfex.load`, or a
    Tokenizer used as is. A path or None is loaded on the first call in each
    process and never pickled with the callable, so every worker loads it once.
    """

    def __init__(
        self,
        model: Tokenizer | str | os.PathLike[str] | None = None,
        *,
        column: str = "text",
        ids_column: str = "ids",
        counts_column: str | None = None,
        threads: int | None = 1,
        markers: bool = False,
        segmenter: object = OWN_SEGMENTER,
    ) -> None:
        if model is not None and not isinstance(model, (Tokenizer, str, os.PathLike)):
            raise TypeError(f"model must be None, a path or a morfex.Tokenizer, not {type(model).__name__}")
        self.model = os.fspath(model) if isinstance(model, os.PathLike) else model
        self.column = _name(column, "column")
        self.ids_column = _name(ids_column, "ids_column")
        self.counts_column = None if counts_column is None else _name(counts_column, "counts_column")
        if self.counts_column == self.ids_column:
            raise ValueError(f"ids_column and counts_column must differ, both are {ids_column!r}")
        if threads is not None:
            resolve_threads(threads)
        self.threads = threads
        if not isinstance(markers, bool):
            raise TypeError(f"markers must be a bool, not {type(markers).__name__}")
        self.markers = markers
        # The "model's own" default is kept as a flag: a sentinel object would not survive pickling.
        self.own_segmenter = segmenter is OWN_SEGMENTER
        self.segmenter = None if segmenter is OWN_SEGMENTER else checked_segmenter(segmenter)
        self._tokenizer: Tokenizer | None = None
        self._narrow_ids: bool | None = None

    def __repr__(self) -> str:
        model = "the shipped model" if self.model is None else repr(self.model)
        return f"<morfex.TokenizeBatch: {self.column!r} -> {self.ids_column!r} with {model}>"

    def __getstate__(self) -> dict[str, Any]:
        # A Tokenizer given as the model travels as `model`; a loaded one is loaded again where it lands.
        return {**self.__dict__, "_tokenizer": None, "_narrow_ids": None}

    @property
    def tokenizer(self) -> Tokenizer:
        """The tokenizer the batches are encoded with, loaded on first use."""
        tokenizer = self._tokenizer
        if tokenizer is None:
            model = self.model
            if isinstance(model, Tokenizer):
                tokenizer = model
            else:
                tokenizer = default_model() if model is None else load(model)
            self._tokenizer = tokenizer
        return tokenizer

    def encode(self, texts: Any) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.int64]]:
        """The flat ids and the offsets of a sequence of str, with this callable's options."""
        options: dict[str, Any] = {"threads": self.threads, "markers": self.markers}
        if not self.own_segmenter:
            options["segmenter"] = self.segmenter
        return self.tokenizer.encode_text_flat(texts, **options)

    def __call__(self, batch: Any) -> Any:
        """The batch, of the same kind, with the ids column (and the counts column) added or replaced."""
        if isinstance(batch, Mapping):
            return self._numpy_batch(batch)
        arrow = sys.modules.get("pyarrow")
        if arrow is not None and isinstance(batch, (arrow.Table, arrow.RecordBatch)):
            return self._arrow_batch(batch)
        pandas = sys.modules.get("pandas")
        if pandas is not None and isinstance(batch, pandas.DataFrame):
            return self._pandas_batch(batch)
        raise TypeError(
            "batch must be a pyarrow Table or RecordBatch, a pandas DataFrame or a dict of numpy arrays,"
            f" not {type(batch).__name__}"
        )

    def _missing(self, names: Any) -> KeyError:
        return KeyError(f"batch has no column {self.column!r} (its columns: {', '.join(map(repr, names))})")

    def _not_text(self, kind: object) -> TypeError:
        return TypeError(f"column {self.column!r} must hold text, not {kind}")

    def _null(self, row: int) -> ValueError:
        return ValueError(f"column {self.column!r} has a null at row {row}")

    def _values(self, ids: npt.NDArray[np.uint32]) -> npt.NDArray[np.int32] | npt.NDArray[np.int64]:
        """The ids as int32, read in place, or as int64 for a model with larger ids."""
        narrow = self._narrow_ids
        if narrow is None:
            narrow = self._narrow_ids = max(self.tokenizer.vocab.values(), default=0) <= INT32_MAX
        return ids.view(np.int32) if narrow else ids.astype(np.int64)

    def _arrow_ids(self, ids: npt.NDArray[np.uint32], offsets: npt.NDArray[np.int64]) -> tuple[Any, Any]:
        """The ids as an Arrow list array over the flat ids (no loop per row), and the counts."""
        pyarrow = _library("pyarrow")
        values = pyarrow.array(self._values(ids))
        if offsets[-1] <= INT32_MAX:
            narrow = offsets.astype(np.int32)
            return pyarrow.ListArray.from_arrays(pyarrow.array(narrow), values), np.diff(narrow)
        return pyarrow.LargeListArray.from_arrays(pyarrow.array(offsets), values), np.diff(offsets)

    def _arrow_batch(self, batch: Any) -> Any:
        pyarrow, compute = _library("pyarrow"), _library("pyarrow.compute")
        if self.column not in batch.schema.names:
            raise self._missing(batch.schema.names)
        texts = batch.column(self.column)
        if not (pyarrow.types.is_string(texts.type) or pyarrow.types.is_large_string(texts.type)):
            raise self._not_text(texts.type)
        if texts.null_count:
            raise self._null(compute.index(compute.is_null(texts), True).as_py())
        ids, counts = self._arrow_ids(*self.encode(texts.to_pylist()))
        columns = {name: batch.column(name) for name in batch.schema.names}
        columns[self.ids_column] = ids
        if self.counts_column is not None:
            columns[self.counts_column] = pyarrow.array(counts)
        return type(batch).from_arrays(list(columns.values()), names=list(columns))

    def _pandas_batch(self, batch: Any) -> Any:
        pandas = _library("pandas")
        if self.column not in batch.columns:
            raise self._missing(batch.columns)
        texts = batch[self.column]
        if not pandas.api.types.is_string_dtype(texts.dtype):
            raise self._not_text(texts.dtype)
        nulls = texts.isna().to_numpy()
        if nulls.any():
            raise self._null(int(nulls.argmax()))
        ids, counts = self._arrow_ids(*self.encode(texts.tolist()))
        added = {self.ids_column: pandas.Series(pandas.arrays.ArrowExtensionArray(ids), index=batch.index)}
        if self.counts_column is not None:
            added[self.counts_column] = pandas.Series(counts, index=batch.index)
        return batch.assign(**added)

    def _numpy_batch(self, batch: Mapping[str, Any]) -> dict[str, Any]:
        if self.column not in batch:
            raise self._missing(list(batch))
        texts = np.asarray(batch[self.column])
        if texts.dtype.kind not in "UO":
            raise self._not_text(texts.dtype)
        rows = texts.reshape(-1).tolist()
        for row, text in enumerate(rows):
            if text is None:
                raise self._null(row)
        ids, offsets = self.encode(rows)
        # Rows of different lengths: an object array of int arrays, each a view of the flat ids.
        values = self._values(ids)
        column = np.empty(len(rows), dtype=object)
        for row in range(len(rows)):
            column[row] = values[offsets[row]:offsets[row + 1]]
        result = dict(batch)
        result[self.ids_column] = column
        if self.counts_column is not None:
            result[self.counts_column] = np.diff(offsets)
        return result

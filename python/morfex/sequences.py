"""Sequences for model training: framing with <s>/</s>, truncation, padding.

Every function works on the flat form of a batch (all ids in one uint32
array, int64 offsets: sequence i is ids[offsets[i]:offsets[i + 1]]) with
whole-array numpy operations, so the cost does not grow with a Python loop
per sequence.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from morfex.vocabulary import MAX_ID

__all__ = [
    "Framing", "Ids", "Mask", "Matrix", "Offsets", "Padding", "Side", "checked_offsets", "frame", "ids_array",
    "offsets_array", "pad", "unpad",
]

Ids = npt.NDArray[np.uint32]
Offsets = npt.NDArray[np.int64]
Matrix = npt.NDArray[np.int64]
Mask = npt.NDArray[np.uint8]
Side = Literal["right", "left"]

INT64_MIN = int(np.iinfo(np.int64).min)
INT64_MAX = int(np.iinfo(np.int64).max)


def ids_array(ids: Any) -> Ids:
    """`ids` as a flat uint32 array; TypeError or OverflowError names what does not fit."""
    array = np.asarray(ids)
    if array.dtype == np.uint32:
        return np.ascontiguousarray(array).reshape(-1)
    if array.size == 0:
        return np.zeros(0, dtype=np.uint32)
    if array.dtype.kind not in "iu":
        raise TypeError(f"ids must be an array of integers, not of {array.dtype}")
    low, high = int(array.min()), int(array.max())
    if low < 0 or high > MAX_ID:
        bad = low if low < 0 else high
        raise OverflowError(f"ids must be from 0 to {MAX_ID}, got {bad}")
    return np.ascontiguousarray(array, dtype=np.uint32).reshape(-1)


def offsets_array(offsets: Any) -> Offsets:
    """`offsets` as a flat int64 array (their order and range are checked by whoever reads them)."""
    array = np.asarray(offsets)
    if array.dtype.kind not in "iu" and array.size != 0:
        raise TypeError(f"offsets must be an array of integers, not of {array.dtype}")
    if array.dtype == np.uint64 and array.size != 0 and int(array.max()) > np.iinfo(np.int64).max:
        raise ValueError(f"offsets must fit int64, got {int(array.max())}")
    return np.ascontiguousarray(array, dtype=np.int64).reshape(-1)


def _int_or_none(value: object, name: str, low: int) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}, got {value}")
    return value


@dataclass(frozen=True, slots=True)
class Framing:
    """What goes around each sequence: the id put first, the id put last, and the longest a sequence may be.

    max_length counts the framing too: truncation keeps the first tokens that
    leave room for it, so </s> still ends a cut sequence.
    """

    bos: int | None = None
    eos: int | None = None
    max_length: int | None = None

    def __post_init__(self) -> None:
        _int_or_none(self.max_length, "max_length", 0)
        framing = self.framing_size
        if self.max_length is not None and self.max_length < framing:
            held = " and ".join(name for name, token in (("bos", self.bos), ("eos", self.eos)) if token is not None)
            raise ValueError(f"max_length must be at least {framing} to hold {held}, got {self.max_length}")

    @property
    def framing_size(self) -> int:
        return (self.bos is not None) + (self.eos is not None)

    @property
    def changes_nothing(self) -> bool:
        return self.bos is None and self.eos is None and self.max_length is None


def frame(ids: Ids, offsets: Offsets, framing: Framing) -> tuple[Ids, Offsets]:
    """The flat batch with each sequence cut to fit framing.max_length and put between bos and eos."""
    if framing.changes_nothing:
        return ids, offsets
    lengths = np.diff(offsets)
    start = int(offsets[0])
    content = ids[start : int(offsets[-1])]
    if framing.max_length is not None:
        room = framing.max_length - framing.framing_size
        long = lengths > room
        if long.any():
            # Mark where each cut-off tail starts and ends; a running sum is 1 inside the tails.
            # Tails are disjoint and never empty, so no index repeats within one assignment.
            tails = np.zeros(len(content) + 1, dtype=np.int8)
            tails[offsets[:-1][long] - start + room] += 1
            tails[offsets[1:][long] - start] -= 1
            content = content[np.cumsum(tails[:-1], dtype=np.int8) == 0]
            lengths = np.minimum(lengths, room)
    framed_lengths = lengths + framing.framing_size
    framed_offsets = np.zeros(len(lengths) + 1, dtype=np.int64)
    np.cumsum(framed_lengths, out=framed_offsets[1:])
    if framing.framing_size == 0:
        return np.ascontiguousarray(content), framed_offsets
    framed = np.empty(int(framed_offsets[-1]), dtype=np.uint32)
    is_content = np.ones(len(framed), dtype=bool)
    if framing.bos is not None:
        framed[framed_offsets[:-1]] = framing.bos
        is_content[framed_offsets[:-1]] = False
    if framing.eos is not None:
        framed[framed_offsets[1:] - 1] = framing.eos
        is_content[framed_offsets[1:] - 1] = False
    framed[is_content] = content
    return framed, framed_offsets


@dataclass(frozen=True, slots=True)
class Padding:
    """How a flat batch becomes a matrix: the filling id, the row length, the side padded, the multiple rounded to."""

    pad_id: int
    length: int | None = None
    side: Side = "right"
    multiple_of: int | None = None

    def __post_init__(self) -> None:
        if isinstance(self.pad_id, bool) or not isinstance(self.pad_id, int):
            raise TypeError(f"pad_id must be an int, not {type(self.pad_id).__name__}")
        if not INT64_MIN <= self.pad_id <= INT64_MAX:
            raise ValueError(f"pad_id must be from {INT64_MIN} to {INT64_MAX}, got {self.pad_id}")
        _int_or_none(self.length, "length", 0)
        if not isinstance(self.side, str):
            raise TypeError(f"side must be a str, not {type(self.side).__name__}")
        if self.side not in ("right", "left"):
            raise ValueError(f"side must be 'right' or 'left', got {self.side!r}")
        _int_or_none(self.multiple_of, "multiple_of", 1)

    def width(self, lengths: Offsets) -> int:
        """The row length for sequences of `lengths`; ValueError names the first one longer than `length`."""
        longest = int(lengths.max()) if len(lengths) else 0
        if self.length is not None and longest > self.length:
            row = int(np.argmax(lengths > self.length))
            raise ValueError(f"row {row} has {int(lengths[row])} ids, more than length={self.length}")
        width = longest if self.length is None else self.length
        if self.multiple_of is not None:
            width = -(-width // self.multiple_of) * self.multiple_of
        return width

    def apply(self, ids: Ids, offsets: Offsets) -> tuple[Matrix, Mask]:
        lengths = np.diff(offsets)
        width = self.width(lengths)
        columns = np.arange(width, dtype=np.int64)
        if self.side == "right":
            is_id = columns[None, :] < lengths[:, None]
        else:
            is_id = columns[None, :] >= (width - lengths)[:, None]
        matrix = np.full((len(lengths), width), self.pad_id, dtype=np.int64)
        if len(lengths):
            matrix[is_id] = ids[int(offsets[0]) : int(offsets[-1])]
        return matrix, is_id.view(np.uint8)


def checked_offsets(offsets: Any, id_count: int) -> Offsets:
    """`offsets` as int64, checked to rise from 0 or more to at most `id_count`, as decode_flat checks them."""
    array = offsets_array(offsets)
    if len(array) == 0:
        raise ValueError("offsets must hold at least one value")
    if array[0] < 0:
        raise ValueError(f"offsets[0] = {int(array[0])} is negative")
    falls = np.flatnonzero(array[1:] < array[:-1])
    if len(falls):
        at = int(falls[0]) + 1
        raise ValueError(f"offsets[{at}] = {int(array[at])} is below offsets[{at - 1}] = {int(array[at - 1])}")
    if array[-1] > id_count:
        at = int(np.argmax(array > id_count))
        raise ValueError(f"offsets[{at}] = {int(array[at])} is past the end of ids ({id_count} ids)")
    return array


def pad(
    ids: Any,
    offsets: Any,
    *,
    pad_id: int,
    length: int | None = None,
    side: Side = "right",
    multiple_of: int | None = None,
) -> tuple[Matrix, Mask]:
    """The flat batch as an int64 matrix, one sequence a row, and its uint8 mask (1 where a row holds an id).

    Rows are as long as the longest sequence, or `length`; `multiple_of`
    rounds that up. A sequence longer than `length` is a ValueError (cut
    sequences with max_length when encoding). side="left" puts the padding
    before the ids.
    """
    padding = Padding(pad_id, length, side, multiple_of)
    flat_ids = ids_array(ids)
    return padding.apply(flat_ids, checked_offsets(offsets, len(flat_ids)))


def _integer_matrix(value: Any, name: str, kinds: str) -> npt.NDArray[Any]:
    array = np.asarray(value)
    if array.dtype.kind not in kinds:
        raise TypeError(f"{name} must be an array of integers, not of {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must have 2 dimensions, got {array.ndim}")
    return array


def unpad(matrix: Any, mask: Any) -> tuple[Ids, Offsets]:
    """The flat batch (uint32 ids, int64 offsets) of what `mask` marks in each row of `matrix`: the inverse of pad."""
    values = _integer_matrix(matrix, "matrix", "iu")
    marks = _integer_matrix(mask, "mask", "iub")
    if marks.shape != values.shape:
        raise ValueError(f"mask must have the shape of matrix {values.shape}, got {marks.shape}")
    if marks.dtype != np.bool_:
        stray = np.flatnonzero((marks != 0) & (marks != 1))
        if len(stray):
            raise ValueError(f"mask must hold only 0 and 1, got {int(marks.reshape(-1)[stray[0]])}")
        marks = marks.astype(bool)
    kept = values[marks]
    if len(kept) and (int(kept.min()) < 0 or int(kept.max()) > MAX_ID):
        bad = int(kept.min()) if int(kept.min()) < 0 else int(kept.max())
        raise OverflowError(f"matrix must hold ids from 0 to {MAX_ID} where mask is 1, got {bad}")
    offsets = np.zeros(len(values) + 1, dtype=np.int64)
    np.cumsum(marks.sum(axis=1), out=offsets[1:])
    return kept.astype(np.uint32), offsets

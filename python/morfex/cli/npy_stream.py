"""Writing a 1-D `.npy` array whose length is known only at the end, and reading a pair back.

The header is written first with room for any length, the items are
appended as they come, and the header is rewritten in place once the length
is known, so the file is a plain `.npy` that `numpy.load(path,
mmap_mode="r")` maps without reading it.

`encode --format npy` writes ids and line offsets as a pair of such files;
`read_pair` maps both and checks that they belong together.
"""

from __future__ import annotations

import os
import struct
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

MAGIC = b"\x93NUMPY\x01\x00"
# Magic, length field and header text: 128 bytes keep the data 64-byte
# aligned, as numpy's own writer does, with room for a 20-digit length.
HEADER_SIZE = 128


def header(dtype: np.dtype, length: int) -> bytes:
    """The version 1.0 header of a 1-D little-endian array of `length` items of `dtype`."""
    text = f"{{'descr': '{dtype.str}', 'fortran_order': False, 'shape': ({length},), }}"
    room = HEADER_SIZE - len(MAGIC) - 2
    return MAGIC + struct.pack("<H", room) + text.ljust(room - 1).encode("ascii") + b"\n"


class Sink(Protocol):
    def write_bytes(self, data: bytes | memoryview) -> None: ...

    def seek(self, offset: int, whence: int = 0) -> None: ...


class NpyWriter:
    """Appends arrays of one dtype to a seekable binary sink as one `.npy` array."""

    def __init__(self, sink: Sink, dtype: npt.DTypeLike) -> None:
        self.sink = sink
        self.dtype = np.dtype(dtype).newbyteorder("<")
        self.length = 0
        sink.write_bytes(header(self.dtype, 0))

    def append(self, items: npt.ArrayLike) -> None:
        array = np.ascontiguousarray(items, dtype=self.dtype)
        self.sink.write_bytes(memoryview(array).cast("B"))
        self.length += array.size

    def finish(self) -> None:
        """Writes the final length into the header."""
        self.sink.seek(0)
        self.sink.write_bytes(header(self.dtype, self.length))
        self.sink.seek(0, os.SEEK_END)


PathArg = str | os.PathLike[str]


def offsets_path(path: PathArg) -> str:
    """Where the line offsets of the ids at `path` are: ids.npy -> ids.offsets.npy."""
    return os.fsdecode(path).removesuffix(".npy") + ".offsets.npy"


def _mapped(path: str) -> np.ndarray[Any, Any]:
    try:
        array: np.ndarray[Any, Any] = np.load(path, mmap_mode="r")
    except OSError as error:
        raise ValueError(f"{path}: cannot read: {error.strerror or error}") from None
    return array


def read_pair(path: PathArg) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The ids at `path` and their line offsets, both mapped, once they are seen to belong together.

    Line i is ids[offsets[i]:offsets[i + 1]]. The offsets must start at 0 and
    end at the number of ids: a pair of which one file was replaced and the
    other not (a crash between the two renames) fails that check unless both
    runs wrote as many ids.
    """
    ids_name, offsets_name = os.fsdecode(path), offsets_path(path)
    ids, offsets = _mapped(ids_name), _mapped(offsets_name)
    if ids.dtype != np.uint32 or ids.ndim != 1:
        raise ValueError(f"{ids_name}: not a 1-D uint32 array of ids")
    fault = None
    if offsets.dtype != np.int64 or offsets.ndim != 1 or offsets.size == 0:
        fault = "it is not a 1-D int64 array"
    elif offsets[0] != 0:
        fault = f"its first line starts at {offsets[0]}, not 0"
    elif offsets[-1] != ids.size:
        fault = f"its lines end at id {offsets[-1]}, and {ids_name} holds {ids.size} ids"
    if fault is not None:
        raise ValueError(f"{offsets_name} does not belong to {ids_name}: {fault}")
    return ids, offsets

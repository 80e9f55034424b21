"""Writing a 1-D `.npy` array whose length is known only at the end.

The header is written first with room for any length, the items are
appended as they come, and the header is rewritten in place once the length
is known, so the file is a plain `.npy` that `numpy.load(path,
mmap_mode="r")` maps without reading it.
"""

from __future__ import annotations

import os
import struct
from typing import Protocol

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

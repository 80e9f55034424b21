"""Batch work on the native engine (private API behind Tokenizer's batch methods).

The native side fills memory it owns and hands it over as `OwnedBuffer`
objects; numpy views them in place, so a result crosses no copy.
"""

from __future__ import annotations

import math
import os
import secrets
from typing import Any

import numpy as np

from morfex._engine import MAX_CACHE_SIZE, MAX_THREADS, Engine
from morfex.sequences import Ids, Offsets, ids_array, offsets_array

__all__ = [
    "DEFAULT_CACHE_SIZE",
    "THREADS_VARIABLE",
    "Engine",
    "decode_flat",
    "encode_chunk",
    "encode_flat",
    "encode_text_chunk",
    "encode_text_flat",
    "decode_text_flat",
    "resolve_cache_size",
    "resolve_dropout",
    "resolve_threads",
]

THREADS_VARIABLE = "MORFEX_NUM_THREADS"
# Words kept per worker cache: about 3 MB each (see docs/api.md, "Batch encoding").
DEFAULT_CACHE_SIZE = 1 << 15


def _positive(value: object, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int or None, not {type(value).__name__}")
    if not 1 <= value <= MAX_THREADS:
        raise ValueError(f"{what} must be from 1 to {MAX_THREADS}, got {value}")
    return value


def resolve_threads(threads: int | None) -> int:
    """The thread count a call runs on: `threads`, else $MORFEX_NUM_THREADS, else the usable processors."""
    if threads is not None:
        return _positive(threads, "threads")
    setting = os.environ.get(THREADS_VARIABLE)
    if setting is not None and setting.strip():
        try:
            count = int(setting)
        except ValueError:
            raise ValueError(f"{THREADS_VARIABLE} must be a whole number, got {setting!r}") from None
        if not 1 <= count <= MAX_THREADS:
            raise ValueError(f"{THREADS_VARIABLE} must be from 1 to {MAX_THREADS}, got {setting!r}")
        return count
    return len(os.sched_getaffinity(0))


def resolve_cache_size(size: object) -> int:
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"cache_size must be an int, not {type(size).__name__}")
    if not 0 <= size <= MAX_CACHE_SIZE:
        raise ValueError(f"cache_size must be from 0 to {MAX_CACHE_SIZE}, got {size}")
    return size


def resolve_dropout(dropout: object, seed: object) -> tuple[float, int]:
    """The merge-dropping rate and the seed a call runs with; seed=None draws a fresh one."""
    if isinstance(dropout, bool) or not isinstance(dropout, (float, int)):
        raise TypeError(f"dropout must be a float, not {type(dropout).__name__}")
    if isinstance(dropout, int) and dropout not in (0, 1):
        raise ValueError(f"dropout must be from 0 to 1, got {dropout}")
    rate = float(dropout)
    if math.isnan(rate) or not 0.0 <= rate <= 1.0:
        raise ValueError(f"dropout must be from 0 to 1, got {dropout}")
    if seed is None:
        return rate, secrets.randbits(64)
    if isinstance(seed, bool) or not isinstance(seed, int):
        raise TypeError(f"seed must be an int or None, not {type(seed).__name__}")
    # The engine checks the seed's range.
    return rate, seed


def encode_flat(
    engine: Engine, words: Any, threads: int | None, dropout: float = 0.0, seed: int | None = None
) -> tuple[Ids, Offsets]:
    ids, offsets = engine.encode_flat(words, resolve_threads(threads), *resolve_dropout(dropout, seed))
    return np.frombuffer(ids, dtype=np.uint32), np.frombuffer(offsets, dtype=np.int64)


def decode_flat(engine: Engine, ids: Any, offsets: Any, threads: int | None) -> list[str]:
    count = resolve_threads(threads)
    return engine.decode_flat(ids_array(ids), offsets_array(offsets), count)


def encode_text_flat(
    engine: Engine,
    texts: Any,
    threads: int | None,
    markers: bool,
    segmenter: Any,
    dropout: float = 0.0,
    seed: int | None = None,
) -> tuple[Ids, Offsets]:
    rate, seed_value = resolve_dropout(dropout, seed)
    ids, offsets = engine.encode_text_flat(texts, resolve_threads(threads), markers, segmenter, rate, seed_value)
    return np.frombuffer(ids, dtype=np.uint32), np.frombuffer(offsets, dtype=np.int64)


def decode_text_flat(engine: Engine, ids: Any, offsets: Any, threads: int | None) -> list[str]:
    count = resolve_threads(threads)
    return engine.decode_text_flat(ids_array(ids), offsets_array(offsets), count)


def encode_chunk(engine: Engine, data: bytes, threads: int | None = None) -> tuple[Ids, Offsets]:
    """Ids of the words of UTF-8 lines, and where each line's ids start (one more for the end).

    Words are separated by ASCII whitespace (space, \\t, \\n, \\v, \\f, \\r,
    \\x1c to \\x1f: what str.split() splits at among ASCII characters); lines
    end at \\n, and text after the last \\n is one more line. Bytes that are
    not UTF-8 raise ValueError with the offset of the first bad byte in its
    message and as its `offset` attribute.
    """
    ids, lines = engine.encode_chunk(data, resolve_threads(threads))
    return np.frombuffer(ids, dtype=np.uint32), np.frombuffer(lines, dtype=np.int64)


def encode_text_chunk(
    engine: Engine, data: bytes, threads: int | None, markers: bool, segmenter: Any
) -> tuple[Ids, Offsets]:
    """Ids of UTF-8 lines of running text, each with its b"\\n", and where each line's ids start (one more for the end).

    Each line is encoded as encode_text_flat encodes a text; bytes after the
    last b"\\n" are one more line. Bytes that are not UTF-8 raise ValueError
    as encode_chunk does.
    """
    ids, lines = engine.encode_text_chunk(data, resolve_threads(threads), markers, segmenter)
    return np.frombuffer(ids, dtype=np.uint32), np.frombuffer(lines, dtype=np.int64)

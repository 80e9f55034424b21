"""What a pickled Tokenizer holds, and the checks that read it back.

The state is plain lists, strings and ints: the tokens in id order (with
their ids only when they are not 0 to n - 1), the merges as one flat list of
strings, byte fallback, the segmenter, the cache size and, when they are
not the usual spellings, the special tokens. Every string is
made one object per value first, so that pickle's memo (which shares objects
by identity) writes equal models as equal bytes and each repeated token once.
"""

from __future__ import annotations

import pickle
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, Protocol

from morfex.formats import writing as model_writer
from morfex.engine import resolve_cache_size
from morfex.segmenter import Segmenter
from morfex.vocabulary import MAX_ID

VERSION = 1
_KEYS = ("version", "tokens", "ids", "merges", "byte_fallback", "segmenter", "cache_size")
# Present only when the special tokens are not the usual spellings, so other states stay as they were.
_OPTIONAL_KEYS = ("special_tokens",)


class Model(model_writer.Model, Protocol):
    """What the state is taken from: a Tokenizer, which a model file is written from too."""

    @property
    def cache_size(self) -> int: ...


class Parts(NamedTuple):
    """A checked state, ready for Tokenizer()."""

    vocab: dict[str, int]
    merges: list[tuple[str, str]]
    byte_fallback: bool
    segmenter: Callable[[str], str] | None
    cache_size: int
    special_tokens: dict[str, str] | None


def _canonical(value: Any, strings: dict[str, str]) -> Any:
    """`value` rebuilt with one str object per string value (dict keys included)."""
    if isinstance(value, str):
        return strings.setdefault(value, str(value))
    if isinstance(value, list):
        return [_canonical(item, strings) for item in value]
    if isinstance(value, dict):
        return {_canonical(key, strings): _canonical(item, strings) for key, item in value.items()}
    return value


def to_state(model: Model) -> dict[str, Any]:
    """The pickle state of `model`; the same for equal models, whatever their history."""
    items = sorted(model.vocab.items(), key=lambda item: item[1])
    ids = [token_id for _, token_id in items]
    segmenter = model.segmenter
    state: dict[str, Any] = {
        "version": VERSION,
        "tokens": [token for token, _ in items],
        "ids": None if ids == list(range(len(ids))) else ids,
        "merges": [part for pair in model.merges for part in pair],
        "byte_fallback": model.byte_fallback,
        "segmenter": segmenter.to_state() if isinstance(segmenter, Segmenter) else None,
        "cache_size": model.cache_size,
    }
    special = model_writer.own_special_tokens(model)
    if special is not None:
        state["special_tokens"] = special
    canonical: dict[str, Any] = _canonical(state, {})
    # Any other callable is pickled as pickle pickles it (by name, for a function).
    if segmenter is not None and not isinstance(segmenter, Segmenter):
        canonical["segmenter"] = segmenter
    return canonical


def _fail(message: str) -> pickle.UnpicklingError:
    return pickle.UnpicklingError(f"morfex.Tokenizer state: {message}")


def _strings(value: object, key: str) -> list[str]:
    if type(value) is not list:
        raise _fail(f"{key!r} must be a list of str, not {type(value).__name__}")
    for index, item in enumerate(value):
        if type(item) is not str:
            raise _fail(f"{key!r}[{index}] must be a str, not {type(item).__name__}")
    return value


def _ids(value: object, count: int) -> Sequence[int]:
    if value is None:
        return range(count)
    if type(value) is not list:
        raise _fail(f"'ids' must be None or a list of int, not {type(value).__name__}")
    if len(value) != count:
        raise _fail(f"'ids' holds {len(value)} ids for {count} tokens")
    previous = -1
    for index, token_id in enumerate(value):
        if type(token_id) is not int:
            raise _fail(f"'ids'[{index}] must be an int, not {type(token_id).__name__}")
        if not previous < token_id <= MAX_ID:
            raise _fail(f"'ids'[{index}] is {token_id}: ids must rise from 0 to {MAX_ID}")
        previous = token_id
    return value


def _vocab(tokens: list[str], ids: Sequence[int]) -> dict[str, int]:
    vocab: dict[str, int] = {}
    for token, token_id in zip(tokens, ids):
        if vocab.setdefault(token, token_id) != token_id:
            raise _fail(f"'tokens' holds {token!r} twice")
    return vocab


def _segmenter(value: object) -> Callable[[str], str] | None:
    if value is None:
        return None
    if type(value) is dict:
        try:
            return Segmenter.from_state(value)
        except ValueError as error:
            raise _fail(f"'segmenter': {error}") from None
    if not callable(value):
        raise _fail(f"'segmenter' must be None, a segmenter state or a callable, not {type(value).__name__}")
    segmenter: Callable[[str], str] = value
    return segmenter


def parts(state: object) -> Parts:
    """The checked parts of `state`; UnpicklingError names the first fault."""
    if type(state) is not dict:
        raise _fail(f"must be a dict, not {type(state).__name__}")
    if "version" not in state:
        raise _fail("no 'version'")
    version = state["version"]
    if type(version) is not int or version != VERSION:
        raise _fail(f"unknown version {version!r} (this morfex reads {VERSION})")
    missing = [key for key in _KEYS if key not in state]
    if missing:
        raise _fail(f"no {missing[0]!r}")
    unknown = sorted(map(repr, set(state) - set(_KEYS) - set(_OPTIONAL_KEYS)))
    if unknown:
        raise _fail(f"unknown key {unknown[0]}")
    tokens = _strings(state["tokens"], "tokens")
    vocab = _vocab(tokens, _ids(state["ids"], len(tokens)))
    flat = _strings(state["merges"], "merges")
    if len(flat) % 2:
        raise _fail(f"'merges' holds {len(flat)} strings, not pairs")
    byte_fallback = state["byte_fallback"]
    if type(byte_fallback) is not bool:
        raise _fail(f"'byte_fallback' must be a bool, not {type(byte_fallback).__name__}")
    try:
        cache_size = resolve_cache_size(state["cache_size"])
    except (TypeError, ValueError) as error:
        raise _fail(f"'cache_size': {error}") from None
    special = state.get("special_tokens")
    if special is not None and (type(special) is not dict or not all(type(v) is str for v in special.values())):
        raise _fail("'special_tokens' must be a dict of role to str")
    return Parts(
        vocab, list(zip(flat[::2], flat[1::2])), byte_fallback, _segmenter(state["segmenter"]), cache_size, special
    )

"""Reading model files (model_writer writes them).

A morfex model file is UTF-8 JSON:

    {"format": "morfex-bpe", "version": 1,
     "vocab": {"<pad>": 0, ...},
     "merges": [["u", "m"], ...]}

JSON strings escape every control character, so tokens holding spaces, TABs,
line breaks or markers come back exactly. Besides its own files, `load` reads
a Hugging Face style `tokenizer.json` with a BPE model, and a `vocab.json`
given together with its `merges.txt`.
"""

from __future__ import annotations

import functools
import importlib.resources
import json
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any

from morfex import utf8
from morfex.model_writer import FORMAT_NAME, FORMAT_VERSION
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer
from morfex.vocabulary import MAX_ID, DuplicateIdError

PathArg = str | os.PathLike[str]


class ModelFileError(ValueError):
    """A model file that cannot be read; the message names the file and the fault."""


class _DuplicateKey(Exception):
    pass


def _unique_pairs(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise _DuplicateKey(key)
        result[key] = value
    return result


def _read_text(path: PathArg) -> str:
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise ModelFileError(f"{os.fsdecode(path)}: cannot read: {error.strerror}") from None
    return utf8.decode(data, os.fsdecode(path), ModelFileError)


def _parse_json(path: PathArg, text: str) -> Any:
    try:
        return json.loads(text, object_pairs_hook=_unique_pairs)
    except json.JSONDecodeError as error:
        raise ModelFileError(
            f"{os.fsdecode(path)}: not valid JSON: {error.msg}: line {error.lineno} column {error.colno}"
        ) from None
    except _DuplicateKey as duplicate:
        raise ModelFileError(f"{os.fsdecode(path)}: key {duplicate.args[0]!r} appears twice") from None


def _check_vocab(vocab: Any, where: str) -> dict[str, int]:
    if not isinstance(vocab, dict):
        raise ModelFileError(f"{where} is not an object of token to id")
    for token, token_id in vocab.items():
        if type(token_id) is not int or not 0 <= token_id <= MAX_ID:
            raise ModelFileError(f"{where}: the id of {token!r} is not an integer from 0 to {MAX_ID}: {token_id!r}")
    return vocab


def _check_merges(merges: Any, where: str, *, allow_strings: bool) -> list[tuple[str, str]]:
    if not isinstance(merges, list):
        raise ModelFileError(f"{where} is not a list")
    result = []
    for index, merge in enumerate(merges):
        if allow_strings and isinstance(merge, str):
            pair = _split_merge_line(merge)
            if pair is None:
                raise ModelFileError(f"{where}[{index}]: {merge!r} is not two tokens separated by one space")
            result.append(pair)
        elif isinstance(merge, list) and len(merge) == 2 and all(isinstance(part, str) for part in merge):
            result.append((merge[0], merge[1]))
        else:
            raise ModelFileError(f"{where}[{index}]: {merge!r} is not a pair of token strings")
    return result


def _split_merge_line(line: str) -> tuple[str, str] | None:
    parts = line.split(" ")
    if len(parts) != 2 or not parts[0] or not parts[1]:
        return None
    return parts[0], parts[1]


def _build(
    path: PathArg,
    vocab: dict[str, int],
    merges: list[tuple[str, str]],
    where: Callable[[str], str],
    *,
    byte_fallback: bool = False,
    segmenter: Segmenter | None = None,
    special_tokens: dict[str, str] | None = None,
) -> Tokenizer:
    """The Tokenizer of a checked model; `where(token)` names the part of the file a token came from."""
    try:
        return Tokenizer(vocab, merges, byte_fallback=byte_fallback, segmenter=segmenter,
                         special_tokens=special_tokens)
    except DuplicateIdError as error:
        raise ModelFileError(f"{where(error.second)}: {error}") from None
    except (TypeError, ValueError, OverflowError, UnicodeError) as error:
        raise ModelFileError(f"{os.fsdecode(path)}: {error}") from None


def _from_morfex(path: PathArg, data: dict[str, Any]) -> Tokenizer:
    name = os.fsdecode(path)
    version = data.get("version")
    if version != FORMAT_VERSION:
        raise ModelFileError(f"{name}: unsupported {FORMAT_NAME} version {version!r} (this morfex reads {FORMAT_VERSION})")
    for key in ("vocab", "merges"):
        if key not in data:
            raise ModelFileError(f"{name}: no {key!r} in the model")
    vocab = _check_vocab(data["vocab"], f"{name}: 'vocab'")
    merges = _check_merges(data["merges"], f"{name}: 'merges'", allow_strings=False)
    byte_fallback = data.get("byte_fallback", False)
    if not isinstance(byte_fallback, bool):
        raise ModelFileError(f"{name}: 'byte_fallback' must be true or false, not {byte_fallback!r}")
    special = data.get("special_tokens")
    if special is not None and not isinstance(special, dict):
        raise ModelFileError(f"{name}: 'special_tokens' is not an object of role to token")
    segmenter = None
    if "segmenter" in data:
        try:
            segmenter = Segmenter.from_state(data["segmenter"])
        except (TypeError, ValueError) as error:
            raise ModelFileError(f"{name}: 'segmenter': {error}") from None
    return _build(path, vocab, merges, lambda _: f"{name}: 'vocab'", byte_fallback=byte_fallback,
                  segmenter=segmenter, special_tokens=special)


def _from_tokenizer_json(path: PathArg, data: dict[str, Any]) -> Tokenizer:
    name = os.fsdecode(path)
    model = data["model"]
    if not isinstance(model, dict):
        raise ModelFileError(f"{name}: 'model' is not an object")
    model_type = model.get("type", "BPE")
    if model_type != "BPE":
        raise ModelFileError(f"{name}: model type {model_type!r} is not BPE")
    for key in ("vocab", "merges"):
        if key not in model:
            raise ModelFileError(f"{name}: no {key!r} in 'model'")
    own = _check_vocab(model["vocab"], f"{name}: 'model.vocab'")
    vocab = dict(own)
    merges = _check_merges(model["merges"], f"{name}: 'model.merges'", allow_strings=True)
    added = data.get("added_tokens") or []
    if not isinstance(added, list):
        raise ModelFileError(f"{name}: 'added_tokens' is not a list")
    for index, entry in enumerate(added):
        if not (isinstance(entry, dict) and isinstance(entry.get("content"), str) and type(entry.get("id")) is int):
            raise ModelFileError(f"{name}: 'added_tokens'[{index}] has no string 'content' and integer 'id'")
        vocab.setdefault(entry["content"], entry["id"])
    with_added = f"{name}: 'model.vocab' with 'added_tokens'"
    return _build(
        path, _check_vocab(vocab, with_added), merges,
        # Ids are met in file order, so a clash inside 'model.vocab' shows before any added token.
        lambda token: f"{name}: 'model.vocab'" if token in own else with_added,
    )


def _parse_merges_txt(path: PathArg, text: str) -> list[tuple[str, str]]:
    name = os.fsdecode(path)
    merges = []
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.removesuffix("\r")
        if not line or (number == 1 and line.startswith("#version")):
            continue
        pair = _split_merge_line(line)
        if pair is None:
            raise ModelFileError(f"{name}: line {number}: {line!r} is not two tokens separated by one space")
        merges.append(pair)
    return merges


def load(path: PathArg, merges: PathArg | None = None) -> Tokenizer:
    """Loads a tokenizer from a model file.

    `path` is a morfex model file or a `tokenizer.json` holding a BPE model;
    with `merges`, `path` is a `vocab.json` and `merges` its `merges.txt`
    (one "left right" pair per line, an optional "#version" first line).
    Raises ModelFileError naming the file and what is wrong with it.
    """
    text = _read_text(path)
    name = os.fsdecode(path)
    if merges is not None:
        # Both files are read before either is judged, so a missing merges.txt is named as such.
        merges_text = _read_text(merges)
        vocab = _check_vocab(_parse_json(path, text), f"{name}: the vocabulary")
        pairs = _parse_merges_txt(merges, merges_text)
        return _build(path, vocab, pairs, lambda _: f"{name}: the vocabulary")
    data = _parse_json(path, text)
    if isinstance(data, dict) and data.get("format") == FORMAT_NAME:
        return _from_morfex(path, data)
    if isinstance(data, dict) and "model" in data:
        return _from_tokenizer_json(path, data)
    if isinstance(data, dict) and "format" in data:
        raise ModelFileError(f"{name}: format {data['format']!r} is not {FORMAT_NAME!r}")
    if isinstance(data, dict) and data and all(type(value) is int for value in data.values()):
        raise ModelFileError(f"{name}: looks like a vocab.json; give its merges.txt as well")
    raise ModelFileError(f"{name}: neither a {FORMAT_NAME} model nor a tokenizer.json with a BPE model")


DEFAULT_MODEL = "polish.morfex.json"


@functools.cache
def default_model() -> Tokenizer:
    """The model shipped with the package (see data/README.md for its source)."""
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / DEFAULT_MODEL) as path:
        return load(path)

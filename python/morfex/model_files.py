"""Reading model files (model_writer writes them).

A morfex model file is UTF-8 JSON:

    {"format": "morfex-bpe", "version": 1,
     "vocab": {"<pad>": 0, ...},
     "merges": [["u", "m"], ...]}

JSON strings escape every control character, so tokens holding spaces, TABs,
line breaks or markers come back exactly. Besides its own files, `load` reads
a Hugging Face `tokenizer.json` (only where the ids come out as in `tokenizers`:
see tokenizer_json), and a `vocab.json` given together with its `merges.txt`.
"""

from __future__ import annotations

import functools
import importlib.resources
import os
from typing import Any

from morfex import tokenizer_json
from morfex.model_input import (
    ModelFileError, PathArg, build, check_merges, check_vocab, parse_json, read_text, split_merge_line,
)
from morfex.model_writer import FORMAT_NAME, FORMAT_VERSION
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer

__all__ = ["DEFAULT_MODEL", "ModelFileError", "default_model", "load"]


def _from_morfex(path: PathArg, data: dict[str, Any]) -> Tokenizer:
    name = os.fsdecode(path)
    version = data.get("version")
    if version != FORMAT_VERSION:
        raise ModelFileError(f"{name}: unsupported {FORMAT_NAME} version {version!r} (this morfex reads {FORMAT_VERSION})")
    for key in ("vocab", "merges"):
        if key not in data:
            raise ModelFileError(f"{name}: no {key!r} in the model")
    vocab = check_vocab(data["vocab"], f"{name}: 'vocab'")
    merges = check_merges(data["merges"], f"{name}: 'merges'", allow_strings=False)
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
    return build(path, vocab, merges, lambda _: f"{name}: 'vocab'", byte_fallback=byte_fallback,
                  segmenter=segmenter, special_tokens=special)


def _parse_merges_txt(path: PathArg, text: str) -> list[tuple[str, str]]:
    name = os.fsdecode(path)
    merges = []
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.removesuffix("\r")
        if not line or (number == 1 and line.startswith("#version")):
            continue
        pair = split_merge_line(line)
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
    text = read_text(path)
    name = os.fsdecode(path)
    if merges is not None:
        # Both files are read before either is judged, so a missing merges.txt is named as such.
        merges_text = read_text(merges)
        vocab = check_vocab(parse_json(path, text), f"{name}: the vocabulary")
        pairs = _parse_merges_txt(merges, merges_text)
        return build(path, vocab, pairs, lambda _: f"{name}: the vocabulary")
    data = parse_json(path, text)
    if isinstance(data, dict) and data.get("format") == FORMAT_NAME:
        return _from_morfex(path, data)
    if isinstance(data, dict) and "model" in data:
        return tokenizer_json.read(path, data)
    if isinstance(data, dict) and "format" in data:
        raise ModelFileError(f"{name}: format {data['format']!r} is not {FORMAT_NAME!r}")
    if isinstance(data, dict) and data and all(type(value) is int for value in data.values()):
        raise ModelFileError(f"{name}: looks like a vocab.json; give its merges.txt as well")
    raise ModelFileError(f"{name}: neither a {FORMAT_NAME} model nor a tokenizer.json with a BPE model")


DEFAULT_MODEL = "polish.morfex.json"


@functools.cache
def default_model() -> Tokenizer:
    """The model shipped with the package (data/polish.morfex.NOTICE says what it learnt from)."""
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / DEFAULT_MODEL) as path:
        return load(path)

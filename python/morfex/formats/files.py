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
from pathlib import Path
from typing import Any

from morfex.hf import tokenizer_json
from morfex.formats.reading import (
    ModelFileError, PathArg, build, check_merge_tokens, check_merges, check_vocab, parse_json, read_text, shown,
    split_merge_line,
)
from morfex.formats.writing import FORMAT_NAME, FORMAT_VERSION
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer

__all__ = ["DEFAULT_MODEL", "ModelFileError", "default_model", "load"]


def _from_morfex(path: PathArg, data: dict[str, Any]) -> Tokenizer:
    name = os.fsdecode(path)
    version = data.get("version")
    # 1.0 and true equal 1 in Python, but no writer of this format puts them there.
    if type(version) is not int or version != FORMAT_VERSION:
        raise ModelFileError(f"{name}: unsupported {FORMAT_NAME} version {shown(version)} (this morfex reads {FORMAT_VERSION})")
    for key in ("vocab", "merges"):
        if key not in data:
            raise ModelFileError(f"{name}: no {key!r} in the model")
    vocab = check_vocab(data["vocab"], f"{name}: 'vocab'")
    merges = check_merges(data["merges"], f"{name}: 'merges'", allow_strings=False)
    byte_fallback = data.get("byte_fallback", False)
    if not isinstance(byte_fallback, bool):
        raise ModelFileError(f"{name}: 'byte_fallback' must be true or false, not {shown(byte_fallback)}")
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


def _parse_merges_txt(path: PathArg, text: str, vocab: dict[str, int]) -> list[tuple[str, str]]:
    name = os.fsdecode(path)
    merges = []
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.removesuffix("\r")
        if not line or (number == 1 and line.startswith("#version")):
            continue
        pair = split_merge_line(line)
        if pair is None:
            raise ModelFileError(f"{name}: line {number}: {line!r} is not two tokens separated by one space")
        check_merge_tokens(pair, vocab, f"{name}: line {number}")
        merges.append(pair)
    return merges


MODEL_SUFFIX = ".morfex.json"


def _in_directory(directory: PathArg) -> tuple[Path, Path | None]:
    """The model file of a directory, and the merges.txt that goes with it when it is a vocab.json."""
    folder = Path(directory)
    own = sorted(entry.name for entry in folder.glob("*" + MODEL_SUFFIX) if entry.is_file())
    if len(own) > 1:
        raise ModelFileError(
            f"{os.fsdecode(directory)}: a directory with more than one *{MODEL_SUFFIX} ({', '.join(own)}): name the file")
    # The morfex file keeps what tokenizer.json cannot say (the segmenter): it comes first.
    if own:
        return folder / own[0], None
    if (folder / "tokenizer.json").is_file():
        return folder / "tokenizer.json", None
    if (folder / "vocab.json").is_file() and (folder / "merges.txt").is_file():
        return folder / "vocab.json", folder / "merges.txt"
    raise ModelFileError(
        f"{os.fsdecode(directory)}: a directory with no *{MODEL_SUFFIX}, tokenizer.json, or vocab.json and merges.txt")


def load(path: PathArg, merges: PathArg | None = None) -> Tokenizer:
    """Loads a tokenizer from a model file or a directory that holds one.

    `path` is a morfex model file or a `tokenizer.json` holding a BPE model;
    with `merges`, `path` is a `vocab.json` and `merges` its `merges.txt`
    (one "left right" pair per line, an optional "#version" first line).
    A directory (as Hugging Face tools save one) gives its `*.morfex.json`,
    else its `tokenizer.json`, else its `vocab.json` and `merges.txt`.
    A byte-order mark at the start of any of these files is skipped.
    Raises ModelFileError naming the file and what is wrong with it.
    """
    if merges is None and os.path.isdir(path):
        path, merges = _in_directory(path)
    text = read_text(path)
    name = os.fsdecode(path)
    if merges is not None:
        # Both files are read before either is judged, so a missing merges.txt is named as such.
        merges_text = read_text(merges)
        vocab = check_vocab(parse_json(path, text), f"{name}: the vocabulary")
        pairs = _parse_merges_txt(merges, merges_text, vocab)
        return build(path, vocab, pairs, lambda _: f"{name}: the vocabulary")
    data = parse_json(path, text)
    if isinstance(data, dict) and data.get("format") == FORMAT_NAME:
        return _from_morfex(path, data)
    if isinstance(data, dict) and "model" in data:
        return tokenizer_json.read(path, data)
    if isinstance(data, dict) and "format" in data:
        raise ModelFileError(f"{name}: format {shown(data['format'])} is not {FORMAT_NAME!r}")
    if isinstance(data, dict) and data and all(type(value) is int for value in data.values()):
        raise ModelFileError(f"{name}: looks like a vocab.json; give its merges.txt as well")
    raise ModelFileError(f"{name}: neither a {FORMAT_NAME} model nor a tokenizer.json with a BPE model")


DEFAULT_MODEL = "polish.morfex.json"


@functools.cache
def default_model() -> Tokenizer:
    """The model shipped with the package (data/polish.morfex.NOTICE says what it learnt from)."""
    with importlib.resources.as_file(importlib.resources.files("morfex") / "data" / DEFAULT_MODEL) as path:
        return load(path)

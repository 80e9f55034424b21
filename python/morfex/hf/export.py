"""Writing a model as a Hugging Face tokenizer: tokenizer.json and its two companions.

The files use only built-in `tokenizers` components, so `tokenizers` and
`transformers` load them without morfex: a BPE model with the merges as
pairs, a Split pre-tokenizer that cuts running text into the pieces of
encode_text, and decoders that drop the markers (and read byte tokens as
UTF-8 with byte fallback). The segmenter cannot be written: the exported
tokenizer expects text whose words are already segmented with U+2581.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from morfex.formats import writing as model_writer
from morfex.hf import pattern as piece_pattern
from morfex.vocabulary import MARKER

# tokenizer_config.json key of each special role.
CONFIG_KEYS = {"pad": "pad_token", "unk": "unk_token", "bos": "bos_token", "eos": "eos_token"}


def _checked_merges(model: model_writer.Model) -> list[list[str]]:
    vocab = model.vocab
    for left, right in model.merges:
        for token in (left, right, left + right):
            if token not in vocab:
                raise ValueError(
                    f"the merge {left!r} {right!r} needs {token!r}, which the vocabulary lacks: "
                    "tokenizers wants every merge and its parts in the vocabulary"
                )
    return [[left, right] for left, right in model.merges]


def _decoder(byte_fallback: bool) -> dict[str, Any]:
    steps: list[dict[str, Any]] = [{"type": "ByteFallback"}] if byte_fallback else []
    steps.append({"type": "Replace", "pattern": {"String": MARKER}, "content": ""})
    steps.append({"type": "Fuse"})
    return {"type": "Sequence", "decoders": steps}


def pre_tokenizer() -> dict[str, Any]:
    """The Split pre-tokenizer that cuts running text as encode_text does."""
    return {"type": "Split", "pattern": {"Regex": piece_pattern.pattern()}, "behavior": "Isolated", "invert": False}


def tokenizer_json(model: model_writer.Model) -> dict[str, Any]:
    """The tokenizer.json of `model`."""
    vocab = model.vocab
    special = model.special_tokens
    if "unk" not in special and not model.byte_fallback:
        raise ValueError(
            "the model has neither an unknown token nor byte fallback, and tokenizers would drop "
            "the characters it lacks"
        )
    spellings = sorted(set(special.values()), key=vocab.__getitem__)
    added = [
        {"id": vocab[token], "content": token, "single_word": False, "lstrip": False, "rstrip": False,
         "normalized": False, "special": True}
        for token in spellings
    ]
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": added,
        "normalizer": None,
        "pre_tokenizer": pre_tokenizer(),
        "post_processor": None,
        "decoder": _decoder(model.byte_fallback),
        "model": {
            "type": "BPE",
            "dropout": None,
            "unk_token": special.get("unk"),
            "continuing_subword_prefix": None,
            "end_of_word_suffix": None,
            "fuse_unk": False,
            "byte_fallback": model.byte_fallback,
            "ignore_merges": False,
            "vocab": dict(sorted(vocab.items(), key=lambda item: item[1])),
            "merges": _checked_merges(model),
        },
    }


def special_tokens_map(special: Mapping[str, str]) -> dict[str, str]:
    return {CONFIG_KEYS[role]: token for role, token in special.items()}


def tokenizer_config(special: Mapping[str, str]) -> dict[str, Any]:
    # Decoding gives the text back as it was: no spaces are taken out.
    return {"tokenizer_class": "PreTrainedTokenizerFast", "clean_up_tokenization_spaces": False,
            **special_tokens_map(special)}


def _write_all(directory: Path, files: dict[str, str]) -> None:
    """Writes every file, or none: each goes to a temporary file first, renamed once all are written."""
    temporaries: dict[str, Path] = {}
    try:
        for name, text in files.items():
            temporary = directory / f".{name}.{secrets.token_hex(6)}.tmp"
            temporaries[name] = temporary
            temporary.write_text(text, encoding="utf-8")
        for name, temporary in temporaries.items():
            os.replace(temporary, directory / name)
    finally:
        for temporary in temporaries.values():
            with contextlib.suppress(FileNotFoundError):
                temporary.unlink()


def save(model: model_writer.Model, directory: str | os.PathLike[str]) -> None:
    """Writes tokenizer.json, tokenizer_config.json and special_tokens_map.json into `directory`."""
    path = Path(directory)
    if path.exists() and not path.is_dir():
        raise NotADirectoryError(f"{os.fsdecode(directory)}: is a file, not a directory")

    def dump(value: Any) -> str:
        return json.dumps(value, ensure_ascii=False, indent=2) + "\n"

    files = {
        "tokenizer.json": dump(tokenizer_json(model)),
        "tokenizer_config.json": dump(tokenizer_config(model.special_tokens)),
        "special_tokens_map.json": dump(special_tokens_map(model.special_tokens)),
    }
    path.mkdir(parents=True, exist_ok=True)
    _write_all(path, files)

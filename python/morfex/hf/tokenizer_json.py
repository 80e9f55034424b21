"""Reading a Hugging Face tokenizer.json, only where morfex gives the same ids.

A file loads when its BPE model and every component it names are ones
morfex reproduces: no normalizer, post-processor, truncation or padding; no
pre-tokenizer, or the Split that cuts text as encode_text does; decoders
that only drop markers, join tokens and read byte tokens. Added tokens must be
special ones. Anything else (byte-level models, dropout, subword prefixes,
non-special added tokens, which tokenizers cuts out of the text first, ...) is
refused with
ModelFileError naming the component, so a model never loads to give other
ids than `tokenizers` does.
"""

from __future__ import annotations

import os
from typing import Any

from morfex.hf import export as hf_export
from morfex.hf import special as hf_special
from morfex.formats.reading import ModelFileError, PathArg, build, check_merges, check_vocab, shown
from morfex.tokenizer import Tokenizer
from morfex.vocabulary import MARKER

# BPE model options and the values that morfex encodes as tokenizers does.
_PLAIN_OPTIONS: dict[str, object] = {
    "dropout": None, "continuing_subword_prefix": None, "end_of_word_suffix": None,
    "fuse_unk": False, "ignore_merges": False,
}
_MODEL_KEYS = {"type", "vocab", "merges", "unk_token", "byte_fallback", *_PLAIN_OPTIONS}


def _type_of(component: object) -> str:
    kind = component.get("type") if isinstance(component, dict) else None
    return kind if isinstance(kind, str) else shown(component)


def _steps(component: dict[str, Any], key: str) -> list[Any]:
    """The components of a Sequence, or the component itself."""
    if component.get("type") != "Sequence":
        return [component]
    steps = component.get(key)
    return steps if isinstance(steps, list) else [steps]


def _check_none(name: str, data: dict[str, Any], key: str) -> None:
    component = data.get(key)
    if component is None:
        return
    if isinstance(component, dict) and component.get("type") == "Sequence":
        steps = component.get("normalizers" if key == "normalizer" else "processors")
        if steps == []:
            return
    raise ModelFileError(f"{name}: {key} {_type_of(component)} is not supported")


def _check_pre_tokenizer(name: str, component: object) -> None:
    if component is None:
        return
    if not isinstance(component, dict):
        raise ModelFileError(f"{name}: pre_tokenizer {shown(component)} is not supported")
    for step in _steps(component, "pretokenizers"):
        if step != hf_export.pre_tokenizer():
            if isinstance(step, dict) and step.get("type") == "Split":
                raise ModelFileError(f"{name}: pre_tokenizer Split is supported only with the pattern morfex writes")
            raise ModelFileError(f"{name}: pre_tokenizer {_type_of(step)} is not supported")


def _check_decoder(name: str, component: object, byte_fallback: bool) -> None:
    if component is None:
        return
    if not isinstance(component, dict):
        raise ModelFileError(f"{name}: decoder {shown(component)} is not supported")
    for step in _steps(component, "decoders"):
        kind = _type_of(step)
        if kind == "Fuse" or (kind == "ByteFallback" and byte_fallback):
            continue
        if kind == "Replace" and step.get("pattern") == {"String": MARKER} and step.get("content") == "":
            continue
        if kind == "Replace":
            raise ModelFileError(
                f"{name}: decoder Replace is supported only as the removal of {MARKER!r}, not of "
                f"{shown(step.get('pattern'))} by {shown(step.get('content'))}"
            )
        if kind == "ByteFallback":
            raise ModelFileError(f"{name}: decoder ByteFallback is supported only with model BPE option byte_fallback=True")
        raise ModelFileError(f"{name}: decoder {kind} is not supported")


def _check_model_options(name: str, model: dict[str, Any]) -> tuple[bool, str | None]:
    """Byte fallback and the unknown token of a BPE model whose other options are all plain."""
    for key, value in model.items():
        if key not in _MODEL_KEYS or (key in _PLAIN_OPTIONS and value != _PLAIN_OPTIONS[key]):
            raise ModelFileError(f"{name}: model BPE option {key}={shown(value)} is not supported")
    byte_fallback = model.get("byte_fallback", False)
    if not isinstance(byte_fallback, bool):
        raise ModelFileError(f"{name}: model BPE option byte_fallback={shown(byte_fallback)} is not true or false")
    unk_token = model.get("unk_token")
    if unk_token is not None and not isinstance(unk_token, str):
        raise ModelFileError(f"{name}: model BPE option unk_token={shown(unk_token)} is not a string")
    return byte_fallback, unk_token


def _added_tokens(name: str, data: dict[str, Any]) -> list[dict[str, Any]]:
    added = data.get("added_tokens") or []
    if not isinstance(added, list):
        raise ModelFileError(f"{name}: 'added_tokens' is not a list")
    for index, entry in enumerate(added):
        if not (isinstance(entry, dict) and isinstance(entry.get("content"), str) and type(entry.get("id")) is int
                and isinstance(entry.get("special"), bool)):
            raise ModelFileError(
                f"{name}: 'added_tokens'[{index}] has no string 'content', integer 'id' and boolean 'special'")
        if not entry["special"]:
            raise ModelFileError(
                f"{name}: 'added_tokens'[{index}]: {entry['content']!r} is not special: tokenizers cuts such a token "
                "out of the text before the model sees it, which morfex does not do"
            )
    return added


def read(path: PathArg, data: dict[str, Any]) -> Tokenizer:
    """The Tokenizer of the tokenizer.json at `path`, whose JSON is `data`."""
    name = os.fsdecode(path)
    model = data["model"]
    if not isinstance(model, dict):
        raise ModelFileError(f"{name}: 'model' is not an object")
    model_type = model.get("type", "BPE")
    if model_type != "BPE":
        raise ModelFileError(f"{name}: model type {shown(model_type)} is not BPE")
    for key in ("vocab", "merges"):
        if key not in model:
            raise ModelFileError(f"{name}: no {key!r} in 'model'")
    own = check_vocab(model["vocab"], f"{name}: 'model.vocab'")
    vocab = dict(own)
    for entry in _added_tokens(name, data):
        vocab.setdefault(entry["content"], entry["id"])
    with_added = f"{name}: 'model.vocab' with 'added_tokens'"
    vocab = check_vocab(vocab, with_added)
    merges = check_merges(model["merges"], f"{name}: 'model.merges'", allow_strings=True, vocab=vocab)
    byte_fallback, unk_token = _check_model_options(name, model)
    for key in ("truncation", "padding"):
        if data.get(key) is not None:
            raise ModelFileError(f"{name}: {key} is not supported: morfex never cuts or pads ids")
    _check_none(name, data, "normalizer")
    _check_pre_tokenizer(name, data.get("pre_tokenizer"))
    _check_none(name, data, "post_processor")
    _check_decoder(name, data.get("decoder"), byte_fallback)
    if unk_token is not None and unk_token not in vocab:
        raise ModelFileError(f"{name}: model BPE unk_token {unk_token!r} is not in the vocabulary")
    tokenizer = build(
        path, vocab, merges,
        # Ids are met in file order, so a clash inside 'model.vocab' shows before any added token.
        lambda token: f"{name}: 'model.vocab'" if token in own else with_added,
        byte_fallback=byte_fallback, special_tokens=hf_special.roles(path, vocab, unk_token),
    )
    if unk_token is None and not byte_fallback:
        # tokenizers drops a character it cannot spell; morfex gives it an id.
        raise ModelFileError(f"{name}: model BPE option unk_token=None is not supported without byte_fallback")
    return tokenizer

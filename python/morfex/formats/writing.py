"""Writing morfex model files: the format's name and version and its text.

Typed on the vocabulary and the merges alone, so that the tokenizer can save
itself and the readers can build tokenizers without importing each other.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, Protocol

from morfex.formats import special_roles

FORMAT_NAME = "morfex-bpe"
FORMAT_VERSION = 1


class Model(Protocol):
    """Anything with a vocabulary and an ordered merge list, such as a Tokenizer."""

    @property
    def vocab(self) -> Mapping[str, int]: ...

    @property
    def merges(self) -> Sequence[tuple[str, str]]: ...

    @property
    def byte_fallback(self) -> bool: ...

    @property
    def special_tokens(self) -> Mapping[str, str]: ...

    @property
    def segmenter(self) -> object: ...


def _segmenter_state(model: Model) -> dict[str, Any] | None:
    segmenter = model.segmenter
    if segmenter is None:
        return None
    to_state = getattr(segmenter, "to_state", None)
    if to_state is None:
        raise ValueError(
            f"the segmenter {segmenter!r} cannot be saved in a model file, only a morfex.Segmenter can; "
            "set the tokenizer's segmenter to None to save the model without it"
        )
    state: dict[str, Any] = to_state()
    return state


def own_special_tokens(model: Model) -> dict[str, str] | None:
    """The model's special tokens, or None when they are the usual spellings of its vocabulary."""
    special = dict(model.special_tokens)
    return None if special == special_roles.usual(model.vocab) else special


def _lines(model: Model) -> Iterator[str]:
    def dump(value: Any) -> str:
        return json.dumps(value, ensure_ascii=False)

    yield "{"
    yield f'  "format": {dump(FORMAT_NAME)},'
    yield f'  "version": {FORMAT_VERSION},'
    # Written only when set, so models without it read as before.
    if model.byte_fallback:
        yield '  "byte_fallback": true,'
    special = own_special_tokens(model)
    if special is not None:
        yield f'  "special_tokens": {dump(special)},'
    yield '  "vocab": {'
    items = sorted(model.vocab.items(), key=lambda item: item[1])
    yield ",\n".join(f"    {dump(token)}: {token_id}" for token, token_id in items)
    yield "  },"
    yield '  "merges": ['
    yield ",\n".join(f"    {dump(list(pair))}" for pair in model.merges)
    state = _segmenter_state(model)
    if state is None:
        yield "  ]"
    else:
        # The segmenter's morphs one a line, like the vocabulary.
        yield "  ],"
        yield '  "segmenter": {'
        yield "".join(f"    {dump(key)}: {dump(value)},\n" for key, value in state.items() if key != "morphs") + \
            '    "morphs": {'
        yield ",\n".join(f"      {dump(morph)}: {count}" for morph, count in state["morphs"].items())
        yield "    }"
        yield "  }"
    yield "}"


def dumps(tokenizer: Model) -> str:
    """The morfex model file text of `tokenizer`, one token, merge or morph a line."""
    return "\n".join(line for line in _lines(tokenizer) if line) + "\n"


def save(tokenizer: Model, path: str | os.PathLike[str]) -> None:
    """Writes `tokenizer` as a morfex model file."""
    Path(path).write_text(dumps(tokenizer), encoding="utf-8")

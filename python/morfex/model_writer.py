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


def _lines(model: Model) -> Iterator[str]:
    def dump(value: Any) -> str:
        return json.dumps(value, ensure_ascii=False)

    yield "{"
    yield f'  "format": {dump(FORMAT_NAME)},'
    yield f'  "version": {FORMAT_VERSION},'
    # Written only when set, so models without it read as before.
    if model.byte_fallback:
        yield '  "byte_fallback": true,'
    yield '  "vocab": {'
    items = sorted(model.vocab.items(), key=lambda item: item[1])
    yield ",\n".join(f"    {dump(token)}: {token_id}" for token, token_id in items)
    yield "  },"
    yield '  "merges": ['
    yield ",\n".join(f"    {dump(list(pair))}" for pair in model.merges)
    yield "  ]"
    yield "}"


def dumps(tokenizer: Model) -> str:
    """The morfex model file text of `tokenizer`, one token or merge a line."""
    return "\n".join(line for line in _lines(tokenizer) if line) + "\n"


def save(tokenizer: Model, path: str | os.PathLike[str]) -> None:
    """Writes `tokenizer` as a morfex model file."""
    Path(path).write_text(dumps(tokenizer), encoding="utf-8")

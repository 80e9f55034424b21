"""The directory that transformers loads a morfex tokenizer from, and writing it.

It holds the morfex model file (segmenter included), tokenizer_config.json
with an `auto_map` naming the small module file beside it, that module
(which only subclasses morfex.hf's class, so the logic lives in the installed
package), special_tokens_map.json, and tokenizer.json for tools that read
nothing else: that one cannot carry the segmenter, so it gives morfex's ids
only on text whose words are already segmented with U+2581.
"""

from __future__ import annotations

import json
import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING

from morfex.hf import export as hf_export

if TYPE_CHECKING:
    from morfex.tokenizer import Tokenizer

# `morfex.load(directory)` prefers a file ending in .morfex.json to tokenizer.json.
MODEL_FILE = "model.morfex.json"
MODULE_NAME = "tokenization_morfex"
MODULE_FILE = f"{MODULE_NAME}.py"
CLASS_NAME = "MorfexTokenizer"
AUTO_MAP = {"AutoTokenizer": [f"{MODULE_NAME}.{CLASS_NAME}", None]}

# What add_special_tokens=True puts around a sequence (and a pair), in
# transformers' own names for these patterns.
TEMPLATES = ("bos_eos", "bos", "eos", "none")
DEFAULT_TEMPLATE = "bos_eos"
DEFAULT_MODEL_MAX_LENGTH = 1024

MODULE_SOURCE = f'''"""The morfex tokenizer of this directory; its code is in the morfex package (pip install morfex)."""

from morfex.hf.transformers_tokenizer import {CLASS_NAME} as _Installed{CLASS_NAME}


class {CLASS_NAME}(_Installed{CLASS_NAME}):
    """morfex.hf.{CLASS_NAME}, as loaded through this directory's auto_map."""
'''


def checked_template(template: object) -> str:
    if not isinstance(template, str) or template not in TEMPLATES:
        raise ValueError(f"template must be one of {', '.join(map(repr, TEMPLATES))}, not {template!r}")
    return template


def checked_max_length(length: object) -> int:
    if type(length) is not int:
        raise TypeError(f"model_max_length must be an int, not {type(length).__name__}")
    if length < 1:
        raise ValueError(f"model_max_length must be at least 1, not {length}")
    return length


def write_companions(tokenizer: Tokenizer, directory: str | os.PathLike[str], prefix: str) -> list[str]:
    """Writes the module file, special_tokens_map.json and tokenizer.json; returns their paths.

    tokenizer.json is left out, with a warning, for a model that `tokenizers`
    cannot represent (one with neither an unknown token nor byte fallback)."""
    path = Path(directory)

    def dump(value: object) -> str:
        return json.dumps(value, ensure_ascii=False, indent=2) + "\n"

    files = {
        MODULE_FILE: MODULE_SOURCE,
        f"{prefix}special_tokens_map.json": dump(hf_export.special_tokens_map(tokenizer.special_tokens)),
    }
    try:
        files[f"{prefix}tokenizer.json"] = dump(hf_export.tokenizer_json(tokenizer))
    except ValueError as error:
        warnings.warn(f"no tokenizer.json written: {error}", stacklevel=3)
    for name, text in files.items():
        (path / name).write_text(text, encoding="utf-8")
    return [os.fspath(path / name) for name in files]

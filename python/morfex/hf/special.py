"""Which tokens of a Hugging Face tokenizer play the four special roles.

The unknown token is the BPE model's own unk_token, the one tokenizers
encodes unknown characters as. The other roles come from the
special_tokens_map.json beside the tokenizer.json when there is one, else
from the first of the usual names that the vocabulary holds: "<pad>" or
"[PAD]"; "<s>", "[CLS]" or "[BOS]"; "</s>", "[SEP]" or "[EOS]" (and "<unk>"
or "[UNK]" for a model with byte fallback and no unk_token).
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path

from morfex.hf.export import CONFIG_KEYS
from morfex.formats.reading import ModelFileError, PathArg, parse_json, read_text
from morfex.formats.special_roles import SPECIAL_ROLES

USUAL_NAMES = {
    "pad": ("<pad>", "[PAD]"),
    "unk": ("<unk>", "[UNK]"),
    "bos": ("<s>", "[CLS]", "[BOS]"),
    "eos": ("</s>", "[SEP]", "[EOS]"),
}
MAP_FILE = "special_tokens_map.json"


def _from_map(path: Path, vocab: Mapping[str, int]) -> dict[str, str]:
    data = parse_json(path, read_text(path))
    name = os.fsdecode(path)
    if not isinstance(data, dict):
        raise ModelFileError(f"{name}: not an object of role to token")
    found = {}
    for role in SPECIAL_ROLES:
        entry = data.get(CONFIG_KEYS[role])
        if entry is None:
            continue
        token = entry.get("content") if isinstance(entry, dict) else entry
        if not isinstance(token, str):
            raise ModelFileError(f"{name}: {CONFIG_KEYS[role]!r} is neither a token nor an object with its 'content'")
        if token not in vocab:
            raise ModelFileError(f"{name}: {CONFIG_KEYS[role]!r} is {token!r}, which the vocabulary lacks")
        found[role] = token
    return found


def _from_names(vocab: Mapping[str, int]) -> dict[str, str]:
    found = {}
    for role, names in USUAL_NAMES.items():
        present = [token for token in names if token in vocab]
        if present:
            found[role] = present[0]
    return found


def roles(path: PathArg, vocab: Mapping[str, int], unk_token: str | None) -> dict[str, str]:
    """Role to token for the tokenizer.json at `path`, whose model's unknown token is `unk_token`."""
    beside = Path(path).parent / MAP_FILE
    found = _from_map(beside, vocab) if beside.is_file() else _from_names(vocab)
    if unk_token is not None:
        found["unk"] = unk_token
    return {role: found[role] for role in SPECIAL_ROLES if role in found}

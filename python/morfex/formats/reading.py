"""Reading the parts that every model file has: its text, its JSON, its vocabulary and merges.

Each check raises ModelFileError with the file and the place at fault.
"""

from __future__ import annotations

import json
import os
import reprlib
from collections.abc import Callable
from pathlib import Path
from typing import Any

from morfex.text import utf8
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer
from morfex.vocabulary import MAX_ID, DuplicateIdError

PathArg = str | os.PathLike[str]


class ModelFileError(ValueError):
    """A model file that cannot be read; the message names the file and the fault."""


# Values a message quotes come from the file: a long or deep one is cut short.
_SHORT = reprlib.Repr(maxlevel=3, maxstring=60, maxother=60, maxlong=60, maxlist=6, maxdict=6)


def shown(value: object) -> str:
    """`value` as a message quotes it: its repr, cut short where it is long or deep."""
    return _SHORT.repr(value)


class _DuplicateKey(Exception):
    pass


def _unique_pairs(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise _DuplicateKey(key)
        result[key] = value
    return result


def read_text(path: PathArg) -> str:
    """The file's text, without the byte-order mark that some editors and tools write first."""
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise ModelFileError(f"{os.fsdecode(path)}: cannot read: {error.strerror}") from None
    return utf8.decode(data, os.fsdecode(path), ModelFileError).removeprefix("\ufeff")


class LongNumber:
    """A JSON integer too long for any id, count or version, kept only to be named in an error."""

    # Far beyond any id or count, and below the digits Python refuses to convert.
    DIGITS = 100

    def __init__(self, text: str) -> None:
        self.digits = len(text.lstrip("-"))

    def __repr__(self) -> str:
        return f"<a number of {self.digits} digits>"


def _parse_int(text: str) -> int | LongNumber:
    return int(text) if len(text) <= LongNumber.DIGITS else LongNumber(text)


def parse_json(path: PathArg, text: str) -> Any:
    try:
        return json.loads(text, object_pairs_hook=_unique_pairs, parse_int=_parse_int)
    except json.JSONDecodeError as error:
        raise ModelFileError(
            f"{os.fsdecode(path)}: not valid JSON: {error.msg}: line {error.lineno} column {error.colno}"
        ) from None
    except RecursionError:
        raise ModelFileError(f"{os.fsdecode(path)}: not valid JSON: nested too deeply") from None
    except _DuplicateKey as duplicate:
        raise ModelFileError(f"{os.fsdecode(path)}: key {duplicate.args[0]!r} appears twice") from None


def check_vocab(vocab: Any, where: str) -> dict[str, int]:
    if not isinstance(vocab, dict):
        raise ModelFileError(f"{where} is not an object of token to id")
    for token, token_id in vocab.items():
        if type(token_id) is not int or not 0 <= token_id <= MAX_ID:
            raise ModelFileError(f"{where}: the id of {token!r} is not an integer from 0 to {MAX_ID}: {shown(token_id)}")
    return vocab


def check_merges(
    merges: Any, where: str, *, allow_strings: bool, vocab: dict[str, int] | None = None
) -> list[tuple[str, str]]:
    """The merge pairs; with `vocab`, each must name and make tokens of it (see check_merge_tokens)."""
    if not isinstance(merges, list):
        raise ModelFileError(f"{where} is not a list")
    result = []
    for index, merge in enumerate(merges):
        if allow_strings and isinstance(merge, str):
            pair = split_merge_line(merge)
            if pair is None:
                raise ModelFileError(f"{where}[{index}]: {shown(merge)} is not two tokens separated by one space")
            result.append(pair)
        elif isinstance(merge, list) and len(merge) == 2 and all(isinstance(part, str) for part in merge):
            result.append((merge[0], merge[1]))
        else:
            raise ModelFileError(f"{where}[{index}]: {shown(merge)} is not a pair of token strings")
        if vocab is not None:
            check_merge_tokens(result[-1], vocab, f"{where}[{index}]")
    return result


def check_merge_tokens(merge: tuple[str, str], vocab: dict[str, int], where: str) -> None:
    """Refuses a merge of a Hugging Face file that tokenizers refuses: a part or a result outside the vocabulary.

    morfex's own files keep such merges, as a Tokenizer does: they never apply.
    """
    left, right = merge
    named = f"{where}: merge {left!r} {right!r}"
    for token in merge:
        if token not in vocab:
            raise ModelFileError(f"{named} names {token!r}, which the vocabulary lacks")
    if left + right not in vocab:
        raise ModelFileError(f"{named} makes {left + right!r}, which the vocabulary lacks")


def split_merge_line(line: str) -> tuple[str, str] | None:
    parts = line.split(" ")
    if len(parts) != 2 or not parts[0] or not parts[1]:
        return None
    return parts[0], parts[1]


def build(
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

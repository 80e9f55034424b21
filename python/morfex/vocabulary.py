"""What every morfex vocabulary shares: the marker, the special tokens and the id range."""

from __future__ import annotations

from collections.abc import Mapping

from morfex._engine import BYTE_TOKENS, MARKER, MAX_ID, SPECIAL_TOKENS

__all__ = ["MARKER", "MAX_ID", "SPECIAL_TOKENS", "DuplicateIdError", "byte_token", "byte_token_ids", "tokens_by_id"]


class DuplicateIdError(ValueError):
    """An id held by two tokens, which would make decoding ambiguous."""

    def __init__(self, token_id: int, first: str, second: str) -> None:
        super().__init__(f"id {token_id} is given to both {first!r} and {second!r}")
        self.second = second


def tokens_by_id(vocab: Mapping[str, int]) -> dict[int, str]:
    """The inverse of `vocab`; raises DuplicateIdError at the first id seen twice."""
    owners: dict[int, str] = {}
    for token, token_id in vocab.items():
        if token_id in owners:
            raise DuplicateIdError(token_id, owners[token_id], token)
        owners[token_id] = token
    return owners


def byte_token(value: int) -> str:
    """The token of one byte in a model with byte fallback, such as "<0x0A>"."""
    return BYTE_TOKENS[value]


def byte_token_ids(vocab: Mapping[str, int]) -> list[int]:
    """The ids of the 256 byte tokens in byte order; ValueError names the first one missing."""
    ids = []
    for value in range(256):
        token = byte_token(value)
        if token not in vocab:
            raise ValueError(f"byte fallback needs all 256 byte tokens, but the vocabulary lacks {token!r}")
        ids.append(vocab[token])
    return ids

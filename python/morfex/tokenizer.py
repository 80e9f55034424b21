"""The Python-side tokenizer: a vocabulary, a merge list and their CoreBPE."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from types import MappingProxyType

from _morfex import CoreBPE
from morfex import model_writer
from morfex.vocabulary import tokens_by_id


class Tokenizer:
    """A BPE model ready to encode and decode boundary-annotated words.

    Holds the vocabulary and the ordered merge list exactly as given, so that
    saving it writes back the same model.
    """

    __slots__ = ("_vocab", "_merges", "_id_to_token", "_core")

    def __init__(self, vocab: Mapping[str, int], merges: Iterable[tuple[str, str]]) -> None:
        self._vocab = dict(vocab)
        self._merges = tuple((left, right) for left, right in merges)
        # CoreBPE checks the types and ranges; an id held by two tokens would
        # make decoding ambiguous, so it is refused here.
        self._core = CoreBPE(self._vocab, list(self._merges))
        self._id_to_token = tokens_by_id(self._vocab)

    @property
    def vocab(self) -> Mapping[str, int]:
        """Token string to id, read-only."""
        return MappingProxyType(self._vocab)

    @property
    def merges(self) -> tuple[tuple[str, str], ...]:
        """The merge pairs, earliest (highest priority) first."""
        return self._merges

    def __len__(self) -> int:
        return len(self._vocab)

    def __repr__(self) -> str:
        return f"<morfex.Tokenizer: {len(self._vocab)} tokens, {len(self._merges)} merges>"

    def encode(self, word: str) -> list[int]:
        """Token ids of one boundary-annotated word such as "k▁um▁ain"."""
        return self._core.encode(word)

    def encode_tokens(self, word: str) -> list[str]:
        """Token strings of one word; characters outside the vocabulary show as "<unk>"."""
        return [self._id_to_token.get(token_id, "<unk>") for token_id in self._core.encode(word)]

    def decode(self, ids: Iterable[int]) -> str:
        """Text of the ids, without special tokens, unknown ids and markers."""
        return self._core.decode(list(ids))

    def token_to_id(self, token: str) -> int | None:
        return self._vocab.get(token)

    def id_to_token(self, token_id: int) -> str | None:
        return self._id_to_token.get(token_id)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the model as a morfex model file (see `morfex.load`)."""
        model_writer.save(self, path)

"""The Python-side tokenizer: a vocabulary, a merge list and their CoreBPE."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from types import MappingProxyType

from _morfex import CoreBPE
from morfex import engine as _batch
from morfex import model_writer
from morfex.vocabulary import tokens_by_id


class Tokenizer:
    """A BPE model ready to encode and decode boundary-annotated words.

    Holds the vocabulary and the ordered merge list exactly as given, so that
    saving it writes back the same model.
    """

    __slots__ = ("_vocab", "_merges", "_id_to_token", "_core", "_engine", "_cache_size")

    def __init__(self, vocab: Mapping[str, int], merges: Iterable[tuple[str, str]]) -> None:
        self._vocab = dict(vocab)
        self._merges = tuple((left, right) for left, right in merges)
        # CoreBPE checks the types and ranges; an id held by two tokens would
        # make decoding ambiguous, so it is refused here.
        self._core = CoreBPE(self._vocab, list(self._merges))
        self._id_to_token = tokens_by_id(self._vocab)
        self._engine: _batch.Engine | None = None
        self._cache_size = _batch.DEFAULT_CACHE_SIZE

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

    # Batch work runs on the native engine, built from the same vocabulary and
    # merges on first use. `threads`: None means $MORFEX_NUM_THREADS when set,
    # else the processors this process may run on; 1 runs on the calling thread.

    def _batch_engine(self) -> _batch.Engine:
        engine = self._engine
        if engine is None:
            engine = self._engine = _batch.Engine(self._vocab, list(self._merges), self._cache_size)
        return engine

    @property
    def cache_size(self) -> int:
        """Words each batch worker remembers the ids of (0: no cache); never changes a result."""
        return self._cache_size

    @cache_size.setter
    def cache_size(self, size: int) -> None:
        self._cache_size = _batch.resolve_cache_size(size)
        if self._engine is not None:
            self._engine.cache_size = self._cache_size

    def encode_batch(self, words: Iterable[str], *, threads: int | None = None) -> list[list[int]]:
        """The ids of every word, as `encode` gives them, on several threads."""
        return self._batch_engine().encode_lists(words, _batch.resolve_threads(threads))

    def encode_flat(
        self, words: Iterable[str], *, threads: int | None = None
    ) -> tuple[_batch.Ids, _batch.Offsets]:
        """All ids as one uint32 array, and int64 offsets: word i is ids[offsets[i]:offsets[i + 1]]."""
        return _batch.encode_flat(self._batch_engine(), words, threads)

    def decode_batch(self, batch: Iterable[Iterable[int]], *, threads: int | None = None) -> list[str]:
        """The text of every sequence of ids, as `decode` gives it, on several threads."""
        return self._batch_engine().decode_lists(batch, _batch.resolve_threads(threads))

    def decode_flat(self, ids: object, offsets: object, *, threads: int | None = None) -> list[str]:
        """The text of ids[offsets[i]:offsets[i + 1]] for every i (the inverse of encode_flat)."""
        return _batch.decode_flat(self._batch_engine(), ids, offsets, threads)

    def token_to_id(self, token: str) -> int | None:
        return self._vocab.get(token)

    def id_to_token(self, token_id: int) -> str | None:
        return self._id_to_token.get(token_id)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the model as a morfex model file (see `morfex.load`)."""
        model_writer.save(self, path)

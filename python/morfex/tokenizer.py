"""The Python-side tokenizer: a vocabulary, a merge list and their CoreBPE."""

from __future__ import annotations

import os
import pickle
from collections.abc import Callable, Iterable, Mapping
from types import MappingProxyType
from typing import Literal, overload

from _morfex import CoreBPE
from morfex import engine as _batch
from morfex import model_writer, tokenizer_state
from morfex._engine import Segmenter as NativeSegmenter
from morfex.segmenter import Segmenter as MorphSegmenter
from morfex.vocabulary import byte_token_ids, tokens_by_id

# What segments the words of running text: None (the text is taken as
# given, so pre-segmented text passes through), a morfex.Segmenter (which
# runs natively on the engine's threads), or any callable from a word to the
# word with U+2581 between its morphemes.
Segmenter = Callable[[str], str] | None


# Stands for "the tokenizer's own segmenter" where None means "none".
_DEFAULT = object()


def _checked_segmenter(segmenter: object) -> Segmenter:
    if segmenter is not None and not callable(segmenter):
        raise TypeError(f"segmenter must be callable or None, not {type(segmenter).__name__}")
    if segmenter is None:
        return None
    return segmenter


class Tokenizer:
    """A BPE model ready to encode and decode boundary-annotated words.

    Holds the vocabulary and the ordered merge list exactly as given, so that
    saving it writes back the same model.
    """

    __slots__ = ("_vocab", "_merges", "_id_to_token", "_core", "_engine", "_cache_size", "_byte_ids", "_segmenter")

    def __init__(
        self,
        vocab: Mapping[str, int],
        merges: Iterable[tuple[str, str]],
        *,
        byte_fallback: bool = False,
        segmenter: Segmenter = None,
    ) -> None:
        self._vocab = dict(vocab)
        self._merges = tuple((left, right) for left, right in merges)
        # CoreBPE checks the types and ranges; an id held by two tokens would
        # make decoding ambiguous, so it is refused here.
        self._core = CoreBPE(self._vocab, list(self._merges))
        self._id_to_token = tokens_by_id(self._vocab)
        self._engine: _batch.Engine | None = None
        self._cache_size = _batch.DEFAULT_CACHE_SIZE
        if not isinstance(byte_fallback, bool):
            raise TypeError(f"byte_fallback must be a bool, not {type(byte_fallback).__name__}")
        self._byte_ids = byte_token_ids(self._vocab) if byte_fallback else None
        self._segmenter: Segmenter = _checked_segmenter(segmenter)

    @property
    def vocab(self) -> Mapping[str, int]:
        """Token string to id, read-only."""
        return MappingProxyType(self._vocab)

    @property
    def merges(self) -> tuple[tuple[str, str], ...]:
        """The merge pairs, earliest (highest priority) first."""
        return self._merges

    @property
    def byte_fallback(self) -> bool:
        """Whether running text spells characters outside the vocabulary by their UTF-8 byte tokens."""
        return self._byte_ids is not None

    @property
    def segmenter(self) -> Segmenter:
        """What encode_text segments words with by default: None, a morfex.Segmenter or a callable str -> str.

        Only a morfex.Segmenter is saved with the model."""
        return self._segmenter

    @segmenter.setter
    def segmenter(self, segmenter: Segmenter) -> None:
        self._segmenter = _checked_segmenter(segmenter)

    def __len__(self) -> int:
        return len(self._vocab)

    def __repr__(self) -> str:
        return f"<morfex.Tokenizer: {len(self._vocab)} tokens, {len(self._merges)} merges>"

    def __eq__(self, other: object) -> bool:
        """The same vocabulary, merges, byte fallback and segmenter (the cache size aside)."""
        if not isinstance(other, Tokenizer):
            return NotImplemented
        return (
            self._vocab == other._vocab
            and self._merges == other._merges
            and self.byte_fallback == other.byte_fallback
            and self._segmenter == other._segmenter
        )

    # The segmenter and the cache size may change, so a hash would not last.
    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[Callable[[object], Tokenizer], tuple[dict[str, object]]]:
        """Pickles the model alone (never the engine or its caches), the same bytes for equal models."""
        return _unpickle, (tokenizer_state.to_state(self),)

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
    # `dropout`: the chance that each merge is skipped (BPE-dropout), with
    # sequence i's draws fixed by `seed` and i alone; seed=None picks a fresh seed.

    def _batch_engine(self) -> _batch.Engine:
        engine = self._engine
        if engine is None:
            engine = self._engine = _batch.Engine(self._vocab, list(self._merges), self._cache_size, self._byte_ids)
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

    def encode_batch(
        self, words: Iterable[str], *, threads: int | None = None, dropout: float = 0.0, seed: int | None = None
    ) -> list[list[int]]:
        """The ids of every word, as `encode` gives them, on several threads (see README, "BPE-dropout")."""
        count = _batch.resolve_threads(threads)
        return self._batch_engine().encode_lists(words, count, *_batch.resolve_dropout(dropout, seed))

    def encode_flat(
        self, words: Iterable[str], *, threads: int | None = None, dropout: float = 0.0, seed: int | None = None
    ) -> tuple[_batch.Ids, _batch.Offsets]:
        """All ids as one uint32 array, and int64 offsets: word i is ids[offsets[i]:offsets[i + 1]]."""
        return _batch.encode_flat(self._batch_engine(), words, threads, dropout, seed)

    def decode_batch(self, batch: Iterable[Iterable[int]], *, threads: int | None = None) -> list[str]:
        """The text of every sequence of ids, as `decode` gives it, on several threads."""
        return self._batch_engine().decode_lists(batch, _batch.resolve_threads(threads))

    def decode_flat(self, ids: object, offsets: object, *, threads: int | None = None) -> list[str]:
        """The text of ids[offsets[i]:offsets[i + 1]] for every i (the inverse of encode_flat)."""
        return _batch.decode_flat(self._batch_engine(), ids, offsets, threads)

    # Running text: cut into words, numbers, punctuation and whitespace, each
    # piece encoded as `encode` would (words through the segmenter first), so
    # that decode_text gives the text back (see README, "Running text").

    @overload
    def encode_text(
        self, text: str, *, markers: bool = ..., offsets: Literal[False] = ..., segmenter: Segmenter = ...
    ) -> list[int]: ...
    @overload
    def encode_text(
        self, text: str, *, markers: bool = ..., offsets: Literal[True], segmenter: Segmenter = ...
    ) -> tuple[list[int], list[tuple[int, int]]]: ...
    def encode_text(
        self, text: str, *, markers: bool = True, offsets: bool = False, segmenter: object = _DEFAULT
    ) -> list[int] | tuple[list[int], list[tuple[int, int]]]:
        """Ids of running text; with offsets=True also the (start, end) characters of `text` behind each id."""
        result: list[int] | tuple[list[int], list[tuple[int, int]]]
        result = self._batch_engine().encode_text(text, markers, offsets, self._segmenter_of(segmenter))
        return result

    def encode_text_batch(
        self,
        texts: Iterable[str],
        *,
        threads: int | None = None,
        markers: bool = True,
        segmenter: object = _DEFAULT,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> list[list[int]]:
        """The ids of every text, as `encode_text` gives them, on several threads."""
        engine = self._batch_engine()
        count = _batch.resolve_threads(threads)
        rate, seed_value = _batch.resolve_dropout(dropout, seed)
        return engine.encode_text_lists(texts, count, markers, self._segmenter_of(segmenter), rate, seed_value)

    def encode_text_flat(
        self,
        texts: Iterable[str],
        *,
        threads: int | None = None,
        markers: bool = True,
        segmenter: object = _DEFAULT,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> tuple[_batch.Ids, _batch.Offsets]:
        """All ids of the texts as one uint32 array, and int64 offsets: text i is ids[offsets[i]:offsets[i + 1]]."""
        segmenter_used = self._segmenter_of(segmenter)
        return _batch.encode_text_flat(self._batch_engine(), texts, threads, markers, segmenter_used, dropout, seed)

    def decode_text(self, ids: Iterable[int]) -> str:
        """The running text of the ids: `decode`, with runs of byte tokens read as UTF-8."""
        return self._batch_engine().decode_text_lists([list(ids)], 1)[0]

    def decode_text_batch(self, batch: Iterable[Iterable[int]], *, threads: int | None = None) -> list[str]:
        """The text of every sequence of ids, as `decode_text` gives it, on several threads."""
        return self._batch_engine().decode_text_lists(batch, _batch.resolve_threads(threads))

    def decode_text_flat(self, ids: object, offsets: object, *, threads: int | None = None) -> list[str]:
        """The text of ids[offsets[i]:offsets[i + 1]] for every i (the inverse of encode_text_flat)."""
        return _batch.decode_text_flat(self._batch_engine(), ids, offsets, threads)

    def _segmenter_of(self, segmenter: object) -> NativeSegmenter | Callable[[str], str] | None:
        """What the engine takes: a native segmenter, a callable or None."""
        chosen = self._segmenter if segmenter is _DEFAULT else _checked_segmenter(segmenter)
        return chosen.native if isinstance(chosen, MorphSegmenter) else chosen

    def token_to_id(self, token: str) -> int | None:
        return self._vocab.get(token)

    def id_to_token(self, token_id: int) -> str | None:
        return self._id_to_token.get(token_id)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the model as a morfex model file (see `morfex.load`)."""
        model_writer.save(self, path)


def _unpickle(state: object) -> Tokenizer:
    """The tokenizer whose `__reduce__` gave `state`; pickles name it, so it keeps its name."""
    parts = tokenizer_state.parts(state)
    try:
        tokenizer = Tokenizer(parts.vocab, parts.merges, byte_fallback=parts.byte_fallback, segmenter=parts.segmenter)
    except (TypeError, ValueError, OverflowError, UnicodeError) as error:
        raise pickle.UnpicklingError(f"morfex.Tokenizer state: {error}") from None
    tokenizer.cache_size = parts.cache_size
    return tokenizer

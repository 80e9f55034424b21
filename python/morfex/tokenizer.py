"""The Python-side tokenizer: a vocabulary, a merge list and their native engine."""

from __future__ import annotations

import os
import pickle
from collections.abc import Callable, Iterable, Mapping
from types import MappingProxyType
from typing import Literal, overload

from morfex import engine as _batch
from morfex._engine import UNK_TOKEN
from morfex.formats import special_roles
from morfex.formats import state as tokenizer_state
from morfex.formats import writing as model_writer
from morfex.hf import export as hf_export
from morfex._engine import Segmenter as NativeSegmenter
from morfex.segmenter import Segmenter as MorphSegmenter
from morfex.sequences import Framing, Ids, Mask, Matrix, Offsets, Padding, Side, frame
from morfex.vocabulary import byte_token_ids, tokens_by_id

# What segments the words of running text: None (the text is taken as
# given, so pre-segmented text passes through), a morfex.Segmenter (which
# runs natively on the engine's threads), or any callable from a word to the
# word with U+2581 between its morphemes.
Segmenter = Callable[[str], str] | None


# Stands for "the tokenizer's own segmenter" where None means "none".
OWN_SEGMENTER = object()

# What asks for each role's token, for the message when the model has none.
_NEEDED_BY = {"pad": "padding", "bos": "bos=True", "eos": "eos=True"}


def _lists(ids: Ids, offsets: Offsets) -> list[list[int]]:
    flat, bounds = ids.tolist(), offsets.tolist()
    return [flat[start:end] for start, end in zip(bounds, bounds[1:])]


def checked_segmenter(segmenter: object) -> Segmenter:
    if segmenter is not None and not callable(segmenter):
        raise TypeError(f"segmenter must be callable or None, not {type(segmenter).__name__}")
    if segmenter is None:
        return None
    return segmenter


class Tokenizer:
    """A BPE model ready to encode and decode boundary-annotated words.

    Holds the vocabulary and the ordered merge list exactly as given, so that
    saving it writes back the same model. `special_tokens` names the tokens of
    the roles "pad", "unk", "bos" and "eos" where they are not spelled "<pad>",
    "<unk>", "<s>" and "</s>"; such a token may not be used or made by a
    merge, since decoding drops it (ValueError names the role and the merge).
    """

    # encode and decode are the engine's own methods, bound once per
    # tokenizer: a call then costs no Python frame, as little as CoreBPE's.
    __slots__ = {
        "_vocab": None, "_merges": None, "_id_to_token": None, "_engine": None, "_cache_size": None,
        "_byte_ids": None, "_segmenter": None, "_special": None,
        "encode": 'encode(word): token ids of one boundary-annotated word such as "k▁um▁ain".',
        "decode": "decode(ids): text of the ids, without special tokens, unknown ids and markers.",
    }
    encode: Callable[[str], list[int]]
    decode: Callable[[Iterable[int]], str]

    def __init__(
        self,
        vocab: Mapping[str, int],
        merges: Iterable[tuple[str, str]],
        *,
        byte_fallback: bool = False,
        segmenter: Segmenter = None,
        special_tokens: Mapping[str, str] | None = None,
    ) -> None:
        self._vocab = dict(vocab)
        self._merges = tuple((left, right) for left, right in merges)
        self._cache_size = _batch.DEFAULT_CACHE_SIZE
        if not isinstance(byte_fallback, bool):
            raise TypeError(f"byte_fallback must be a bool, not {type(byte_fallback).__name__}")
        self._byte_ids = byte_token_ids(self._vocab) if byte_fallback else None
        self._segmenter: Segmenter = checked_segmenter(segmenter)
        self._special = special_roles.resolve(special_tokens, self._vocab, self._merges)
        # The engine checks the types and ranges; it is given the roles only
        # where they differ from the core's fixed spellings.
        if special_roles.core_agrees(self._special, self._vocab):
            self._engine = _batch.Engine(self._vocab, list(self._merges), self._cache_size, self._byte_ids)
        else:
            self._engine = _batch.Engine(
                self._vocab, list(self._merges), self._cache_size, self._byte_ids,
                sorted(special_roles.special_ids(self._special, self._vocab)), self._special.get("unk"),
            )
        # An id held by two tokens would make decoding ambiguous, so it is refused here.
        self._id_to_token = tokens_by_id(self._vocab)
        self.encode = self._engine.encode
        self.decode = self._engine.decode

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
    def special_tokens(self) -> Mapping[str, str]:
        """Role ("pad", "unk", "bos", "eos") to its token, read-only; only the roles the model has."""
        return MappingProxyType(self._special)

    def _special_id(self, role: str) -> int:
        """The id of the token of `role`; ValueError, naming what needed it, when the model has none."""
        if role not in special_roles.SPECIAL_ROLES:
            raise ValueError(f"unknown special role {role!r} (the roles are {', '.join(special_roles.SPECIAL_ROLES)})")
        if role not in self._special:
            if role in _NEEDED_BY:
                usual = special_roles.USUAL_SPELLINGS[role]
                raise ValueError(f"{_NEEDED_BY[role]} needs the token {usual} in the vocabulary, or another named in special_tokens")
            raise ValueError(f"the model has no {role} token")
        return self._vocab[self._special[role]]

    @property
    def segmenter(self) -> Segmenter:
        """What encode_text segments words with by default: None, a morfex.Segmenter or a callable str -> str.

        Only a morfex.Segmenter is saved with the model."""
        return self._segmenter

    @segmenter.setter
    def segmenter(self, segmenter: Segmenter) -> None:
        self._segmenter = checked_segmenter(segmenter)

    def __len__(self) -> int:
        """The largest id plus one (the rows an embedding table needs), holes in the ids included."""
        return max(self._vocab.values(), default=-1) + 1

    def __repr__(self) -> str:
        return f"<morfex.Tokenizer: {len(self._vocab)} tokens, {len(self._merges)} merges>"

    def __eq__(self, other: object) -> bool:
        """The same vocabulary, merges, byte fallback, special tokens and segmenter (the cache size aside)."""
        if not isinstance(other, Tokenizer):
            return NotImplemented
        return (
            self._vocab == other._vocab
            and self._merges == other._merges
            and self.byte_fallback == other.byte_fallback
            and self._special == other._special
            and self._segmenter == other._segmenter
        )

    # The segmenter and the cache size may change, so a hash would not last.
    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[Callable[[object], Tokenizer], tuple[dict[str, object]]]:
        """Pickles the model alone (never the engine or its caches), the same bytes for equal models."""
        return _unpickle, (tokenizer_state.to_state(self),)

    def encode_tokens(self, word: str) -> list[str]:
        """Token strings of one word; characters outside the vocabulary show as the unknown token."""
        unknown = self._special.get("unk", UNK_TOKEN)
        return [self._id_to_token.get(token_id, unknown) for token_id in self.encode(word)]

    # Batch work runs on the same engine. `threads`: None means $MORFEX_NUM_THREADS when set,
    # else the processors this process may run on; 1 runs on the calling thread.
    # `dropout`: the chance that each merge is skipped (BPE-dropout), with
    # sequence i's draws fixed by `seed` and i alone; seed=None picks a fresh seed.

    @property
    def cache_size(self) -> int:
        """Words each batch worker remembers the ids of (0: no cache); never changes a result."""
        return self._cache_size

    @cache_size.setter
    def cache_size(self, size: int) -> None:
        self._cache_size = _batch.resolve_cache_size(size)
        self._engine.cache_size = self._cache_size

    # bos/eos put <s> before and </s> after each sequence; max_length cuts
    # each one to its first tokens, leaving room for them (see docs/api.md,
    # "Training pipelines"); dropout skips merges at random (docs/api.md,
    # "BPE-dropout").

    def encode_batch(
        self,
        words: Iterable[str],
        *,
        threads: int | None = None,
        bos: bool = False,
        eos: bool = False,
        max_length: int | None = None,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> list[list[int]]:
        """The ids of every word, as `encode` gives them, on several threads."""
        framing = self._framing(bos, eos, max_length)
        if framing.changes_nothing:
            count = _batch.resolve_threads(threads)
            return self._engine.encode_lists(words, count, *_batch.resolve_dropout(dropout, seed))
        return _lists(*frame(*_batch.encode_flat(self._engine, words, threads, dropout, seed), framing))

    def encode_flat(
        self,
        words: Iterable[str],
        *,
        threads: int | None = None,
        bos: bool = False,
        eos: bool = False,
        max_length: int | None = None,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> tuple[Ids, Offsets]:
        """All ids as one uint32 array, and int64 offsets: word i is ids[offsets[i]:offsets[i + 1]]."""
        framing = self._framing(bos, eos, max_length)
        return frame(*_batch.encode_flat(self._engine, words, threads, dropout, seed), framing)

    def encode_padded(
        self,
        words: Iterable[str],
        *,
        threads: int | None = None,
        bos: bool = False,
        eos: bool = False,
        max_length: int | None = None,
        length: int | None = None,
        side: Side = "right",
        multiple_of: int | None = None,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> tuple[Matrix, Mask]:
        """The ids of every word as a row of an int64 matrix padded with <pad>, and a uint8 mask (see morfex.pad)."""
        padding = Padding(self._special_id("pad"), length, side, multiple_of)
        flat = self.encode_flat(words, threads=threads, bos=bos, eos=eos, max_length=max_length, dropout=dropout, seed=seed)
        return padding.apply(*flat)

    def decode_batch(self, batch: Iterable[Iterable[int]], *, threads: int | None = None) -> list[str]:
        """The text of every sequence of ids, as `decode` gives it, on several threads."""
        return self._engine.decode_lists(batch, _batch.resolve_threads(threads))

    def decode_flat(self, ids: object, offsets: object, *, threads: int | None = None) -> list[str]:
        """The text of ids[offsets[i]:offsets[i + 1]] for every i (the inverse of encode_flat)."""
        return _batch.decode_flat(self._engine, ids, offsets, threads)

    def encode_word_lines(self, data: bytes, *, threads: int | None = None) -> tuple[Ids, Offsets]:
        """Ids of the words of UTF-8 lines, and where each line's ids start (one more for the end).

        Words are separated by ASCII whitespace (what str.split() splits at
        among ASCII characters) and encoded as `encode` does; lines end at
        b"\\n", and bytes after the last one are one more line. Bytes that are
        not UTF-8 raise ValueError with the offset of the first bad one as its
        `offset` attribute. This is `morfex encode --words`."""
        return _batch.encode_chunk(self._engine, data, threads)

    def encode_text_lines(
        self, data: bytes, *, threads: int | None = None, markers: bool = False, segmenter: object = OWN_SEGMENTER
    ) -> tuple[Ids, Offsets]:
        """Ids of UTF-8 lines of running text, and where each line's ids start (one more for the end).

        Lines end after b"\\n", and bytes after the last one are one more
        line; each line, its line break included, is encoded as
        `encode_text_flat` encodes a text, so decoding each line's ids gives
        it back. Bytes that are not UTF-8 raise ValueError with the offset of
        the first bad one as its `offset` attribute. This is `morfex encode`."""
        chosen = self._segmenter_of(segmenter)
        return _batch.encode_text_chunk(self._engine, data, threads, markers, chosen)

    # Running text: cut into words, numbers, punctuation and whitespace, each
    # piece encoded as `encode` would (words through the segmenter first), so
    # that decode_text gives the text back (see docs/api.md, "Running text").
    # Marker ids are left out unless markers=True: they make running text a
    # third longer, and decode_text gives the same text with or without them.

    @overload
    def encode_text(
        self, text: str, *, markers: bool = ..., offsets: Literal[False] = ..., segmenter: Segmenter = ...
    ) -> list[int]: ...
    @overload
    def encode_text(
        self, text: str, *, markers: bool = ..., offsets: Literal[True], segmenter: Segmenter = ...
    ) -> tuple[list[int], list[tuple[int, int]]]: ...
    def encode_text(
        self, text: str, *, markers: bool = False, offsets: bool = False, segmenter: object = OWN_SEGMENTER
    ) -> list[int] | tuple[list[int], list[tuple[int, int]]]:
        """Ids of running text; with offsets=True also the (start, end) characters of `text` behind each id."""
        result: list[int] | tuple[list[int], list[tuple[int, int]]]
        result = self._engine.encode_text(text, markers, offsets, self._segmenter_of(segmenter))
        return result

    def encode_text_batch(
        self,
        texts: Iterable[str],
        *,
        threads: int | None = None,
        markers: bool = False,
        segmenter: object = OWN_SEGMENTER,
        bos: bool = False,
        eos: bool = False,
        max_length: int | None = None,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> list[list[int]]:
        """The ids of every text, as `encode_text` gives them, on several threads."""
        framing = self._framing(bos, eos, max_length)
        engine = self._engine
        chosen = self._segmenter_of(segmenter)
        if framing.changes_nothing:
            count = _batch.resolve_threads(threads)
            rate, seed_value = _batch.resolve_dropout(dropout, seed)
            return engine.encode_text_lists(texts, count, markers, chosen, rate, seed_value)
        return _lists(*frame(*_batch.encode_text_flat(engine, texts, threads, markers, chosen, dropout, seed), framing))

    def encode_text_flat(
        self,
        texts: Iterable[str],
        *,
        threads: int | None = None,
        markers: bool = False,
        segmenter: object = OWN_SEGMENTER,
        bos: bool = False,
        eos: bool = False,
        max_length: int | None = None,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> tuple[Ids, Offsets]:
        """All ids of the texts as one uint32 array, and int64 offsets: text i is ids[offsets[i]:offsets[i + 1]]."""
        framing = self._framing(bos, eos, max_length)
        chosen = self._segmenter_of(segmenter)
        flat = _batch.encode_text_flat(self._engine, texts, threads, markers, chosen, dropout, seed)
        return frame(*flat, framing)

    def encode_text_padded(
        self,
        texts: Iterable[str],
        *,
        threads: int | None = None,
        markers: bool = False,
        segmenter: object = OWN_SEGMENTER,
        bos: bool = False,
        eos: bool = False,
        max_length: int | None = None,
        length: int | None = None,
        side: Side = "right",
        multiple_of: int | None = None,
        dropout: float = 0.0,
        seed: int | None = None,
    ) -> tuple[Matrix, Mask]:
        """The ids of every text as a row of an int64 matrix padded with <pad>, and a uint8 mask (see morfex.pad)."""
        padding = Padding(self._special_id("pad"), length, side, multiple_of)
        flat = self.encode_text_flat(
            texts,
            threads=threads,
            markers=markers,
            segmenter=segmenter,
            bos=bos,
            eos=eos,
            max_length=max_length,
            dropout=dropout,
            seed=seed,
        )
        return padding.apply(*flat)

    def decode_text(self, ids: Iterable[int]) -> str:
        """The running text of the ids: `decode`, with runs of byte tokens read as UTF-8."""
        return self._engine.decode_text_lists([list(ids)], 1)[0]

    def decode_text_batch(self, batch: Iterable[Iterable[int]], *, threads: int | None = None) -> list[str]:
        """The text of every sequence of ids, as `decode_text` gives it, on several threads."""
        return self._engine.decode_text_lists(batch, _batch.resolve_threads(threads))

    def decode_text_flat(self, ids: object, offsets: object, *, threads: int | None = None) -> list[str]:
        """The text of ids[offsets[i]:offsets[i + 1]] for every i (the inverse of encode_text_flat)."""
        return _batch.decode_text_flat(self._engine, ids, offsets, threads)

    def _framing(self, bos: object, eos: object, max_length: int | None) -> Framing:
        for name, flag in (("bos", bos), ("eos", eos)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be a bool, not {type(flag).__name__}")
        return Framing(self._special_id("bos") if bos else None, self._special_id("eos") if eos else None, max_length)

    def _segmenter_of(self, segmenter: object) -> NativeSegmenter | Callable[[str], str] | None:
        """What the engine takes: a native segmenter, a callable or None."""
        chosen = self._segmenter if segmenter is OWN_SEGMENTER else checked_segmenter(segmenter)
        return chosen.native if isinstance(chosen, MorphSegmenter) else chosen

    def token_to_id(self, token: str) -> int | None:
        return self._vocab.get(token)

    def id_to_token(self, token_id: int) -> str | None:
        return self._id_to_token.get(token_id)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the model as a morfex model file (see `morfex.load`)."""
        model_writer.save(self, path)

    def save_hf(self, directory: str | os.PathLike[str]) -> None:
        """Writes the model as a Hugging Face tokenizer into `directory` (made if missing).

        tokenizer.json, tokenizer_config.json and special_tokens_map.json, all
        or none; they load in `tokenizers` and `transformers` without morfex
        and encode pre-segmented text as encode_text does (the segmenter is
        not saved)."""
        hf_export.save(self, directory)

    def save_pretrained(
        self,
        directory: str | os.PathLike[str],
        *,
        model_max_length: int | None = None,
        template: str | None = None,
    ) -> None:
        """Writes a transformers tokenizer directory that encodes raw text as encode_text does, segmenter included.

        `transformers.AutoTokenizer.from_pretrained(directory, trust_remote_code=True)`
        loads it (or without trust_remote_code after `morfex.hf.register()`), and
        so does `morfex.load(directory)`. `template` is what add_special_tokens=True
        adds: "bos_eos" (<s> ... </s>, the default), "bos", "eos" or "none";
        `model_max_length` defaults to 1024. Needs transformers."""
        from morfex import hf

        hf.save_pretrained(self, directory, model_max_length=model_max_length, template=template)


def _unpickle(state: object) -> Tokenizer:
    """The tokenizer whose `__reduce__` gave `state`; pickles name it, so it keeps its name."""
    parts = tokenizer_state.parts(state)
    try:
        tokenizer = Tokenizer(
            parts.vocab, parts.merges, byte_fallback=parts.byte_fallback, segmenter=parts.segmenter,
            special_tokens=parts.special_tokens,
        )
    except (TypeError, ValueError, OverflowError, UnicodeError) as error:
        raise pickle.UnpicklingError(f"morfex.Tokenizer state: {error}") from None
    tokenizer.cache_size = parts.cache_size
    return tokenizer

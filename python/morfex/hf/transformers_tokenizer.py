"""MorfexTokenizer: a transformers tokenizer whose encoding is morfex's.

Raw text is encoded by `Tokenizer.encode_text` (segmenter and markers as its
defaults), a batch in one call on the engine's threads; transformers' own
code then adds the template's special tokens, truncates and pads, so those
behave as for any other transformers tokenizer. Offsets are the characters
of the caller's text behind each id, as `encode_text(offsets=True)` gives
them. As in transformers, special tokens written in the text (such as "<s>"
from a chat template) are read as those tokens unless split_special_tokens=True.
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import transformers
from transformers import AddedToken, AutoTokenizer, PretrainedConfig, PreTrainedTokenizer
from transformers.tokenization_utils_base import BatchEncoding, TruncationStrategy
from transformers.utils.generic import PaddingStrategy

import morfex
from morfex.hf import directory
from morfex.hf.export import CONFIG_KEYS

# The class relies on transformers 5's Python tokenizer base (one _encode_plus
# for single and batched input, templates named by special_tokens_pattern).
if int(transformers.__version__.split(".")[0]) < 5:
    raise ImportError(f"morfex.hf needs transformers 5 or later, not {transformers.__version__}")

Span = tuple[int, int]
# The strategies that cut a single sequence alone: from its end, or its start
# with truncation_side="left".
_SINGLE_TRUNCATIONS = (TruncationStrategy.DO_NOT_TRUNCATE, TruncationStrategy.LONGEST_FIRST, TruncationStrategy.ONLY_FIRST)
# A piece of one input: text to encode (with where it starts in the input),
# or the id of a token written out in the text.
Piece = tuple[str, int] | int


class MorfexTokenizer(PreTrainedTokenizer):
    """A transformers tokenizer on a morfex model: `MorfexTokenizer(model_file)`, or `tokenizer=` a morfex.Tokenizer.

    `template` is what add_special_tokens=True puts around each sequence:
    "bos_eos" (<s> A </s>, and <s> A </s> B </s> for pairs), "bos", "eos" or "none".
    `len(tokenizer)` is the largest id plus one, holes in the vocabulary included.
    """

    vocab_files_names = {"model_file": directory.MODEL_FILE}
    model_input_names = ["input_ids", "attention_mask"]

    def __init__(
        self,
        model_file: str | os.PathLike[str] | None = None,
        *,
        tokenizer: morfex.Tokenizer | None = None,
        template: str = directory.DEFAULT_TEMPLATE,
        **kwargs: Any,
    ) -> None:
        if (model_file is None) == (tokenizer is None):
            raise TypeError("MorfexTokenizer needs either a model file or tokenizer=, a morfex.Tokenizer")
        if tokenizer is None:
            tokenizer = morfex.load(os.fspath(model_file))  # type: ignore[arg-type]
        elif not isinstance(tokenizer, morfex.Tokenizer):
            raise TypeError(f"tokenizer must be a morfex.Tokenizer, not {type(tokenizer).__name__}")
        self.morfex = tokenizer
        self._max_id = max(tokenizer.vocab.values(), default=-1)
        self._split_pattern: re.Pattern[str] | None = None
        for role, token in tokenizer.special_tokens.items():
            kwargs.setdefault(CONFIG_KEYS[role], token)
        kwargs.setdefault("clean_up_tokenization_spaces", False)
        super().__init__(  # type: ignore[no-untyped-call]
            template=directory.checked_template(template), special_tokens_pattern=template, **kwargs
        )
        self._check_template()
        self._auto_map = directory.AUTO_MAP

    def _check_template(self) -> None:
        for role in ("bos", "eos"):
            if role in self.special_tokens_pattern.split("_") and getattr(self, f"{role}_token_id") is None:
                raise ValueError(f"template {self.special_tokens_pattern!r} needs a {role} token, which the model lacks")

    # The vocabulary: morfex's, then whatever was added through transformers.

    @property
    def vocab_size(self) -> int:
        return self._max_id + 1

    def get_vocab(self) -> dict[str, int]:
        return {**self.morfex.vocab, **self._added_tokens_encoder}

    def _update_total_vocab_size(self) -> None:
        self.total_vocab_size = max(self._max_id, *self._added_tokens_decoder, -1) + 1

    def _add_tokens(self, new_tokens: Sequence[str | AddedToken] | None, special_tokens: bool = False) -> int:
        # transformers numbers a new token by the count of the vocabulary,
        # which lands on a taken id when the vocabulary has holes: here a new
        # token takes len(self), so that every id stays one token's.
        added = 0
        for token in new_tokens or ():
            if not isinstance(token, (str, AddedToken)):
                raise TypeError(f"a token to add must be a str or an AddedToken, not {type(token).__name__}")
            content = str(token)
            if not content or content in self._added_tokens_encoder:
                continue
            special = special_tokens or content in self.all_special_tokens
            if isinstance(token, str):
                token = AddedToken(content, rstrip=False, lstrip=False, normalized=not special, special=special)
            elif special_tokens:
                token.__setstate__({"special": True, "normalized": token.normalized})
            index = self.morfex.token_to_id(content)
            if index is None:
                index = len(self)
                added += 1
            if token.special and content not in self.all_special_tokens:
                self._extra_special_tokens.append(token)
            self._added_tokens_decoder[index] = token
            self._added_tokens_encoder[content] = index
            self._update_total_vocab_size()
        self._split_pattern = None
        self._update_trie()
        return added

    def _convert_token_to_id(self, token: str) -> int | None:
        token_id = self.morfex.token_to_id(token)
        return token_id if token_id is not None else self.unk_token_id

    def _convert_id_to_token(self, index: int) -> str:
        token = self.morfex.id_to_token(index)
        if token is None:
            if self.unk_token is None:
                raise IndexError(f"id {index} is not in the vocabulary")
            return str(self.unk_token)
        return token

    def _tokenize(self, text: str, **kwargs: Any) -> list[str]:
        return [self._convert_id_to_token(token_id) for token_id in self.morfex.encode_text(text)]

    def convert_tokens_to_string(self, tokens: list[str]) -> str:
        return self._decode(self.convert_tokens_to_ids(tokens))

    # Encoding.

    def _special_split(self) -> re.Pattern[str]:
        """What finds the special and added tokens written out in a text, longest first."""
        if self._split_pattern is None:
            tokens = sorted(filter(None, self._added_tokens_encoder), key=len, reverse=True)
            self._split_pattern = re.compile("|".join(map(re.escape, tokens)) if tokens else "(?!)")
        return self._split_pattern

    def _pieces(self, text: str, split_special_tokens: bool) -> list[Piece]:
        if split_special_tokens:
            return [(text, 0)]
        pieces: list[Piece] = []
        start = 0
        for found in self._special_split().finditer(text):
            if found.start() > start:
                pieces.append((text[start:found.start()], start))
            pieces.append(self._added_tokens_encoder[found.group()])
            start = found.end()
        if start < len(text) or not pieces:
            pieces.append((text[start:], start))
        return pieces

    def _encode_inputs(
        self, inputs: list[Any], split_into_words: bool, split_special_tokens: bool, offsets: bool
    ) -> list[tuple[list[int], list[Span]]]:
        """The ids of every input (text, words or ids), and the characters behind each id."""
        # Each input becomes a list of pieces: texts, encoded together in one
        # batch, and ids kept as they are. Words of split input count their
        # offsets from the start of the word, as transformers' fast tokenizers do.
        shaped: list[list[Piece]] = []
        for item in inputs:
            if isinstance(item, str) and not split_into_words:
                shaped.append(self._pieces(item, split_special_tokens))
            elif isinstance(item, (list, tuple)) and all(isinstance(word, str) for word in item) and (
                split_into_words or not item
            ):
                shaped.append([piece for word in item for piece in self._pieces(word, split_special_tokens)])
            elif isinstance(item, (list, tuple)) and all(type(token_id) is int for token_id in item):
                shaped.append(list(item))
            else:
                raise ValueError(
                    "each input must be a str, a list of str with is_split_into_words=True, or a list of ids, "
                    f"not {_describe(item)}"
                )
        texts = [piece[0] for pieces in shaped for piece in pieces if isinstance(piece, tuple)]
        if offsets:
            encoded = [self.morfex.encode_text(text, offsets=True) for text in texts]
        else:
            encoded = [(ids, []) for ids in self.morfex.encode_text_batch(texts)]
        results = []
        next_text = iter(encoded)
        for pieces in shaped:
            ids: list[int] = []
            spans: list[Span] = []
            for piece in pieces:
                if isinstance(piece, int):
                    ids.append(piece)
                    spans.append((0, 0))
                    continue
                piece_ids, piece_spans = next(next_text)
                ids.extend(piece_ids)
                if offsets:
                    shift = piece[1]
                    spans.extend((start + shift, end + shift) for start, end in piece_spans)
            results.append((ids, spans))
        return results

    def _encode_plus(  # type: ignore[override]
        self,
        text: Any,
        text_pair: Any = None,
        add_special_tokens: bool = True,
        padding_strategy: PaddingStrategy = PaddingStrategy.DO_NOT_PAD,
        truncation_strategy: TruncationStrategy = TruncationStrategy.DO_NOT_TRUNCATE,
        max_length: int | None = None,
        stride: int = 0,
        is_split_into_words: bool = False,
        pad_to_multiple_of: int | None = None,
        padding_side: str | None = None,
        return_tensors: Any = None,
        return_token_type_ids: bool | None = None,
        return_attention_mask: bool | None = None,
        return_overflowing_tokens: bool = False,
        return_special_tokens_mask: bool = False,
        return_offsets_mapping: bool = False,
        return_length: bool = False,
        verbose: bool = True,
        split_special_tokens: bool = False,
        **kwargs: Any,
    ) -> BatchEncoding:
        batched = _is_batch(text, is_split_into_words)
        texts = list(text) if batched else [text]
        pairs = None
        if text_pair is not None:
            pairs = list(text_pair) if batched else [text_pair]
            if not batched and _is_batch(text_pair, is_split_into_words):
                raise ValueError("text_pair is a batch but text is a single sequence")
            if len(pairs) != len(texts):
                raise ValueError(f"text has {len(texts)} sequences but text_pair has {len(pairs)}")
        encoded = self._encode_inputs(texts + (pairs or []), is_split_into_words, split_special_tokens,
                                      return_offsets_mapping)
        firsts = encoded[:len(texts)]
        seconds: list[tuple[list[int], list[Span]] | None] = [None] * len(texts)
        if pairs is not None:
            seconds = [*encoded[len(texts):]]
        # A single sequence that asks for nothing but ids, masks and offsets
        # is framed here in a few list operations; transformers' general code
        # (per sequence, and most of the time of a batch) does everything else.
        simple = pairs is None and not (
            return_overflowing_tokens or return_special_tokens_mask or return_token_type_ids or return_length
        ) and truncation_strategy in _SINGLE_TRUNCATIONS
        prefix, suffix = self._template_ends() if simple and add_special_tokens else ([], [])
        keep = None
        if truncation_strategy != TruncationStrategy.DO_NOT_TRUNCATE and max_length:
            keep = max_length - len(prefix) - len(suffix)
        rows: dict[str, list[Any]] = {}
        for first, second in zip(firsts, seconds):
            if simple and (keep is None or keep > 0 or len(first[0]) <= keep):
                row = self._frame_simply(first, prefix, suffix, keep, return_offsets_mapping)
                self._eventual_warn_about_too_long_sequence(row["input_ids"], max_length, verbose)
            else:
                row = self._frame(
                    first, second, add_special_tokens=add_special_tokens, truncation=truncation_strategy,
                    max_length=max_length, stride=stride, return_token_type_ids=return_token_type_ids,
                    return_overflowing_tokens=return_overflowing_tokens,
                    return_special_tokens_mask=return_special_tokens_mask,
                    return_offsets_mapping=return_offsets_mapping, return_length=return_length, verbose=verbose,
                )
            for key, value in row.items():
                rows.setdefault(key, []).append(value)
        if return_tensors and return_overflowing_tokens:
            rows.pop("overflowing_tokens", None)
            rows.pop("num_truncated_tokens", None)
        offsets = rows.pop("offset_mapping", None)
        if rows:
            outputs = dict(self.pad(
                rows, padding=padding_strategy.value, max_length=max_length, pad_to_multiple_of=pad_to_multiple_of,
                padding_side=padding_side, return_attention_mask=return_attention_mask,
            ))
        else:
            # transformers' pad refuses an empty batch; it has nothing to pad.
            empty = ["input_ids"] + (["attention_mask"] if return_attention_mask is not False else [])
            outputs = {key: [] for key in empty}
        if offsets is not None:
            side = padding_side or self.padding_side
            outputs["offset_mapping"] = [
                _padded_spans(spans, len(ids), side) for spans, ids in zip(offsets, outputs["input_ids"])
            ]
        if not batched:
            outputs = {key: value[0] for key, value in outputs.items()}
        return BatchEncoding(outputs, tensor_type=return_tensors, prepend_batch_axis=not batched)

    def _template_ends(self) -> tuple[list[int], list[int]]:
        """The ids the template puts before and after a single sequence, by transformers' own rule."""
        marked = self.build_inputs_with_special_tokens([-1])
        cut = marked.index(-1)
        return marked[:cut], marked[cut + 1:]

    def _frame_simply(
        self, first: tuple[list[int], list[Span]], prefix: list[int], suffix: list[int], keep: int | None,
        offsets: bool,
    ) -> dict[str, Any]:
        """What _frame gives for one sequence cut to its first (or last) `keep` ids, when keep is not None."""
        ids, spans = first
        if keep is not None and len(ids) > keep:
            cut = slice(len(ids) - keep, None) if self.truncation_side == "left" else slice(0, keep)
            ids, spans = ids[cut], spans[cut]
        row: dict[str, Any] = {"input_ids": [*prefix, *ids, *suffix]}
        if offsets:
            row["offset_mapping"] = [*[(0, 0)] * len(prefix), *spans, *[(0, 0)] * len(suffix)]
        return row

    def _frame(
        self,
        first: tuple[list[int], list[Span]],
        second: tuple[list[int], list[Span]] | None,
        *,
        return_offsets_mapping: bool,
        **options: Any,
    ) -> dict[str, Any]:
        """One sequence (or pair) with the template's tokens, truncated as asked, unpadded."""
        # Templates and truncation depend on lengths alone, so transformers
        # runs them on positions (negative, apart from any id) that are then
        # read back as the ids and the offsets behind them.
        ids = first[0] + (second[0] if second else [])
        spans = first[1] + (second[1] if second else [])
        positions = [-1 - index for index in range(len(ids))]
        cut = len(first[0])
        row = dict(self.prepare_for_model(
            positions[:cut], positions[cut:] if second else None, padding=PaddingStrategy.DO_NOT_PAD.value,
            return_attention_mask=False, **options,
        ))
        placed = row["input_ids"]
        row["input_ids"] = [ids[-1 - value] if value < 0 else value for value in placed]
        if "overflowing_tokens" in row:
            row["overflowing_tokens"] = [ids[-1 - value] if value < 0 else value for value in row["overflowing_tokens"]]
        if return_offsets_mapping:
            row["offset_mapping"] = [spans[-1 - value] if value < 0 else (0, 0) for value in placed]
        return row

    # Decoding.

    def _decode(
        self,
        token_ids: int | list[int],
        skip_special_tokens: bool = False,
        clean_up_tokenization_spaces: bool | None = None,
        **kwargs: Any,
    ) -> str:
        ids = [token_ids] if isinstance(token_ids, int) else list(token_ids)
        # morfex drops special tokens when decoding; they are spelled out here
        # unless skipped, as are tokens added through transformers.
        shown = {} if skip_special_tokens else {token_id: self.convert_ids_to_tokens(token_id)
                                                for token_id in set(self.all_special_ids) if token_id is not None}
        shown.update({index: token.content for index, token in self._added_tokens_decoder.items()
                      if not (skip_special_tokens and token.special) and index > self._max_id})
        if not any(token_id in shown for token_id in ids):
            return self.morfex.decode_text(ids)
        runs: list[list[int]] = [[]]
        spelled: list[str] = []
        for token_id in ids:
            if token_id in shown:
                spelled.append(shown[token_id])
                runs.append([])
            else:
                runs[-1].append(token_id)
        texts = self.morfex.decode_text_batch(runs, threads=1)
        return "".join(part for pair in zip(texts, [*spelled, ""]) for part in pair)

    # Saving: transformers writes tokenizer_config.json; the model file and the companions follow.

    def save_vocabulary(self, save_directory: str, filename_prefix: str | None = None) -> tuple[str, ...]:
        path = os.path.join(save_directory, (f"{filename_prefix}-" if filename_prefix else "") + directory.MODEL_FILE)
        self.morfex.save(path)
        return (path,)

    def _save_pretrained(
        self,
        save_directory: str | os.PathLike[str],
        file_names: tuple[str, ...],
        legacy_format: bool | None = None,
        filename_prefix: str | None = None,
    ) -> tuple[str, ...]:
        saved = super()._save_pretrained(save_directory, file_names, legacy_format, filename_prefix)
        prefix = f"{filename_prefix}-" if filename_prefix else ""
        return (*saved, *directory.write_companions(self.morfex, save_directory, prefix))


def _describe(item: object) -> str:
    if isinstance(item, (list, tuple)):
        return f"a {type(item).__name__} of {', '.join(sorted({type(part).__name__ for part in item}))}"
    return type(item).__name__


def _is_batch(value: object, split_into_words: bool) -> bool:
    if not isinstance(value, (list, tuple)):
        return False
    if split_into_words:
        return bool(value) and isinstance(value[0], (list, tuple))
    return not value or isinstance(value[0], (str, list, tuple))


def _padded_spans(spans: list[Span], length: int, side: str) -> list[Span]:
    filler = [(0, 0)] * (length - len(spans))
    return filler + spans if side == "left" else spans + filler


class _MorfexTokenizerOnly(PretrainedConfig):  # type: ignore[no-untyped-call]
    """AutoTokenizer.register keys tokenizers by a model configuration; this one belongs to no model,
    and loading finds the tokenizer by the class name in tokenizer_config.json."""

    model_type = "morfex-tokenizer"


def register() -> None:
    AutoTokenizer.register(  # type: ignore[no-untyped-call]
        _MorfexTokenizerOnly, tokenizer_class=MorfexTokenizer, exist_ok=True
    )


def save_pretrained(
    tokenizer: morfex.Tokenizer,
    path: str | os.PathLike[str],
    *,
    model_max_length: int | None = None,
    template: str | None = None,
) -> None:
    """Writes `tokenizer` as a transformers tokenizer directory, all files or none (see morfex.hf)."""
    model_max_length = directory.DEFAULT_MODEL_MAX_LENGTH if model_max_length is None else model_max_length
    template = directory.DEFAULT_TEMPLATE if template is None else template
    target = Path(path)
    if target.exists() and not target.is_dir():
        raise NotADirectoryError(f"{os.fsdecode(path)}: is a file, not a directory")
    hf_tokenizer = MorfexTokenizer(
        tokenizer=tokenizer, template=directory.checked_template(template),
        model_max_length=directory.checked_max_length(model_max_length),
    )
    made = not target.exists()
    target.mkdir(parents=True, exist_ok=True)
    # Everything is written beside the target first and moved in once complete.
    staging = Path(tempfile.mkdtemp(prefix=".morfex-save-", dir=target))
    try:
        hf_tokenizer.save_pretrained(staging)
        for written in staging.iterdir():
            os.replace(written, target / written.name)
    except BaseException:
        if made:
            shutil.rmtree(target, ignore_errors=True)
        raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)

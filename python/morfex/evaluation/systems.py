"""The systems an evaluation compares: morfex models and segmenters, and peers' models.

Each system gives the cuts it makes in bare words (from its segmenter, from
its final tokens, or both) and encodes and decodes lines of running text.
Cuts come from the character offsets of the tokens, so byte tokens, a
leading "▁" and <unk> need no special reading.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from morfex.evaluation.errors import EvaluationError
from morfex.formats.files import load
from morfex.formats.writing import FORMAT_NAME
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer
from morfex.vocabulary import MARKER

Cuts = frozenset[int]
SEGMENTER = "segmenter"
TOKENS = "tokens"


@dataclass(frozen=True)
class TextRun:
    """One way a system encodes running text: the ids of each line and whether it decodes back."""

    unit: str
    tokens: int
    lines_back: int


def offset_cuts(word: str, offsets: Sequence[tuple[int, int]]) -> Cuts:
    return frozenset(start for start, _ in offsets if 0 < start < len(word))


def marked_cuts(system: str, word: str, segmented: str) -> Cuts:
    """The cuts a "▁" marks in a segmented word; the marks removed, it must spell the word."""
    if segmented.replace(MARKER, "") != word:
        raise EvaluationError(f"{system}: the segmentation {segmented!r} does not spell {word!r}")
    cuts, position = set(), 0
    for character in segmented:
        if character == MARKER:
            if 0 < position < len(word):
                cuts.add(position)
        else:
            position += 1
    return frozenset(cuts)


class System:
    """A system under evaluation; the default has neither a segmenter nor tokens."""

    def __init__(self, name: str) -> None:
        self.name = name

    def segmenter_cuts(self, words: list[str]) -> list[Cuts] | None:
        return None

    def token_cuts(self, words: list[str]) -> list[Cuts] | None:
        return None

    def text_runs(self, lines: list[str]) -> list[TextRun]:
        return []


def _segmented_cuts(
    name: str, segment: Callable[[str], str] | Segmenter, words: list[str], threads: int | None
) -> list[Cuts]:
    if isinstance(segment, Segmenter):
        segmented = segment.segment_batch(words, threads=threads)
    else:
        segmented = [segment(word) for word in words]
    return [marked_cuts(name, word, text) for word, text in zip(words, segmented)]


class SegmenterSystem(System):
    """A segmenter alone: a morfex.Segmenter or a callable str -> str with "▁" between morphs."""

    def __init__(self, name: str, segmenter: Segmenter | Callable[[str], str], threads: int | None) -> None:
        super().__init__(name)
        self.segmenter = segmenter
        self.threads = threads

    def segmenter_cuts(self, words: list[str]) -> list[Cuts] | None:
        return _segmented_cuts(self.name, self.segmenter, words, self.threads)


class MorfexSystem(System):
    """A morfex model: its segmenter (when it has one) and its tokens, with marker ids and without."""

    def __init__(self, name: str, tokenizer: Tokenizer, threads: int | None) -> None:
        super().__init__(name)
        self.tokenizer = tokenizer
        self.threads = threads

    def segmenter_cuts(self, words: list[str]) -> list[Cuts] | None:
        segmenter = self.tokenizer.segmenter
        if segmenter is None:
            return None
        return _segmented_cuts(self.name, segmenter, words, self.threads)

    def token_cuts(self, words: list[str]) -> list[Cuts] | None:
        encode = self.tokenizer.encode_text
        return [offset_cuts(word, encode(word, markers=False, offsets=True)[1]) for word in words]

    def text_runs(self, lines: list[str]) -> list[TextRun]:
        runs = []
        for markers, unit in ((True, "tokens, marker ids kept"), (False, "tokens, marker ids left out")):
            ids = self.tokenizer.encode_text_batch(lines, threads=self.threads, markers=markers)
            back = self.tokenizer.decode_text_batch(ids, threads=self.threads)
            runs.append(TextRun(unit, sum(map(len, ids)), sum(map(str.__eq__, back, lines))))
        return runs


class SentencePieceSystem(System):
    def __init__(self, name: str, path: str, threads: int | None) -> None:
        super().__init__(name)
        try:
            import sentencepiece
        except ImportError:
            raise EvaluationError(
                f"{path}: a sentencepiece model needs the sentencepiece package (pip install sentencepiece)"
            ) from None
        self.processor = sentencepiece.SentencePieceProcessor()
        try:
            self.processor.LoadFromFile(path)
        except (OSError, RuntimeError) as error:
            raise EvaluationError(f"{path}: not a sentencepiece model: {error}") from None
        self.options: dict[str, Any] = {} if threads is None else {"num_threads": threads}

    def token_cuts(self, words: list[str]) -> list[Cuts] | None:
        try:
            mappings = self.processor.encode(words, return_type="offset_mapping", **self.options)
        except (TypeError, ValueError):
            # Older releases cannot say which characters a piece covers.
            raise EvaluationError(
                f"{self.name}: measuring a sentencepiece model needs sentencepiece 0.2.3 or later"
            ) from None
        return [offset_cuts(word, mapping["offsets"]) for word, mapping in zip(words, mappings)]

    def text_runs(self, lines: list[str]) -> list[TextRun]:
        ids = self.processor.encode(lines, **self.options)
        back = self.processor.decode(ids, **self.options)
        return [TextRun(TOKENS, sum(map(len, ids)), sum(map(str.__eq__, back, lines)))]


class TokenizersSystem(System):
    """A Hugging Face tokenizer.json, run by the tokenizers package, without its special tokens."""

    def __init__(self, name: str, path: str) -> None:
        super().__init__(name)
        try:
            import tokenizers
        except ImportError:
            raise EvaluationError(
                f"{path}: a tokenizer.json is evaluated with the tokenizers package (pip install tokenizers)"
            ) from None
        try:
            self.tokenizer = tokenizers.Tokenizer.from_file(path)
        except Exception as error:  # tokenizers raises a bare Exception for a file it cannot read
            raise EvaluationError(f"{path}: not a tokenizers model: {error}") from None

    def token_cuts(self, words: list[str]) -> list[Cuts] | None:
        encodings = self.tokenizer.encode_batch(words, add_special_tokens=False)
        return [offset_cuts(word, encoding.offsets) for word, encoding in zip(words, encodings)]

    def text_runs(self, lines: list[str]) -> list[TextRun]:
        ids = [encoding.ids for encoding in self.tokenizer.encode_batch(lines, add_special_tokens=False)]
        back = self.tokenizer.decode_batch(ids)
        return [TextRun(TOKENS, sum(map(len, ids)), sum(map(str.__eq__, back, lines)))]


def _json_object(path: str) -> dict[str, Any] | None:
    """The file's top-level JSON object, or None when it is not JSON."""
    try:
        with open(path, "rb") as file:
            head = file.read(1 << 10).lstrip()
            if not head.startswith(b"{"):
                return None
            data = json.loads(head + file.read())
    except OSError as error:
        raise EvaluationError(f"{path}: cannot read: {error.strerror}") from None
    except ValueError:
        return None
    return data if isinstance(data, dict) else None


def open_model(name: str, path: str, threads: int | None) -> System:
    """The system of a model file, its kind told by its content: a morfex model file
    (or a vocabulary morfex reads), a segmenter saved as its state (JSON), a
    tokenizer.json, or a sentencepiece .model."""
    data = _json_object(path)
    if data is not None and data.get("format") != FORMAT_NAME and isinstance(data.get("model"), dict):
        return TokenizersSystem(name, path)
    if data is not None and "type" in data and "format" not in data:
        try:
            return SegmenterSystem(name, Segmenter.from_state(data), threads)
        except ValueError as error:
            raise EvaluationError(f"{path}: {error}") from None
    if data is not None:
        return MorfexSystem(name, load(path), threads)
    if path.endswith(".model"):
        return SentencePieceSystem(name, path, threads)
    raise EvaluationError(
        f"{path}: unknown model kind: neither a morfex model file, a segmenter, a tokenizer.json nor a sentencepiece .model"
    )

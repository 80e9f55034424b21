"""Measuring how tokens follow morphology, and what they cost in running text.

`evaluate` compares morfex models and segmenters with sentencepiece and
tokenizers models (when those packages are installed): tokens per word,
bytes per token and lines given back exactly on text files, and boundary and
morph scores against gold segmentations (SIGMORPHON word-level rows,
MorphyNet derivational rows).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping
from typing import Union

from morfex.text import pieces as text_pieces
from morfex.evaluation.errors import EvaluationError, read_lines
from morfex.evaluation.gold import GoldSet, read_gold
from morfex.evaluation.measures import Scores, score
from morfex.evaluation.report import Evaluation, GoldFile, GoldResult, TextFile, TextResult
from morfex.evaluation.systems import SEGMENTER, TOKENS, MorfexSystem, SegmenterSystem, System, open_model
from morfex.formats.files import DEFAULT_MODEL, default_model
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer

__all__ = ["Evaluation", "EvaluationError", "Scores", "evaluate"]

Model = Union[Tokenizer, Segmenter, Callable[[str], str], str, "os.PathLike[str]"]
Paths = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]

# Lines encoded at once: the ids of a batch are Python lists, so a long file goes in batches.
_TEXT_BATCH = 8192


def _paths(paths: Paths) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        return [os.fspath(paths)]
    return [os.fspath(path) for path in paths]


def _name_of(model: object, index: int) -> str:
    if isinstance(model, (str, os.PathLike)):
        return os.fspath(model)
    kind = "morfex model" if isinstance(model, Tokenizer) else "segmenter"
    return f"{kind} {index + 1}"


def _system(name: str, model: object, threads: int | None) -> System:
    if isinstance(model, Tokenizer):
        return MorfexSystem(name, model, threads)
    if isinstance(model, (str, os.PathLike)):
        return open_model(name, os.fspath(model), threads)
    if isinstance(model, Segmenter) or callable(model):
        return SegmenterSystem(name, model, threads)
    raise TypeError(
        "a model must be a morfex.Tokenizer, a morfex.Segmenter, a callable str -> str or the path of a model "
        f"file, not {type(model).__name__}"
    )


def _unique(names: list[str]) -> list[str]:
    """The names, a repeated one numbered from its second use on: "m.json (2)"."""
    seen: dict[str, int] = {}
    unique = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        unique.append(name if seen[name] == 1 else f"{name} ({seen[name]})")
    return unique


def _systems(models: Model | Iterable[Model] | Mapping[str, Model] | None, threads: int | None) -> list[System]:
    if models is None:
        return [MorfexSystem(f"shipped model ({DEFAULT_MODEL})", default_model(), threads)]
    if isinstance(models, Mapping):
        named = [(str(name), model) for name, model in models.items()]
    elif isinstance(models, (Tokenizer, Segmenter, str, os.PathLike)) or callable(models):
        named = [(_name_of(models, 0), models)]
    else:
        listed = list(models)
        named = list(zip(_unique([_name_of(model, index) for index, model in enumerate(listed)]), listed))
    if not named:
        raise ValueError("evaluate needs at least one model")
    return [_system(name, model, threads) for name, model in named]


def _text_lines(path: str) -> list[str]:
    lines = [line for _, line in read_lines(path)]
    if not any(text_pieces.is_word(piece) for line in lines for piece in text_pieces.split(line)):
        raise EvaluationError(f"{path}: no words to count tokens by")
    return lines


def _text_file(path: str, lines: list[str], systems: list[System]) -> TextFile:
    words = sum(1 for line in lines for piece in text_pieces.split(line) if text_pieces.is_word(piece))
    size = sum(len(line.encode("utf-8")) for line in lines)
    results = []
    for system in systems:
        runs: dict[str, list[int]] = {}
        for start in range(0, len(lines), _TEXT_BATCH):
            for run in system.text_runs(lines[start:start + _TEXT_BATCH]):
                totals = runs.setdefault(run.unit, [0, 0])
                totals[0] += run.tokens
                totals[1] += run.lines_back
        for unit, (tokens, back) in runs.items():
            results.append(TextResult(
                system.name, unit, tokens,
                tokens_per_word=tokens / words,
                bytes_per_token=size / tokens if tokens else 0.0,
                lines_back=back / len(lines),
            ))
    return TextFile(path, len(lines), words, size, tuple(results))


def _gold_file(gold: GoldSet, systems: list[System]) -> GoldFile:
    words = [entry.word for entry in gold.words]
    cuts = [entry.cuts for entry in gold.words]
    results = []
    for system in systems:
        for unit, guessed in ((SEGMENTER, system.segmenter_cuts(words)), (TOKENS, system.token_cuts(words))):
            if guessed is not None:
                results.append(GoldResult(system.name, unit, score(words, cuts, guessed)))
    return GoldFile(gold, tuple(results))


def evaluate(
    models: Model | Iterable[Model] | Mapping[str, Model] | None = None,
    *,
    texts: Paths = (),
    gold: Paths = (),
    threads: int | None = None,
) -> Evaluation:
    """Measures models side by side on text files and against gold segmentations.

    `models`: a model, a list of them or a mapping of name to model (default:
    the shipped model). A model is a `morfex.Tokenizer`, a `morfex.Segmenter`
    or callable str -> str (measured on gold only), or the path of a morfex
    model file, a segmenter's state as JSON (`Segmenter.to_state`), a
    `tokenizer.json` (run by tokenizers) or a sentencepiece `.model`. `texts`: UTF-8 files, encoded line by line without the line
    breaks. `gold`: SIGMORPHON word-level or MorphyNet derivational TSV files,
    told apart by their field count. On gold, a morfex model is measured twice:
    its segmenter alone, and the final tokens of the bare word (no marker ids).
    `threads` goes to morfex's batch calls and sentencepiece. Raises
    EvaluationError naming the file (and line) at fault.
    """
    text_paths, gold_paths = _paths(texts), _paths(gold)
    if not text_paths and not gold_paths:
        raise ValueError("evaluate needs text files, gold files or both")
    systems = _systems(models, threads)
    # Every input is read before the long work, so a bad one fails at once.
    gold_sets = [read_gold(path) for path in gold_paths]
    text_lines = [_text_lines(path) for path in text_paths]
    return Evaluation(
        systems=tuple(system.name for system in systems),
        texts=tuple(_text_file(path, lines, systems) for path, lines in zip(text_paths, text_lines)),
        gold=tuple(_gold_file(entry, systems) for entry in gold_sets),
    )

"""The results of an evaluation, as a table for people and as plain values for JSON."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

from morfex.evaluation.gold import KIND_NAMES, MORPHYNET, SKIPPED_ROWS, GoldSet
from morfex.evaluation.measures import Scores

# MorphyNet marks one boundary per word, not all of them: only the recall of
# that boundary, and the cut rate that recall goes with, mean something.
MORPHYNET_MEASURES = ("words", "cuts_per_word", "boundary_recall", "chance_recall")


@dataclass(frozen=True)
class TextResult:
    system: str
    unit: str
    tokens: int
    tokens_per_word: float
    bytes_per_token: float
    lines_back: float


@dataclass(frozen=True)
class TextFile:
    path: str
    lines: int
    words: int
    bytes: int
    results: tuple[TextResult, ...]


@dataclass(frozen=True)
class GoldResult:
    system: str
    unit: str
    scores: Scores


@dataclass(frozen=True)
class GoldFile:
    gold: GoldSet
    results: tuple[GoldResult, ...]


def _measures(kind: str, scores: Scores) -> dict[str, Any]:
    values = asdict(scores)
    if kind == MORPHYNET:
        return {key: value if key in MORPHYNET_MEASURES else None for key, value in values.items()}
    return values


def _table(header: list[str], rows: list[list[str]]) -> list[str]:
    widths = [max(len(row[column]) for row in [header, *rows]) for column in range(len(header))]
    lines = []
    for row in [header, *rows]:
        cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1])]
        cells += [cell.rjust(width) for cell, width in zip(row[2:], widths[2:])]
        lines.append("  ".join(cells).rstrip())
    return lines


def _percent(value: float) -> str:
    return f"{100 * value:.1f}"


@dataclass(frozen=True)
class Evaluation:
    """What `morfex.evaluate` measured: a result per text file and per gold file, for each system.

    `str()` gives the table `morfex evaluate` prints; `to_dict()` plain values
    (fractions, not percentages), as `morfex evaluate --json` prints them."""

    systems: tuple[str, ...]
    texts: tuple[TextFile, ...]
    gold: tuple[GoldFile, ...]

    def to_dict(self) -> dict[str, Any]:
        return {
            "systems": list(self.systems),
            "texts": [
                {"file": text.path, "lines": text.lines, "words": text.words, "bytes": text.bytes,
                 "results": [asdict(result) for result in text.results]}
                for text in self.texts
            ],
            "gold": [
                {"file": entry.gold.path, "kind": entry.gold.kind, "rows": entry.gold.rows,
                 "words": len(entry.gold.words), "duplicates": entry.gold.duplicates,
                 "unusable": entry.gold.unusable,
                 "results": [{"system": result.system, "unit": result.unit,
                              **_measures(entry.gold.kind, result.scores)} for result in entry.results]}
                for entry in self.gold
            ],
        }

    def __str__(self) -> str:
        blocks = [self._text_block(text) for text in self.texts]
        blocks += [self._gold_block(entry) for entry in self.gold]
        return "\n\n".join("\n".join(block) for block in blocks) + "\n"

    @staticmethod
    def _text_block(text: TextFile) -> list[str]:
        title = f"text {text.path}: {text.lines:,} lines, {text.words:,} words, {text.bytes:,} bytes (UTF-8)"
        header = ["system", "unit", "tokens/word", "bytes/token", "lines back %"]
        rows = [
            [result.system, result.unit, f"{result.tokens_per_word:.3f}", f"{result.bytes_per_token:.2f}",
             f"{100 * result.lines_back:.2f}"]
            for result in text.results
        ]
        return [title, *_table(header, rows)]

    @staticmethod
    def _gold_block(entry: GoldFile) -> list[str]:
        gold = entry.gold
        title = (f"gold {gold.path} ({KIND_NAMES[gold.kind]}): {len(gold.words):,} words from {gold.rows:,} rows; "
                 f"left out: {gold.unusable:,} {SKIPPED_ROWS[gold.kind]}, {gold.duplicates:,} repeated words")
        if gold.kind == MORPHYNET:
            header = ["system", "unit", "cuts/word", "recall %", "by chance %"]
            rows = [
                [result.system, result.unit, f"{result.scores.cuts_per_word:.2f}",
                 _percent(result.scores.boundary_recall), _percent(result.scores.chance_recall)]
                for result in entry.results
            ]
        else:
            header = ["system", "unit", "cuts/word", "P %", "R %", "F1 %", "morph P %", "morph R %", "morph F1 %",
                      "edit distance"]
            rows = []
            for result in entry.results:
                scores = result.scores
                rows.append([
                    result.system, result.unit, f"{scores.cuts_per_word:.2f}",
                    *map(_percent, (scores.boundary_precision, scores.boundary_recall, scores.boundary_f1,
                                    scores.morph_precision, scores.morph_recall, scores.morph_f1)),
                    f"{scores.edit_distance:.2f}",
                ])
        return [title, *_table(header, rows)]

"""`morfex train` and `morfex train-segmenter`."""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
import warnings

from tqdm import tqdm

from morfex.cli.common import EXIT_OK, CliError, UsageError, show_progress
from morfex.cli.files import Output, open_input
from morfex.formats.writing import dumps
from morfex.segment.morfessor import morfessor_segmenter
from morfex.evaluation.errors import EvaluationError
from morfex.evaluation.gold import read_segmentations
from morfex.segment.training import train_segmenter
from morfex.segmenter import Segmenter
from morfex.text import pieces as text_pieces
from morfex.text import utf8
from morfex.training.text import count_pieces, require_text, segment_pieces
from morfex.training.words import (
    CorpusWarning,
    TrainingOptions,
    train_bytes,
    train_counted,
)


def text_units(args: argparse.Namespace) -> tuple[dict[str, int], Segmenter | None]:
    """The counted pieces of the --text files, segmented as the options ask, and the segmenter."""
    counts = count_pieces(args.text)
    require_text(counts, ", ".join(args.text))
    if args.morfessor is not None:
        segmenter = morfessor_segmenter(args.morfessor)
    elif args.train_segmenter:
        words: dict[str, int] = {}
        for piece, count in segment_pieces(counts, None).items():
            word = piece.removeprefix(" ")
            if text_pieces.is_word(piece):
                words[word] = words.get(word, 0) + count
        # Counts as the text has them, undampened, so frequent words tend to stay whole.
        segmenter = trained_segmenter(words, dampening="none", show=show_progress(args))
    else:
        return dict(counts), None
    return segment_pieces(counts, segmenter), segmenter


def trained_segmenter(words: dict[str, int], *, show: bool, **options: object) -> Segmenter:
    """train_segmenter with a progress bar of the words done in each epoch."""
    with tqdm(desc="segmenter epoch 1", unit=" words", file=sys.stderr, disable=not show) as bar:

        def progress(epoch: int, done: int, total: int) -> None:
            bar.set_description(f"segmenter epoch {epoch + 1}", refresh=False)
            if bar.total != total or done < bar.n:
                bar.reset(total)
            bar.update(done - bar.n)

        try:
            return train_segmenter(words, progress=progress, **options)  # type: ignore[arg-type]
        except ValueError as error:
            raise CliError(str(error)) from None


def read_words(paths: list[str], counted: bool) -> dict[str, int]:
    """Words one a line (each line counts once), or with --counts word<TAB>count lines."""
    words: dict[str, int] = {}
    for path in paths:
        name, opened = open_input(path)
        with opened as stream:
            for number, raw in enumerate(stream, 1):
                line = utf8.decode(raw, name, CliError, number).rstrip("\r\n")
                if not line:
                    continue
                word, count = line, 1
                if counted:
                    word, tab, number_text = line.rpartition("\t")
                    if not tab or not number_text.isdigit() or int(number_text) < 1:
                        raise CliError(f"{name}, line {number}: expected word<TAB>count with a count of at least 1, "
                                       f"got {line!r}")
                    count = int(number_text)
                words[word] = words.get(word, 0) + count
    return words


def gold_file(path: str | None) -> dict[str, list[str]] | None:
    if path is None:
        return None
    try:
        return read_segmentations(path)
    except EvaluationError as error:
        raise CliError(str(error)) from None


def run_train_segmenter(args: argparse.Namespace) -> int:
    words = read_words(args.words, args.counts)
    annotations = gold_file(args.annotations)
    dev = gold_file(args.dev)
    with Output(args.output) as out:
        segmenter = trained_segmenter(
            words, show=show_progress(args), annotations=annotations, dev=dev, corpus_weight=args.corpus_weight,
            dampening=args.dampening, seed=args.seed)
        out.write(json.dumps(segmenter.to_state(), ensure_ascii=False) + "\n")
    return EXIT_OK


def run_train(args: argparse.Namespace) -> int:
    if args.text is None and (args.morfessor is not None or args.train_segmenter):
        raise UsageError("--morfessor and --train-segmenter segment --text input")
    options = TrainingOptions(**{option.name: getattr(args, option.name) for option in dataclasses.fields(TrainingOptions)})
    if args.text is None:
        name, opened = open_input(args.corpus)
        with opened as stream:
            data = stream.read()
    else:
        units, segmenter = text_units(args)
        name = ", ".join(args.text)
    # Opened before the long work, so an output that cannot be written fails at once.
    with Output(args.output) as out:
        with tqdm(desc="train", unit=" tokens", file=sys.stderr, disable=not show_progress(args)) as bar:

            def progress(done: int, total: int) -> None:
                bar.total = total
                bar.update(done - bar.n)

            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", CorpusWarning)
                if args.text is None:
                    tokenizer = train_bytes(data, name, **dataclasses.asdict(options), progress=progress)
                else:
                    tokenizer = train_counted(units, options, progress, f"{name}: ")
                    tokenizer.segmenter = segmenter
            # Training may run out of pairs before the wanted size: end full.
            bar.total = bar.n
            bar.refresh()
        for warning in caught:
            print(f"morfex: warning: {warning.message}", file=sys.stderr)
        out.write(dumps(tokenizer))
    return EXIT_OK

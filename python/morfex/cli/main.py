"""Parsing the command line and running the command it names."""

from __future__ import annotations

import argparse
import dataclasses
import importlib.metadata
import os
import signal
import sys
from collections.abc import Callable

from morfex.cli.common import (
    EXIT_BROKEN_PIPE,
    EXIT_FAILURE,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_USAGE,
    STDIO,
    CliError,
    Stopped,
    UsageError,
    count_parser,
    stopping_on_signals,
)
from morfex.cli.decode import run_decode
from morfex.cli.encode import run_encode
from morfex.cli.info import run_evaluate, run_info
from morfex.cli.train import run_train, run_train_segmenter
from morfex.formats.files import ModelFileError
from morfex.segment.morfessor import SegmenterError
from morfex.segment.training import MAX_TRAINING_SEED
from morfex.training.words import (
    CorpusError,
    TrainingOptions,
)

EPILOG = f"""\
exit status: {EXIT_OK} success, {EXIT_FAILURE} unreadable or malformed input, model or corpus
(or an output that cannot be written), {EXIT_USAGE} bad command line, {EXIT_INTERRUPTED} interrupted
(128 + the signal's number on SIGTERM or SIGHUP), {EXIT_BROKEN_PIPE} the reader of standard output
went away. An output file appears only once it is whole.
Run "morfex COMMAND --help" for the options of a command."""


def add_model_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-m", "--model", metavar="PATH",
        help="morfex model file, tokenizer.json, vocab.json with --merges, or a directory holding one "
        "(*.morfex.json first) (default: the shipped model)",
    )
    parser.add_argument("--merges", metavar="PATH", help="merges.txt that belongs to the vocab.json given as --model")


def add_io_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", nargs="?", default=STDIO, help="input file (default: standard input)")
    parser.add_argument("-o", "--output", default=STDIO, metavar="PATH", help="output file (default: standard output)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def version_text() -> str:
    try:
        return importlib.metadata.version("morfex")
    except importlib.metadata.PackageNotFoundError:
        return "(version unknown: not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="morfex",
        description="Train, apply and inspect BPE models for morpheme-segmented words (morphemes joined by ▁).",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"morfex {version_text()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser(
        "train", help="train a model on segmented words",
        description="Train a BPE model on one segmented word per line (\"k▁um▁ain\"), optionally followed by "
        "a TAB and a count, or with --text on running text, cut into words, numbers, punctuation and "
        "whitespace and counted (each word with its leading space). Merges never cross a ▁ boundary. "
        "The model file goes to standard output unless -o is given.",
    )
    source = train.add_mutually_exclusive_group(required=True)
    source.add_argument("corpus", nargs="?", help="corpus file of segmented words, or - for standard input")
    source.add_argument("--text", nargs="+", metavar="FILE", help="train on running text in these UTF-8 files instead")
    segmenter = train.add_mutually_exclusive_group()
    segmenter.add_argument("--morfessor", metavar="SEGMENTATION_FILE",
                           help="segment the words of --text with this Morfessor Baseline segmentation (needs morfessor)")
    segmenter.add_argument("--train-segmenter", action="store_true",
                           help="segment the words of --text with a Morfessor Baseline model trained on them and their counts")
    train.add_argument("-o", "--output", default=STDIO, metavar="PATH", help="model file to write (default: standard output)")
    for option in dataclasses.fields(TrainingOptions):
        flag = "--" + option.name.replace("_", "-")
        if option.type in (bool, "bool"):
            train.add_argument(flag, action="store_true", help=option.metadata["help"])
        else:
            train.add_argument(flag, type=count_parser(option.metadata["lowest"], option.metadata["highest"]),
                               default=option.default, metavar="N",
                               help=option.metadata["help"])
    train.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    train.set_defaults(run=run_train)

    segmenter_parser = commands.add_parser(
        "train-segmenter", help="train a morph segmenter on a word list",
        description="Train a Morfessor Baseline segmenter on the words of WORDS (one a line; with --counts, "
        "word<TAB>count), optionally with gold segmentations to learn from (--annotations) and to tune the "
        "corpus weight on (--dev), both SIGMORPHON word TSV files (word<TAB>morph @@morph ...). Writes the "
        "segmenter's state as JSON, which Segmenter.from_state reads.",
    )
    segmenter_parser.add_argument("words", nargs="+", metavar="WORDS", help="word list files, or - for standard input")
    segmenter_parser.add_argument("-o", "--output", default=STDIO, metavar="PATH",
                                  help="segmenter file to write (default: standard output)")
    segmenter_parser.add_argument("--counts", action="store_true", help="each line is word<TAB>count")
    segmenter_parser.add_argument("--annotations", metavar="GOLD", help="gold segmentations to train with")
    segmenter_parser.add_argument("--dev", metavar="GOLD", help="gold segmentations to tune the corpus weight on")
    segmenter_parser.add_argument("--corpus-weight", type=float, metavar="W",
                                  help="fixed corpus weight (default: tuned on --dev, else on a tenth of --annotations held out, "
                                  "else 1.0)")
    segmenter_parser.add_argument("--dampening", choices=("ones", "log", "none"), default="ones",
                                  help="what a word's count becomes: 1, round(log2(count + 1)) or itself (default: ones)")
    segmenter_parser.add_argument("--seed", type=count_parser(0, MAX_TRAINING_SEED), default=0, metavar="N", help="seed of the word order")
    segmenter_parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    segmenter_parser.set_defaults(run=run_train_segmenter)

    encode = commands.add_parser(
        "encode", help="encode running text into token ids",
        description="Encode each input line as running text, its line break included, into one output line "
        "of ids (or token strings with --tokens), so that decode gives the input back exactly. Characters the "
        "model lacks (a line break included) become byte tokens with byte fallback, else <unk>. With --words, "
        "encode each whitespace-separated word of each line instead.",
    )
    add_model_options(encode)
    add_io_options(encode)
    encode.add_argument("--tokens", action="store_true",
                        help="write token strings instead of ids: in running text a space shows as \u2423, "
                        "line breaks, tabs and other unprintable characters as Python escapes (\\n, \\r, \\t, "
                        "\\x85), a backslash as \\\\ and a \u2423 of the text as \\u2423")
    encode.add_argument("--words", action="store_true",
                        help="encode the whitespace-separated words of each line (segmented with ▁) and drop the "
                        "whitespace")
    encode.add_argument("--markers", action="store_true",
                        help="keep the ids of the markers (\u2581) between morphemes, which are left out by default: "
                        "decode gives the same text either way")
    encode.add_argument("--segmenter", choices=("none",),
                        help="none: encode the text as given, without the model's segmenter (text segmented with ▁ "
                        "is encoded along its marks either way)")
    encode.add_argument(
        "--format", choices=("text", "npy"), default="text",
        help="text: a line of ids per input line (default); npy: the ids as a uint32 .npy file named by -o, "
        "and the int64 line offsets beside it (ids.npy -> ids.offsets.npy): line i is ids[offsets[i]:offsets[i+1]]",
    )
    encode.set_defaults(run=run_encode)

    decode = commands.add_parser(
        "decode", help="decode token ids into text",
        description="Decode each input line of whitespace-separated token ids into the text it encodes, "
        "adding nothing (its line break comes from its ids); special tokens and markers are dropped, runs "
        "of byte tokens are read as UTF-8 (U+FFFD where they are not). With --words, decode each line as "
        "encode --words wrote it, and end it with a line break.",
    )
    add_model_options(decode)
    add_io_options(decode)
    decode.add_argument("--words", action="store_true", help="decode what encode --words wrote: a line break after each line")
    decode.set_defaults(run=run_decode)

    info = commands.add_parser("info", help="show model statistics", description="Show statistics of a model.")
    add_model_options(info)
    info.set_defaults(run=run_info)

    evaluate_command = commands.add_parser(
        "evaluate", help="measure models on running text and against gold segmentations",
        description="Measure models side by side: on each --text file, tokens per word (markers on and off for "
        "morfex), bytes per token and the share of lines given back exactly by decode, each line encoded without "
        "its line break; against each --gold file (SIGMORPHON word-level TSV or MorphyNet derivational TSV, told "
        "apart by their field count), boundary precision, recall and F1 with cuts per word and the shared task's "
        "morph precision, recall, F1 and edit distance, for a morfex model's segmenter alone and for the final "
        "tokens of the bare word. A sentencepiece .model or a tokenizer.json is measured with its own package.",
    )
    evaluate_command.add_argument(
        "-m", "--model", action="append", metavar="PATH",
        help="a morfex model file, a segmenter saved as JSON (Segmenter.to_state), a sentencepiece .model or a "
        "tokenizer.json; repeat to compare (default: the shipped model)",
    )
    evaluate_command.add_argument("--shipped", action="store_true", help="measure the shipped model beside the -m models")
    evaluate_command.add_argument("--text", nargs="+", metavar="FILE", help="UTF-8 text files of running text")
    evaluate_command.add_argument("--gold", nargs="+", metavar="FILE", help="gold segmentation files")
    evaluate_command.add_argument("--json", action="store_true", help="print the results as JSON instead of tables")
    evaluate_command.set_defaults(run=run_evaluate, usage_error=evaluate_command.error)
    return parser


def input_name(args: argparse.Namespace) -> str:
    """The input a command reads, as its messages name it."""
    if getattr(args, "text", None):
        return ", ".join(args.text)
    path = getattr(args, "input", None) or getattr(args, "corpus", None) or STDIO
    return "<stdin>" if path == STDIO else path


def main(argv: list[str] | None = None) -> int:
    args: argparse.Namespace | None = None
    try:
        # Help and messages quote tokens and markers; a terminal that cannot show
        # them gets escapes rather than a UnicodeEncodeError.
        for stream in (sys.stdout, sys.stderr):
            if hasattr(stream, "reconfigure"):
                stream.reconfigure(errors="backslashreplace")
        args = build_parser().parse_args(argv)
        run: Callable[[argparse.Namespace], int] = args.run
        with stopping_on_signals():
            return run(args)
    except UsageError as error:
        print(f"morfex: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except (CliError, ModelFileError, CorpusError, SegmenterError) as error:
        print(f"morfex: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("morfex: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Stopped as stopped:
        print(f"morfex: interrupted by {signal.Signals(stopped.signum).name}", file=sys.stderr)
        return 128 + stopped.signum
    except MemoryError:
        # What held the memory is freed by now: there is room for one line.
        print(f"morfex: error: {input_name(args) + ': ' if args else ''}out of memory", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (as with "| head"): nothing more to say to it, and
        # nothing left to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        print(f"morfex: error: {error}", file=sys.stderr)
        return EXIT_FAILURE

"""The `morfex` command: train, encode, decode and inspect models."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.metadata
import os
import secrets
import signal
import stat
import sys
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import BinaryIO

from tqdm import tqdm

from morfex import utf8
from morfex.model_files import DEFAULT_MODEL, ModelFileError, default_model, load
from morfex.model_writer import dumps
from morfex.tokenizer import Tokenizer
from morfex.training import CorpusError, TrainingOptions, train_bytes
from morfex.vocabulary import MARKER, MAX_ID, SPECIAL_TOKENS

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
# What a shell reports for a Unix tool that SIGPIPE ended.
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

STDIO = "-"

EPILOG = f"""\
exit status: {EXIT_OK} success, {EXIT_FAILURE} unreadable or malformed input, model or corpus
(or an output that cannot be written), {EXIT_USAGE} bad command line, {EXIT_INTERRUPTED} interrupted,
{EXIT_BROKEN_PIPE} the reader of standard output went away. An output file appears only once it is whole.
Run "morfex COMMAND --help" for the options of a command."""


class CliError(Exception):
    """A failure to report in one line and exit with EXIT_FAILURE."""


def _show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _open_input(path: str) -> tuple[str, contextlib.AbstractContextManager[BinaryIO]]:
    if path == STDIO:
        return "<stdin>", contextlib.nullcontext(sys.stdin.buffer)
    try:
        return path, open(path, "rb")
    except OSError as error:
        raise CliError(f"{path}: cannot read: {error.strerror}") from None


def _input_lines(name: str, stream: BinaryIO, args: argparse.Namespace) -> Iterator[tuple[int, str]]:
    lines = tqdm(stream, desc=args.command, unit=" lines", file=sys.stderr, disable=not _show_progress(args))
    for number, raw in enumerate(lines, start=1):
        text = utf8.decode(raw, name, CliError, number)
        yield number, text.removesuffix("\n").removesuffix("\r")


class _Output:
    """Standard output or a file, written as UTF-8 whatever the locale.

    A regular file is written beside its target under a temporary name and
    renamed over it only once whole, so a failure or an interrupt leaves the
    target as it was. Devices and pipes (/dev/null, a FIFO) are written in place.
    """

    def __init__(self, path: str) -> None:
        self.temporary: str | None = None
        self.owned = path != STDIO
        if path == STDIO:
            if sys.stdout is None:
                raise CliError("standard output is closed")
            self.name = "<stdout>"
            self.stream: BinaryIO = sys.stdout.buffer
            return
        self.name = path
        # A symbolic link keeps pointing where it did: the file it names is replaced.
        self.target = os.path.realpath(path)
        try:
            if os.path.exists(self.target) and not stat.S_ISREG(os.stat(self.target).st_mode):
                self.stream = open(self.target, "wb")
                return
            directory, base = os.path.split(self.target)
            self.temporary = os.path.join(directory, f".{base}.{secrets.token_hex(6)}.tmp")
            # Mode 0o666 less the umask: what a new file made by the shell's ">" gets.
            descriptor = os.open(self.temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except OSError as error:
            raise CliError(f"{path}: cannot write: {error.strerror}") from None
        self.stream = os.fdopen(descriptor, "wb")

    def __enter__(self) -> _Output:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        temporary = self.temporary
        try:
            if kind is None:
                self.stream.flush()
                if temporary is not None:
                    os.fsync(self.stream.fileno())
                    os.replace(temporary, self.target)
        except BrokenPipeError:
            raise
        except OSError as fault:
            raise CliError(f"{self.name}: cannot write: {fault.strerror}") from None
        finally:
            # After a fault the rest of the buffer may not be writable either:
            # the first fault is the one reported.
            with contextlib.suppress(OSError):
                if self.owned:
                    self.stream.close()
                else:
                    self.stream.flush()
            if temporary is not None:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temporary)

    def write(self, text: str) -> None:
        try:
            self.stream.write(text.encode("utf-8"))
        except BrokenPipeError:
            raise
        except OSError as fault:
            raise CliError(f"{self.name}: cannot write: {fault.strerror}") from None


def _model(args: argparse.Namespace) -> tuple[str, Tokenizer]:
    if args.model is None:
        if args.merges is not None:
            raise CliError("--merges needs --model (the vocab.json it belongs to)")
        return f"default model ({DEFAULT_MODEL})", default_model()
    return args.model, load(args.model, args.merges)


def _train(args: argparse.Namespace) -> int:
    name, opened = _open_input(args.corpus)
    with opened as stream:
        data = stream.read()
    options = {option.name: getattr(args, option.name) for option in dataclasses.fields(TrainingOptions)}
    # Opened before the long work, so an output that cannot be written fails at once.
    with _Output(args.output) as out:
        with tqdm(desc="train", unit=" tokens", file=sys.stderr, disable=not _show_progress(args)) as bar:

            def progress(done: int, total: int) -> None:
                bar.total = total
                bar.update(done - bar.n)

            tokenizer = train_bytes(data, name, **options, progress=progress)
            # Training may run out of pairs before the wanted size: end full.
            bar.total = bar.n
            bar.refresh()
        out.write(dumps(tokenizer))
    return EXIT_OK


def _encode(args: argparse.Namespace) -> int:
    _, tokenizer = _model(args)
    encode = tokenizer.encode_tokens if args.tokens else tokenizer.encode
    name, opened = _open_input(args.input)
    with opened as stream, _Output(args.output) as out:
        for _, line in _input_lines(name, stream, args):
            out.write(" ".join(str(piece) for word in line.split() for piece in encode(word)) + "\n")
    return EXIT_OK


def _parse_ids(name: str, number: int, line: str) -> list[int]:
    ids = []
    for field in line.split():
        if not (field.isascii() and field.isdigit()) or int(field) > MAX_ID:
            raise CliError(f"{name}: line {number}: {field!r} is not a token id (0 to {MAX_ID})")
        ids.append(int(field))
    return ids


def _decode(args: argparse.Namespace) -> int:
    _, tokenizer = _model(args)
    name, opened = _open_input(args.input)
    with opened as stream, _Output(args.output) as out:
        for number, line in _input_lines(name, stream, args):
            out.write(tokenizer.decode(_parse_ids(name, number, line)) + "\n")
    return EXIT_OK


def _info(args: argparse.Namespace) -> int:
    name, tokenizer = _model(args)
    vocab = tokenizer.vocab
    specials = " ".join(f"{token}={vocab[token]}" for token in SPECIAL_TOKENS if token in vocab) or "none"
    ordinary = [token for token in vocab if token not in SPECIAL_TOKENS and token != MARKER]
    characters = sum(1 for token in ordinary if len(token) == 1)
    longest = max(ordinary, key=len, default="")
    mean = sum(map(len, ordinary)) / len(ordinary) if ordinary else 0.0
    lines = [
        f"model: {name}",
        f"tokens: {len(tokenizer)}",
        f"merges: {len(tokenizer.merges)}",
        f"ids: {min(vocab.values(), default=0)} to {max(vocab.values(), default=0)}",
        f"special tokens: {specials}",
        f"marker: {'id ' + str(vocab[MARKER]) if MARKER in vocab else 'absent'}",
        f"single characters: {characters}",
        f"longest token: {longest!r} ({len(longest)} characters)",
        f"mean token length: {mean:.2f} characters",
    ]
    with _Output(STDIO) as out:
        out.write("\n".join(lines) + "\n")
    return EXIT_OK


def _count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{value} is below {minimum}")
        return value

    return parse


def _add_model_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-m", "--model", metavar="PATH",
        help="morfex model file, tokenizer.json, or vocab.json with --merges (default: the shipped model)",
    )
    parser.add_argument("--merges", metavar="PATH", help="merges.txt that belongs to the vocab.json given as --model")


def _add_io_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", nargs="?", default=STDIO, help="input file (default: standard input)")
    parser.add_argument("-o", "--output", default=STDIO, metavar="PATH", help="output file (default: standard output)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def _version() -> str:
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
    parser.add_argument("--version", action="version", version=f"morfex {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    train = commands.add_parser(
        "train", help="train a model on segmented words",
        description="Train a BPE model on one segmented word per line (\"k▁um▁ain\"), optionally followed by "
        "a TAB and a count. Merges never cross a ▁ boundary. The model file goes to standard output "
        "unless -o is given.",
    )
    train.add_argument("corpus", help="corpus file, or - for standard input")
    train.add_argument("-o", "--output", default=STDIO, metavar="PATH", help="model file to write (default: standard output)")
    for option in dataclasses.fields(TrainingOptions):
        train.add_argument("--" + option.name.replace("_", "-"), type=_count(option.metadata["lowest"]),
                           default=option.default, metavar="N", help=option.metadata["help"])
    train.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    train.set_defaults(run=_train)

    encode = commands.add_parser(
        "encode", help="encode segmented words into token ids",
        description="Encode each whitespace-separated word of each input line; one output line of ids "
        "(or token strings with --tokens) per input line.",
    )
    _add_model_options(encode)
    _add_io_options(encode)
    encode.add_argument("--tokens", action="store_true", help="write token strings instead of ids")
    encode.set_defaults(run=_encode)

    decode = commands.add_parser(
        "decode", help="decode token ids into text",
        description="Decode each input line of whitespace-separated token ids into one output line; "
        "special tokens and markers are dropped.",
    )
    _add_model_options(decode)
    _add_io_options(decode)
    decode.set_defaults(run=_decode)

    info = commands.add_parser("info", help="show model statistics", description="Show statistics of a model.")
    _add_model_options(info)
    info.set_defaults(run=_info)
    return parser


def main(argv: list[str] | None = None) -> int:
    # Help and messages quote tokens and markers; a terminal that cannot show
    # them gets escapes rather than a UnicodeEncodeError.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except (CliError, ModelFileError, CorpusError) as error:
        print(f"morfex: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("morfex: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (as with "| head"): nothing more to say to it, and
        # nothing left to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        print(f"morfex: error: {error}", file=sys.stderr)
        return EXIT_FAILURE

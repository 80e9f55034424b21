"""The `morfex` command: train, encode, decode and inspect models."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.metadata
import json
import os
import secrets
import signal
import stat
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Mapping
from types import TracebackType
from typing import BinaryIO

import numpy as np
from tqdm import tqdm

from morfex._engine import format_lines
from morfex.engine import resolve_threads
from morfex.text import chunks as chunked_input
from morfex.cli import running_lines
from morfex.text import pieces as text_pieces
from morfex.text.chunks import Cut, Piece, id_cut, pieces, text_cut, word_cut
from morfex.evaluation import EvaluationError, evaluate
from morfex.formats.files import DEFAULT_MODEL, ModelFileError, default_model, load
from morfex.formats.writing import dumps
from morfex.cli.npy_stream import NpyWriter, offsets_path
from morfex.segmenter import Segmenter
from morfex.segment.training import MAX_TRAINING_SEED, read_gold, train_segmenter
from morfex.segment.morfessor import SegmenterError, morfessor_segmenter
from morfex.training.text import count_pieces, require_text, segment_pieces
from morfex.sequences import Ids, Offsets
from morfex.tokenizer import Tokenizer
from morfex.training.words import CorpusError, CorpusWarning, TrainingOptions, train_bytes, train_counted
from morfex.vocabulary import MARKER, MAX_ID

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
# What a shell reports for a Unix tool that SIGPIPE ended.
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

STDIO = "-"

EPILOG = f"""\
exit status: {EXIT_OK} success, {EXIT_FAILURE} unreadable or malformed input, model or corpus
(or an output that cannot be written), {EXIT_USAGE} bad command line, {EXIT_INTERRUPTED} interrupted
(128 + the signal's number on SIGTERM or SIGHUP), {EXIT_BROKEN_PIPE} the reader of standard output
went away. An output file appears only once it is whole.
Run "morfex COMMAND --help" for the options of a command."""


class CliError(Exception):
    """A failure to report in one line and exit with EXIT_FAILURE."""


class UsageError(CliError):
    """Options that cannot go together: a bad command line, reported in one line with EXIT_USAGE."""


class _Stopped(BaseException):
    """A signal that ends the run, raised where the program stands so that outputs are cleaned up as on Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: object) -> None:
    raise _Stopped(signum)


# Signals that end a run like Ctrl-C: partial outputs are removed and the
# status is 128 plus the signal's number.
STOPPING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


@contextlib.contextmanager
def _stopping_on_signals() -> Iterator[None]:
    # Only the main thread may set handlers; a signal ignored (as under nohup) stays ignored.
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.getsignal(signum) for signum in STOPPING_SIGNALS}
    for signum, handler in previous.items():
        if handler == signal.SIG_DFL:
            signal.signal(signum, _stop)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds off the signals that end a run; one that came meanwhile is raised again on leaving.

    Blocking them in this thread would not do: a process-wide signal goes to
    any thread that does not block it, the engine's workers included, and
    Python then acts on it in this thread all the same.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    # A handler set outside Python (getsignal gives None) cannot be put back: it stays.
    previous = {signum: handler for signum in (signal.SIGINT, *STOPPING_SIGNALS)
                if (handler := signal.getsignal(signum)) is not None}
    for signum in previous:
        signal.signal(signum, lambda signum, _: caught.append(signum))
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        for number in dict.fromkeys(caught):
            signal.raise_signal(number)


def _show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _open_input(path: str) -> tuple[str, contextlib.AbstractContextManager[BinaryIO]]:
    if path == STDIO:
        if sys.stdin is None:
            raise CliError("<stdin>: cannot read: standard input is closed")
        return "<stdin>", contextlib.nullcontext(sys.stdin.buffer)
    try:
        return path, open(path, "rb")
    except OSError as error:
        raise CliError(f"{path}: cannot read: {error.strerror}") from None


def _input_pieces(
    name: str, stream: BinaryIO, args: argparse.Namespace, size: int | None = None, cut: Cut = word_cut
) -> Iterator[Piece]:
    """The input in bounded pieces, with a progress bar by bytes."""
    try:
        info = os.fstat(stream.fileno())
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
    except (OSError, ValueError):
        total = None
    with tqdm(desc=args.command, total=total, unit="B", unit_scale=True, file=sys.stderr,
              disable=not _show_progress(args)) as bar:
        for piece in pieces(stream, size, cut):
            yield piece
            bar.update(len(piece.data))


def _utf8_fault(name: str, piece: Piece, offset: int) -> CliError:
    line, column = piece.position(offset)
    return CliError(f"{name}: line {line}: not UTF-8 text (bad byte at column {column})")


def _threads() -> int:
    try:
        return resolve_threads(None)
    except ValueError as error:
        raise CliError(str(error)) from None


class _Output:
    """Standard output or a file, written as UTF-8 whatever the locale.

    A regular file is written beside its target under a temporary name and
    renamed over it only once whole, so a failure or an interrupt leaves the
    target as it was. Devices and pipes (/dev/null, a FIFO) are written in place.
    """

    def __init__(self, path: str, seekable: bool = False) -> None:
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
                if seekable:
                    raise CliError(f"{path}: --format npy needs a regular file: its header is rewritten at the end")
                self.stream = open(self.target, "wb")
                return
            self.temporary = _hidden_name(self.target, "tmp")
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
        try:
            if kind is None:
                self.finish()
                _replace_targets([self])
        finally:
            self.close()

    def finish(self) -> None:
        """Flushes the output and, for a temporary file, makes it durable."""
        try:
            self.stream.flush()
            if self.temporary is not None:
                os.fsync(self.stream.fileno())
        except BrokenPipeError:
            raise
        except OSError as fault:
            raise CliError(f"{self.name}: cannot write: {fault.strerror}") from None

    def close(self) -> None:
        """Closes the output and removes its temporary file unless it took its target's place."""
        # After a fault the rest of the buffer may not be writable either:
        # the first fault is the one reported.
        with contextlib.suppress(OSError):
            if self.owned:
                self.stream.close()
            else:
                self.stream.flush()
        if self.temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.temporary)

    def write(self, text: str) -> None:
        self.write_bytes(text.encode("utf-8"))

    def write_bytes(self, data: bytes | memoryview) -> None:
        # A buffered pipe may take a large write in part and say so: the
        # rest goes in further writes, which meet a reader gone away.
        rest = memoryview(data)
        try:
            while rest:
                rest = rest[self.stream.write(rest):]
        except BrokenPipeError:
            raise
        except OSError as fault:
            raise CliError(f"{self.name}: cannot write: {fault.strerror}") from None

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> None:
        try:
            self.stream.seek(offset, whence)
        except OSError as fault:
            raise CliError(f"{self.name}: cannot write: {fault.strerror}") from None


def _hidden_name(target: str, kind: str) -> str:
    directory, base = os.path.split(target)
    return os.path.join(directory, f".{base}.{secrets.token_hex(6)}.{kind}")


def _replace_targets(outputs: list[_Output]) -> None:
    """Renames each output's temporary file over its target, all or none, the last output last.

    Signals wait until every rename is done, so none falls between two. A
    rename that fails puts back the targets replaced before it, from hard
    links made first; only a crash of the machine between two renames can
    leave a new file beside an old one.
    """
    pending = [output for output in outputs if output.temporary is not None]
    if not pending:
        return
    backups: list[str | None] = []
    current = pending[0]
    with _signals_held():
        try:
            for current in pending[:-1]:
                backups.append(_backup(current.target))
            for done, current in enumerate(pending):
                try:
                    os.replace(str(current.temporary), current.target)
                except OSError:
                    _restore(pending[:done], backups)
                    raise
                current.temporary = None
            for directory in dict.fromkeys(os.path.dirname(output.target) for output in pending):
                _sync_directory(directory)
        except OSError as fault:
            raise CliError(f"{current.name}: cannot write: {fault.strerror}") from None
        finally:
            for backup in backups:
                if backup:
                    with contextlib.suppress(OSError):
                        os.unlink(backup)


def _backup(target: str) -> str | None:
    """A hard link to the target as it is; None when there is no target yet, "" where links cannot be made.

    Without a link (a file system that has none) a failed rename cannot be
    undone, and the run goes on all the same: the failure is unlikely, and
    read_pair tells a reader of the pair.
    """
    backup = _hidden_name(target, "old")
    try:
        os.link(target, backup)
    except FileNotFoundError:
        return None
    except OSError:
        return ""
    return backup


def _restore(replaced: list[_Output], backups: list[str | None]) -> None:
    for output, backup in zip(replaced, backups):
        with contextlib.suppress(OSError):
            if backup is None:
                os.unlink(output.target)
            elif backup:
                os.replace(backup, output.target)


def _sync_directory(directory: str) -> None:
    descriptor = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def _outputs_together(paths: list[str], seekable: bool = False) -> Iterator[list[_Output]]:
    """Outputs that replace their targets together (see _replace_targets), the first one last."""
    outputs: list[_Output] = []
    try:
        for path in paths:
            outputs.append(_Output(path, seekable))
        yield outputs
        for output in outputs:
            output.finish()
        _replace_targets(outputs[::-1])
    finally:
        for output in outputs:
            output.close()


def _model(args: argparse.Namespace) -> tuple[str, Tokenizer]:
    if args.model is None:
        if args.merges is not None:
            raise UsageError("--merges needs --model (the vocab.json it belongs to)")
        return f"default model ({DEFAULT_MODEL})", default_model()
    return args.model, load(args.model, args.merges)


def _text_units(args: argparse.Namespace) -> tuple[dict[str, int], Segmenter | None]:
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
        segmenter = _trained_segmenter(words, dampening="none", show=_show_progress(args))
    else:
        return dict(counts), None
    return segment_pieces(counts, segmenter), segmenter


def _trained_segmenter(words: dict[str, int], *, show: bool, **options: object) -> Segmenter:
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


def _read_words(paths: list[str], counted: bool) -> dict[str, int]:
    """Words one a line (each line counts once), or with --counts word<TAB>count lines."""
    words: dict[str, int] = {}
    for path in paths:
        name, opened = _open_input(path)
        with opened as stream:
            for number, raw in enumerate(stream, 1):
                try:
                    line = raw.decode("utf-8").rstrip("\r\n")
                except UnicodeDecodeError:
                    raise CliError(f"{name}, line {number}: not UTF-8") from None
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


def _gold(path: str | None) -> dict[str, list[str]] | None:
    if path is None:
        return None
    try:
        gold = read_gold(path)
    except OSError as error:
        raise CliError(f"{path}: cannot read: {error.strerror}") from None
    except (ValueError, UnicodeDecodeError) as error:
        raise CliError(f"{path}: {error}") from None
    if not gold:
        raise CliError(f"{path}: holds no segmentation that spells its word")
    return gold


def _train_segmenter(args: argparse.Namespace) -> int:
    words = _read_words(args.words, args.counts)
    annotations = _gold(args.annotations)
    dev = _gold(args.dev)
    with _Output(args.output) as out:
        segmenter = _trained_segmenter(
            words, show=_show_progress(args), annotations=annotations, dev=dev, corpus_weight=args.corpus_weight,
            dampening=args.dampening, seed=args.seed)
        out.write(json.dumps(segmenter.to_state(), ensure_ascii=False) + "\n")
    return EXIT_OK


def _train(args: argparse.Namespace) -> int:
    if args.text is None and (args.morfessor is not None or args.train_segmenter):
        raise UsageError("--morfessor and --train-segmenter segment --text input")
    options = TrainingOptions(**{option.name: getattr(args, option.name) for option in dataclasses.fields(TrainingOptions)})
    if args.text is None:
        name, opened = _open_input(args.corpus)
        with opened as stream:
            data = stream.read()
    else:
        units, segmenter = _text_units(args)
        name = ", ".join(args.text)
    # Opened before the long work, so an output that cannot be written fails at once.
    with _Output(args.output) as out:
        with tqdm(desc="train", unit=" tokens", file=sys.stderr, disable=not _show_progress(args)) as bar:

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


class _TextLines:
    """Encoded lines as text: ids (or token strings) joined by spaces, a line per input line."""

    def __init__(self, out: _Output, tokenizer: Tokenizer, tokens: bool, show: Callable[[str], str]) -> None:
        self.out = out
        self.tokenizer = tokenizer if tokens else None
        self.show = show
        # Whether ids of the line still open (continued in the next piece) are written already.
        self.open_ids = False

    def _render(self, ids: Ids, offsets: Offsets) -> bytes:
        if self.tokenizer is None:
            return format_lines(ids, offsets)
        tokens = [self.tokenizer.id_to_token(value) for value in ids.tolist()]
        shown = ["<unk>" if token is None else self.show(token) for token in tokens]
        bounds = offsets.tolist()
        lines = (" ".join(shown[begin:end]) for begin, end in zip(bounds, bounds[1:]))
        return "".join(line + "\n" for line in lines).encode("utf-8")

    def add(self, ids: Ids, offsets: Offsets, ends_line: bool) -> None:
        text = self._render(ids, offsets)
        if self.open_ids and offsets[1] > offsets[0]:
            text = b" " + text
        if ends_line:
            self.open_ids = False
        else:
            # The last line goes on in the next piece: its newline comes later.
            text = text[:-1]
            last = offsets[-1] > offsets[-2]
            self.open_ids = last or (self.open_ids and len(offsets) == 2)
        self.out.write_bytes(text)

    def finish(self, ends_line: bool) -> None:
        if not ends_line:
            self.out.write_bytes(b"\n")


class _NpyLines:
    """Encoded lines as two `.npy` arrays: the ids, and where each line's ids start and end."""

    def __init__(self, ids: _Output, offsets: _Output) -> None:
        self.ids = NpyWriter(ids, np.uint32)
        self.offsets = NpyWriter(offsets, np.int64)
        self.offsets.append([0])

    def add(self, ids: Ids, offsets: Offsets, ends_line: bool) -> None:
        # The end of a line still open is written once the line ends.
        ends = offsets[1:] if ends_line else offsets[1:-1]
        self.offsets.append(ends + self.ids.length)
        self.ids.append(ids)

    def finish(self, ends_line: bool) -> None:
        if not ends_line:
            self.offsets.append([self.ids.length])
        self.ids.finish()
        self.offsets.finish()


Encode = Callable[[bytes], tuple[Ids, Offsets]]


def _line_encoder(args: argparse.Namespace, tokenizer: Tokenizer) -> tuple[Encode, Cut, int]:
    """How the lines of a piece are encoded, where a long line may be cut into pieces, and the pieces' size."""
    threads = _threads()
    if args.words:
        return (lambda data: tokenizer.encode_word_lines(data, threads=threads)), word_cut, chunked_input.CHUNK_SIZE
    segmenter = None if args.segmenter == "none" else tokenizer.segmenter
    # Running text holds some 30 bytes per byte of a piece while it is encoded
    # (its text, pieces and segments as objects): smaller pieces keep that to
    # tens of MB, at no cost in speed.
    return (lambda data: running_lines.encode_lines(tokenizer, data, threads, segmenter, args.markers), text_cut,
            max(1, chunked_input.CHUNK_SIZE // 4))


def _bad_byte(error: ValueError) -> int | None:
    """The offset of the first byte that is not UTF-8, when that is what `error` is about."""
    offset = error.start if isinstance(error, UnicodeDecodeError) else getattr(error, "offset", None)
    return offset if isinstance(offset, int) else None


def _encode_pieces(args: argparse.Namespace, tokenizer: Tokenizer, sink: _TextLines | _NpyLines) -> None:
    encode, cut, size = _line_encoder(args, tokenizer)
    name, opened = _open_input(args.input)
    ends_line = True
    with opened as stream:
        for piece in _input_pieces(name, stream, args, size, cut):
            try:
                ids, offsets = encode(piece.data)
            except ValueError as error:
                offset = _bad_byte(error)
                if offset is None:
                    raise
                # The lines before the faulty one are written, as they would be line by line.
                whole = piece.data[: piece.data.rfind(b"\n", 0, offset) + 1]
                if whole:
                    sink.add(*encode(whole), True)
                raise _utf8_fault(name, piece, offset) from None
            sink.add(ids, offsets, piece.ends_line)
            ends_line = piece.ends_line
    sink.finish(ends_line)


def _encode(args: argparse.Namespace) -> int:
    if args.words and args.segmenter is not None:
        raise UsageError("--segmenter segments running text: it cannot go with --words")
    if args.words and args.markers:
        raise UsageError("--markers keeps the marker ids of running text: --words keeps them always")
    if args.format == "npy" and args.tokens:
        raise UsageError("--tokens writes text: it cannot go with --format npy")
    if args.format == "npy" and args.output == STDIO:
        raise UsageError("--format npy needs -o naming a file: its header is rewritten at the end")
    _, tokenizer = _model(args)
    if args.format == "text":
        show = str if args.words else running_lines.show_token
        with _Output(args.output) as out:
            _encode_pieces(args, tokenizer, _TextLines(out, tokenizer, args.tokens, show))
        return EXIT_OK
    # The ids file takes its place last: a reader that finds it new finds its offsets new too.
    with _outputs_together([args.output, offsets_path(args.output)], seekable=True) as (ids, offsets):
        _encode_pieces(args, tokenizer, _NpyLines(ids, offsets))
    return EXIT_OK


# Characters of a faulty field that its message shows.
FIELD_SHOWN = 24


def _parse_ids(name: str, number: int, line: str) -> list[int]:
    ids = []
    for field in line.split():
        # Leading zeros aside, an id has at most as many digits as the largest.
        if not (field.isascii() and field.isdigit()) or len(field.lstrip("0")) > len(str(MAX_ID)) or int(field) > MAX_ID:
            shown = repr(field) if len(field) <= FIELD_SHOWN else repr(field[:FIELD_SHOWN] + "...")
            raise CliError(f"{name}: line {number}: {shown} is not a token id (0 to {MAX_ID})")
        ids.append(int(field))
    return ids


def _parse_line(name: str, number: int, line: bytes) -> list[int]:
    fields = line.split()
    if not fields:
        return []
    # Plain decimal fields take the fast path; anything else (a bad field,
    # a non-ASCII space) is judged on the text, as str.split() sees it.
    if b"".join(fields).isdigit() and all(len(field) <= 10 for field in fields):
        ids = list(map(int, fields))
        if max(ids) <= MAX_ID:
            return ids
    return _parse_ids(name, number, line.decode("utf-8"))


class _WordLines:
    """Decoded lines of --words: the text of each line of ids, then a line break."""

    def __init__(self, tokenizer: Tokenizer, threads: int) -> None:
        self.tokenizer = tokenizer
        self.threads = threads
        self.open = False

    def decode(self, lines: list[list[int]], open_end: bool) -> str:
        texts = self.tokenizer.decode_batch(lines, threads=self.threads)
        complete = len(texts) - 1 if open_end else len(texts)
        self.open = open_end
        return "".join(text + "\n" for text in texts[:complete]) + "".join(texts[complete:])

    def finish(self) -> str:
        return "\n" if self.open else ""


def _decode(args: argparse.Namespace) -> int:
    _, tokenizer = _model(args)
    threads = _threads()
    decoder = _WordLines(tokenizer, threads) if args.words else running_lines.LineDecoder(tokenizer, threads)
    name, opened = _open_input(args.input)
    with opened as stream, _Output(args.output) as out:
        # Parsing holds each id of a piece as a Python object for a moment:
        # smaller pieces keep that at a few tens of MB.
        for piece in _input_pieces(name, stream, args, max(1, chunked_input.CHUNK_SIZE // 4), id_cut):
            fault: CliError | None = None
            data = piece.data
            try:
                data.decode("utf-8")
            except UnicodeDecodeError as error:
                fault = _utf8_fault(name, piece, error.start)
                data = data[: data.rfind(b"\n", 0, error.start) + 1]
            lines = data.split(b"\n")
            # A piece that ends a line leaves an empty field after the last b"\n".
            if data.endswith(b"\n") or not data:
                lines.pop()
            batch = []
            for index, line in enumerate(lines):
                try:
                    batch.append(_parse_line(name, piece.line + index, line))
                except CliError as error:
                    fault = error
                    break
            out.write(decoder.decode(batch, fault is None and not piece.ends_line))
            if fault is not None:
                raise fault
        out.write(decoder.finish())
    return EXIT_OK


def _info(args: argparse.Namespace) -> int:
    name, tokenizer = _model(args)
    vocab = tokenizer.vocab
    special = tokenizer.special_tokens
    specials = " ".join(f"{token}={vocab[token]}" for token in dict.fromkeys(special.values())) or "none"
    ordinary = [token for token in vocab if token not in special.values() and token != MARKER]
    characters = sum(1 for token in ordinary if len(token) == 1)
    longest = max(ordinary, key=len, default="")
    mean = sum(map(len, ordinary)) / len(ordinary) if ordinary else 0.0
    lines = [
        f"model: {name}",
        f"tokens: {len(vocab)}",
        f"merges: {len(tokenizer.merges)}",
        f"ids: {min(vocab.values(), default=0)} to {max(vocab.values(), default=0)}",
        f"special tokens: {specials}",
        f"marker: {'id ' + str(vocab[MARKER]) if MARKER in vocab else 'absent'}",
        f"single characters: {characters}",
        f"longest token: {longest!r} ({len(longest)} characters)",
        f"mean token length: {mean:.2f} characters",
        f"unused ids: {_holes(vocab)}",
        f"byte fallback: {'yes' if tokenizer.byte_fallback else 'no'}",
        f"segmenter: {_segmenter_summary(tokenizer.segmenter)}",
        "special roles: " + (" ".join(f"{role}={token}" for role, token in special.items()) or "none"),
    ]
    with _Output(STDIO) as out:
        out.write("\n".join(lines) + "\n")
    return EXIT_OK


def _evaluate(args: argparse.Namespace) -> int:
    if not args.text and not args.gold:
        args.usage_error("give text files (--text), gold files (--gold) or both")
    models = list(args.model or ())
    for model in models:
        if models.count(model) > 1:
            args.usage_error(f"-m {model} is given twice")
    if args.shipped or not models:
        models.insert(0, default_model())
    names = [f"shipped model ({DEFAULT_MODEL})" if isinstance(model, Tokenizer) else model for model in models]
    try:
        result = evaluate(dict(zip(names, models)), texts=args.text or (), gold=args.gold or ())
    except EvaluationError as error:
        raise CliError(str(error)) from None
    with _Output(STDIO) as out:
        out.write(json.dumps(result.to_dict(), ensure_ascii=False, indent=2) + "\n" if args.json else str(result))
    return EXIT_OK


def _holes(vocab: Mapping[str, int]) -> str:
    """The ids below the largest that no token has: a model's len() counts them too."""
    taken = set(vocab.values())
    holes = [token_id for token_id in range(max(taken, default=-1) + 1) if token_id not in taken]
    if not holes:
        return "none"
    shown = ", ".join(map(str, holes[:10])) + (", ..." if len(holes) > 10 else "")
    return f"{len(holes)} ({shown})"


def _segmenter_summary(segmenter: object) -> str:
    if segmenter is None:
        return "none (words are encoded as written)"
    if isinstance(segmenter, Segmenter):
        state = segmenter.to_state()
        return f"Morfessor Baseline, {len(state['morphs'])} morphs from {state['words']} words, saved in the model"
    return f"{type(segmenter).__name__} (set in this process, not saved)"


def _count(minimum: int, maximum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            number = text.strip()
            digits = number.lstrip("+-")
            if digits.isdigit():
                # More digits than Python converts: far out of range either way.
                side, bound = ("below", minimum) if number.startswith("-") else ("above", maximum)
                raise argparse.ArgumentTypeError(f"a number of {len(digits)} digits is {side} {bound}") from None
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{value} is below {minimum}")
        if value > maximum:
            raise argparse.ArgumentTypeError(f"{value} is above {maximum}")
        return value

    return parse


def _add_model_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-m", "--model", metavar="PATH",
        help="morfex model file, tokenizer.json, vocab.json with --merges, or a directory holding one "
        "(*.morfex.json first) (default: the shipped model)",
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
            train.add_argument(flag, type=_count(option.metadata["lowest"], option.metadata["highest"]),
                               default=option.default, metavar="N",
                               help=option.metadata["help"])
    train.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    train.set_defaults(run=_train)

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
    segmenter_parser.add_argument("--seed", type=_count(0, MAX_TRAINING_SEED), default=0, metavar="N", help="seed of the word order")
    segmenter_parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    segmenter_parser.set_defaults(run=_train_segmenter)

    encode = commands.add_parser(
        "encode", help="encode running text into token ids",
        description="Encode each input line as running text, its line break included, into one output line "
        "of ids (or token strings with --tokens), so that decode gives the input back exactly. Characters the "
        "model lacks (a line break included) become byte tokens with byte fallback, else <unk>. With --words, "
        "encode each whitespace-separated word of each line instead.",
    )
    _add_model_options(encode)
    _add_io_options(encode)
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
    encode.set_defaults(run=_encode)

    decode = commands.add_parser(
        "decode", help="decode token ids into text",
        description="Decode each input line of whitespace-separated token ids into the text it encodes, "
        "adding nothing (its line break comes from its ids); special tokens and markers are dropped, runs "
        "of byte tokens are read as UTF-8 (U+FFFD where they are not). With --words, decode each line as "
        "encode --words wrote it, and end it with a line break.",
    )
    _add_model_options(decode)
    _add_io_options(decode)
    decode.add_argument("--words", action="store_true", help="decode what encode --words wrote: a line break after each line")
    decode.set_defaults(run=_decode)

    info = commands.add_parser("info", help="show model statistics", description="Show statistics of a model.")
    _add_model_options(info)
    info.set_defaults(run=_info)

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
    evaluate_command.set_defaults(run=_evaluate, usage_error=evaluate_command.error)
    return parser


def _input_name(args: argparse.Namespace) -> str:
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
        with _stopping_on_signals():
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
    except _Stopped as stopped:
        print(f"morfex: interrupted by {signal.Signals(stopped.signum).name}", file=sys.stderr)
        return 128 + stopped.signum
    except MemoryError:
        # What held the memory is freed by now: there is room for one line.
        print(f"morfex: error: {_input_name(args) + ': ' if args else ''}out of memory", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (as with "| head"): nothing more to say to it, and
        # nothing left to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        print(f"morfex: error: {error}", file=sys.stderr)
        return EXIT_FAILURE

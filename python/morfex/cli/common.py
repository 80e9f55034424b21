"""What every command shares: exit statuses, errors, signals, progress, the model and thread options."""

from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import threading
from collections.abc import Callable, Iterator

from morfex.engine import resolve_threads
from morfex.formats.files import DEFAULT_MODEL, default_model, load
from morfex.text import utf8
from morfex.text.chunks import Piece
from morfex.tokenizer import Tokenizer

EXIT_OK = 0


EXIT_FAILURE = 1


EXIT_USAGE = 2


EXIT_INTERRUPTED = 128 + signal.SIGINT


# What a shell reports for a Unix tool that SIGPIPE ended.
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


STDIO = "-"


class CliError(Exception):
    """A failure to report in one line and exit with EXIT_FAILURE."""


class UsageError(CliError):
    """Options that cannot go together: a bad command line, reported in one line with EXIT_USAGE."""


class Stopped(BaseException):
    """A signal that ends the run, raised where the program stands so that outputs are cleaned up as on Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def on_stop_signal(signum: int, frame: object) -> None:
    raise Stopped(signum)


# Signals that end a run like Ctrl-C: partial outputs are removed and the
# status is 128 plus the signal's number.
STOPPING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


@contextlib.contextmanager
def stopping_on_signals() -> Iterator[None]:
    # Only the main thread may set handlers; a signal ignored (as under nohup) stays ignored.
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {signum: signal.getsignal(signum) for signum in STOPPING_SIGNALS}
    for signum, handler in previous.items():
        if handler == signal.SIG_DFL:
            signal.signal(signum, on_stop_signal)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def signals_held() -> Iterator[None]:
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


def show_progress(args: argparse.Namespace) -> bool:
    return not args.quiet and sys.stderr.isatty()


def utf8_fault(name: str, piece: Piece, offset: int) -> CliError:
    return CliError(utf8.fault(name, *piece.position(offset)))


def thread_count() -> int:
    try:
        return resolve_threads(None)
    except ValueError as error:
        raise CliError(str(error)) from None


def chosen_model(args: argparse.Namespace) -> tuple[str, Tokenizer]:
    if args.model is None:
        if args.merges is not None:
            raise UsageError("--merges needs --model (the vocab.json it belongs to)")
        return f"default model ({DEFAULT_MODEL})", default_model()
    return args.model, load(args.model, args.merges)


def count_parser(minimum: int, maximum: int) -> Callable[[str], int]:
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

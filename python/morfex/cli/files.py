"""Inputs read in pieces and outputs that replace their targets whole, or not at all."""

from __future__ import annotations

import argparse
import contextlib
import os
import secrets
import stat
import sys
from collections.abc import Iterator
from types import TracebackType
from typing import BinaryIO

from tqdm import tqdm

from morfex.cli.common import STDIO, CliError, show_progress, signals_held
from morfex.text.chunks import Cut, Piece, pieces, word_cut


def open_input(path: str) -> tuple[str, contextlib.AbstractContextManager[BinaryIO]]:
    if path == STDIO:
        if sys.stdin is None:
            raise CliError("<stdin>: cannot read: standard input is closed")
        return "<stdin>", contextlib.nullcontext(sys.stdin.buffer)
    try:
        return path, open(path, "rb")
    except OSError as error:
        raise CliError(f"{path}: cannot read: {error.strerror}") from None


def input_pieces(
    name: str, stream: BinaryIO, args: argparse.Namespace, size: int | None = None, cut: Cut = word_cut
) -> Iterator[Piece]:
    """The input in bounded pieces, with a progress bar by bytes."""
    try:
        info = os.fstat(stream.fileno())
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
    except (OSError, ValueError):
        total = None
    with tqdm(desc=args.command, total=total, unit="B", unit_scale=True, file=sys.stderr,
              disable=not show_progress(args)) as bar:
        for piece in pieces(stream, size, cut):
            yield piece
            bar.update(len(piece.data))


class Output:
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
            self.temporary = hidden_name(self.target, "tmp")
            # Mode 0o666 less the umask: what a new file made by the shell's ">" gets.
            descriptor = os.open(self.temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except OSError as error:
            raise CliError(f"{path}: cannot write: {error.strerror}") from None
        self.stream = os.fdopen(descriptor, "wb")

    def __enter__(self) -> Output:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        try:
            if kind is None:
                self.finish()
                replace_targets([self])
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


def hidden_name(target: str, kind: str) -> str:
    directory, base = os.path.split(target)
    return os.path.join(directory, f".{base}.{secrets.token_hex(6)}.{kind}")


def replace_targets(outputs: list[Output]) -> None:
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
    with signals_held():
        try:
            for current in pending[:-1]:
                backups.append(backup_of(current.target))
            for done, current in enumerate(pending):
                try:
                    os.replace(str(current.temporary), current.target)
                except OSError:
                    restore_backups(pending[:done], backups)
                    raise
                current.temporary = None
            for directory in dict.fromkeys(os.path.dirname(output.target) for output in pending):
                sync_directory(directory)
        except OSError as fault:
            raise CliError(f"{current.name}: cannot write: {fault.strerror}") from None
        finally:
            for backup in backups:
                if backup:
                    with contextlib.suppress(OSError):
                        os.unlink(backup)


def backup_of(target: str) -> str | None:
    """A hard link to the target as it is; None when there is no target yet, "" where links cannot be made.

    Without a link (a file system that has none) a failed rename cannot be
    undone, and the run goes on all the same: the failure is unlikely, and
    read_pair tells a reader of the pair.
    """
    backup = hidden_name(target, "old")
    try:
        os.link(target, backup)
    except FileNotFoundError:
        return None
    except OSError:
        return ""
    return backup


def restore_backups(replaced: list[Output], backups: list[str | None]) -> None:
    for output, backup in zip(replaced, backups):
        with contextlib.suppress(OSError):
            if backup is None:
                os.unlink(output.target)
            elif backup:
                os.replace(backup, output.target)


def sync_directory(directory: str) -> None:
    descriptor = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def outputs_together(paths: list[str], seekable: bool = False) -> Iterator[list[Output]]:
    """Outputs that replace their targets together (see replace_targets), the first one last."""
    outputs: list[Output] = []
    try:
        for path in paths:
            outputs.append(Output(path, seekable))
        yield outputs
        for output in outputs:
            output.finish()
        replace_targets(outputs[::-1])
    finally:
        for output in outputs:
            output.close()

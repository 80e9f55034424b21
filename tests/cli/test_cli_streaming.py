import io
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import morfex
from morfex import cli, engine
from morfex.text import chunks as chunked_input
from morfex.text import pieces as text_pieces
from morfex.text.chunks import WHITESPACE, pieces, text_cut, word_cut
from morfex.cli.npy_stream import HEADER_SIZE
from morfex.tokenizer import Tokenizer

# Lines that make pieces end inside words' lines, on empty lines and at the end.
TEXTS = {
    "plain": "kot▁ami dom▁u\nk▁um▁ain\n",
    "no final newline": "kot▁ami\ndom▁u pies",
    "blank lines": "\n\n  \nkot▁ami\n\t\n",
    "crlf and runs of spaces": "kot▁ami   dom▁u\r\n  pies▁x \r\n",
    "one long line": " ".join(["kot▁ami", "dom▁u", "k▁um▁ain", "pies"] * 40) + "\n",
    "long line, spaces at its ends": "   " + "dom▁u " * 50 + "  \nkot\n",
    "long word": "a" * 300 + " b\n" + "c" * 100,
    "unknown characters": "żółw ☃▁x\n",
    "other ASCII separators": "kot\x1cami\x1fdom\x0bu\n",
}
# Text that only running text reads as written: the words of --words are separated by ASCII whitespace only.
RUNNING_TEXTS = {
    "running text": "Ala ma kota, a kot ma Alę.\r\n\nZa 2 dni — w\u00a0środę\t o 7:30 ☃ \u3000 koniec",
    "spaces after other whitespace": "a\t b \u2003 c\u00a0 d  \x85 e" * 9 + "\n",
}
ALL_TEXTS = TEXTS | RUNNING_TEXTS
SIZES = [1, 3, 7, 64, 1 << 20]
MODES = [pytest.param(text, False, id=f"text-{name}") for name, text in ALL_TEXTS.items()]
MODES += [pytest.param(text, True, id=f"words-{name}") for name, text in TEXTS.items()]


class Trickle(io.RawIOBase):
    """A pipe that hands out at most `step` bytes per read."""

    def __init__(self, data: bytes, step: int) -> None:
        self.data, self.step = data, step

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        part, self.data = self.data[: min(len(buffer), self.step)], self.data[min(len(buffer), self.step):]
        buffer[: len(part)] = part
        return len(part)


def naive_position(data: bytes, offset: int) -> tuple[int, int]:
    before = data[:offset]
    return before.count(b"\n") + 1, offset - (before.rfind(b"\n") + 1) + 1


def text_pieces_of_lines(parts: list[bytes]) -> list[list[str]]:
    """The running-text pieces of each line, the line's parts split one by one."""
    lines: list[list[str]] = [[]]
    for part in parts:
        for line in re.findall(r"[^\n]*\n|[^\n]+", part.decode("utf-8")):
            lines[-1] += text_pieces.split(line)
            if line.endswith("\n"):
                lines.append([])
    return [line for line in lines if line]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("text", ALL_TEXTS.values(), ids=ALL_TEXTS.keys())
@pytest.mark.parametrize("step", [None, 2])
@pytest.mark.parametrize("cut", [word_cut, text_cut], ids=["word cut", "text cut"])
def test_pieces_cover_the_input_and_cut_only_between_words(text, size, step, cut):
    data = text.encode("utf-8")
    stream = io.BytesIO(data) if step is None else io.BufferedReader(Trickle(data, step))
    found = list(pieces(stream, size, cut))
    assert b"".join(piece.data for piece in found) == data
    start = 0
    for index, piece in enumerate(found):
        last = index == len(found) - 1
        assert piece.data
        if cut is word_cut:
            assert last or piece.data[-1] in WHITESPACE
        else:
            rest = data[start + len(piece.data):]
            assert last or piece.ends_line or (rest[:1] == b" " and not piece.data.decode()[-1].isspace())
        for offset in range(len(piece.data)):
            assert piece.position(offset) == naive_position(data, start + offset)
        start += len(piece.data)
    if cut is text_cut:
        # Cut anywhere in a line, running text splits as it does whole.
        assert text_pieces_of_lines([piece.data for piece in found]) == text_pieces_of_lines([data])


def reference_encode(tokenizer: Tokenizer, data: bytes, tokens: bool) -> bytes:
    """What encode wrote when it read a line at a time: the plain model."""
    encode = tokenizer.encode_tokens if tokens else tokenizer.encode
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    out = []
    for line in lines:
        out.append(" ".join(str(piece) for word in line.decode("utf-8").split() for piece in encode(word)) + "\n")
    return "".join(out).encode("utf-8")


def reference_encode_text(tokenizer: Tokenizer, data: bytes, tokens: bool) -> bytes:
    """Each line, its line break included, encoded whole as running text."""
    out = []
    for line in data.decode("utf-8").split("\n"):
        out.append(line)
    lines = [line + "\n" for line in out[:-1]] + ([out[-1]] if out[-1] else [])
    rendered = []
    for line in lines:
        ids = tokenizer.encode_text(line)
        fields = [show_reference(tokenizer.id_to_token(value)) for value in ids] if tokens else map(str, ids)
        rendered.append(" ".join(fields) + "\n")
    return "".join(rendered).encode("utf-8")


def show_reference(token: str | None) -> str:
    if token is None:
        return "<unk>"
    escapes = {" ": "␣", "\\": "\\\\", "␣": "\\u2423", "\t": "\\t", "\n": "\\n", "\r": "\\r"}
    return "".join(escapes.get(c, c if c.isprintable() else "\\u%04x" % ord(c) if ord(c) > 0xFF else "\\x%02x" % ord(c))
                   for c in token)


def run_main(args, monkeypatch, capsysbinary, size, threads="1"):
    monkeypatch.setattr(chunked_input, "CHUNK_SIZE", size)
    monkeypatch.setenv(engine.THREADS_VARIABLE, threads)
    status = cli.main(args)
    out, err = capsysbinary.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def model():
    return morfex.default_model()


@pytest.fixture(scope="module")
def text_model(tmp_path_factory):
    """A byte-fallback model trained on running text, and its file."""
    directory = tmp_path_factory.mktemp("text_model")
    (directory / "corpus.txt").write_text("".join(ALL_TEXTS.values()) * 3, encoding="utf-8")
    tokenizer = morfex.train_text([directory / "corpus.txt"], vocab_size=400, min_frequency=2, byte_fallback=True)
    tokenizer.save(directory / "model.json")
    return morfex.load(directory / "model.json"), str(directory / "model.json")


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("text", "words"), MODES)
@pytest.mark.parametrize("tokens", [False, True])
def test_encode_in_pieces_writes_what_a_line_at_a_time_wrote(
    tmp_path, monkeypatch, capsysbinary, model, text_model, text, size, threads, tokens, words
):
    (tmp_path / "in.txt").write_bytes(text.encode("utf-8"))
    args = ["encode", "-q", str(tmp_path / "in.txt")] + (["--tokens"] if tokens else [])
    args += ["--words"] if words else ["-m", text_model[1]]
    status, out, err = run_main(args, monkeypatch, capsysbinary, size, threads)
    assert (status, err) == (0, b"")
    if words:
        assert out == reference_encode(model, text.encode("utf-8"), tokens)
    else:
        assert out == reference_encode_text(text_model[0], text.encode("utf-8"), tokens)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("text", "words"), MODES)
def test_npy_output_holds_the_lines_of_the_text_output(
    tmp_path, monkeypatch, capsysbinary, model, text_model, text, size, words
):
    (tmp_path / "in.txt").write_bytes(text.encode("utf-8"))
    target = tmp_path / "ids.npy"
    args = ["encode", "-q", str(tmp_path / "in.txt"), "--format", "npy", "-o", str(target)]
    args += ["--words"] if words else ["-m", text_model[1]]
    assert run_main(args, monkeypatch, capsysbinary, size) == (0, b"", b"")
    ids = np.load(target, mmap_mode="r")
    offsets = np.load(tmp_path / "ids.offsets.npy", mmap_mode="r")
    assert isinstance(ids, np.memmap) and isinstance(offsets, np.memmap)
    assert (ids.dtype, offsets.dtype, ids.ndim, offsets.ndim) == (np.uint32, np.int64, 1, 1)
    reference = reference_encode(model, text.encode("utf-8"), False) if words else \
        reference_encode_text(text_model[0], text.encode("utf-8"), False)
    lines = reference.decode().splitlines()
    assert offsets[0] == 0 and offsets[-1] == len(ids) and len(offsets) == len(lines) + 1
    assert [" ".join(map(str, ids[begin:end])) for begin, end in zip(offsets, offsets[1:])] == lines
    assert sorted(os.listdir(tmp_path)) == ["ids.npy", "ids.offsets.npy", "in.txt"]


def test_npy_of_empty_input_is_no_lines(tmp_path):
    result = subprocess.run([sys.executable, "-m", "morfex", "encode", "--format", "npy", "-o", str(tmp_path / "x")],
                            input=b"", capture_output=True)
    assert (result.returncode, result.stderr) == (0, b"")
    # A name without .npy gets the suffix only on the offsets.
    assert np.load(tmp_path / "x").shape == (0,)
    assert np.load(tmp_path / "x.offsets.npy").tolist() == [0]
    assert (tmp_path / "x").stat().st_size == HEADER_SIZE


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--format", "npy"], 2, "--format npy needs -o naming a file: its header is rewritten at the end"),
        (["--format", "npy", "-o", "-"], 2, "--format npy needs -o naming a file: its header is rewritten at the end"),
        (["--format", "npy", "-o", os.devnull], 1,
         f"{os.devnull}: --format npy needs a regular file: its header is rewritten at the end"),
        (["--format", "npy", "--tokens", "-o", "{tmp}/ids.npy"], 2, "--tokens writes text: it cannot go with --format npy"),
        (["--format", "npy", "-o", "{tmp}/no/dir/ids.npy"], 1,
         "{tmp}/no/dir/ids.npy: cannot write: No such file or directory"),
    ],
)
def test_npy_output_errors(tmp_path, args, status, message):
    args = [arg.replace("{tmp}", str(tmp_path)) for arg in args]
    result = subprocess.run([sys.executable, "-m", "morfex", "encode", *args], input=b"kot\n", capture_output=True)
    assert (result.returncode, result.stdout) == (status, b"")
    assert result.stderr.decode() == f"morfex: error: {message.replace('{tmp}', str(tmp_path))}\n"
    assert os.listdir(tmp_path) == []


def interrupt_second_piece(name):
    def interrupt(monkeypatch):
        original, calls = getattr(engine, name), []

        def interrupted(*args):
            calls.append(None)
            if len(calls) > 1:
                raise KeyboardInterrupt
            return original(*args)

        monkeypatch.setattr(engine, name, interrupted)

    return interrupt


@pytest.mark.parametrize(
    ("data", "words", "fault", "status", "message"),
    [
        (b"kot\n" * 20 + b"a b \xff\n", False, None, 1,
         "morfex: error: {input}: line 21: not UTF-8 text (bad byte at column 5)\n"),
        (b"kot\n" * 20 + b"a b \xff\n", True, None, 1,
         "morfex: error: {input}: line 21: not UTF-8 text (bad byte at column 5)\n"),
        (b"kot\n" * 20, False, interrupt_second_piece("encode_text_chunk"), 130, "morfex: interrupted\n"),
        (b"kot\n" * 20, True, interrupt_second_piece("encode_chunk"), 130, "morfex: interrupted\n"),
    ],
)
def test_a_failed_npy_run_leaves_no_file(tmp_path, monkeypatch, capsysbinary, data, words, fault, status, message):
    (tmp_path / "in.txt").write_bytes(data)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "ids.npy").write_bytes(b"previous")
    if fault is not None:
        fault(monkeypatch)
    args = ["encode", "-q", str(tmp_path / "in.txt"), "--format", "npy", "-o", str(tmp_path / "out" / "ids.npy")]
    args += ["--words"] * words
    got = run_main(args, monkeypatch, capsysbinary, 16)
    assert got == (status, b"", message.format(input=tmp_path / "in.txt").encode())
    assert os.listdir(tmp_path / "out") == ["ids.npy"]
    assert (tmp_path / "out" / "ids.npy").read_bytes() == b"previous"


def reference_decode(tokenizer: Tokenizer, data: bytes) -> bytes:
    return "".join(tokenizer.decode(map(int, line.split())) + "\n" for line in data.splitlines()).encode()


@pytest.mark.parametrize("size", [1, 5, 16, 1 << 20])
@pytest.mark.parametrize(
    ("command", "good", "bad", "message"),
    [
        ("encode", b"kot\n", b"ab " * 30 + b"cd\xc5\xc5 ef\n", "line 2: not UTF-8 text (bad byte at column 93)"),
        ("encode", b"kot\n\n" * 5, b"x\xe2\x82", "line 11: not UTF-8 text (bad byte at column 2)"),
        ("decode", b"5 6\n" * 4, b"7 " * 20 + b"7\xc5\xc5\n", "line 5: not UTF-8 text (bad byte at column 42)"),
        ("decode", b"5 6\n" * 4, b"7 " * 20 + b"x\n", "line 5: 'x' is not a token id (0 to 4294967295)"),
        ("decode", b"5\n7\n", b"42949672950\n", "line 3: '42949672950' is not a token id (0 to 4294967295)"),
    ],
)
@pytest.mark.parametrize("words", [False, True], ids=["text", "words"])
def test_faults_are_placed_in_the_whole_input(
    monkeypatch, capsysbinary, model, size, command, good, bad, message, words
):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(good + bad)))
    status, written, err = run_main([command, "-q"] + ["--words"] * words, monkeypatch, capsysbinary, size)
    assert (status, err.decode()) == (1, f"morfex: error: <stdin>: {message}\n")
    # Every whole line before the faulty one is written; small pieces may
    # have written the start of a faulty long line as well.
    if words:
        expected = reference_encode(model, good, False) if command == "encode" else reference_decode(model, good)
    elif command == "encode":
        expected = reference_encode_text(model, good, False)
    else:
        expected = "".join(model.decode_text([int(field) for field in line.split()]) for line in good.splitlines()).encode()
    assert written.startswith(expected)
    assert size < len(bad) or written == expected


@pytest.mark.parametrize("size", [1, 4, 9, 1 << 20])
def test_words_decode_in_pieces_writes_what_a_line_at_a_time_wrote(monkeypatch, capsysbinary, model, size):
    lines = [[], [5, 6, 7], list(range(40)) * 3, [0, 1, 2, 3, 4], [10 ** 6], [123456] * 30]
    data = "".join(" ".join(map(str, line)) + "\n" for line in lines).encode()
    data += b"  \r\n0000012 \xc2\xa0 13\n7 8"
    expected = "".join(model.decode(line) + "\n" for line in lines) + "\n" + model.decode([12, 13]) + "\n"
    expected += model.decode([7, 8]) + "\n"
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    assert run_main(["decode", "--words", "-q"], monkeypatch, capsysbinary, size) == (0, expected.encode(), b"")


def reference_decode_text(tokenizer: Tokenizer, line: list[int]) -> str:
    """decode_text spelled out: tokens joined, specials and markers dropped, each byte run read as UTF-8."""
    out, run = [], bytearray()
    for value in line:
        token = tokenizer.id_to_token(value)
        if token is not None and re.fullmatch("<0x[0-9A-F]{2}>", token):
            run.append(int(token[3:5], 16))
            continue
        out.append(run.decode("utf-8", "replace"))
        run.clear()
        if token is not None and token not in morfex.SPECIAL_TOKENS:
            out.append(token.replace("▁", ""))
    return "".join(out) + run.decode("utf-8", "replace")


@pytest.mark.parametrize("size", [1, 4, 9, 30, 1 << 20])
@pytest.mark.parametrize("threads", ["1", "3"])
def test_decode_in_pieces_reads_byte_runs_across_pieces(monkeypatch, capsysbinary, text_model, size, threads):
    tokenizer, path = text_model
    byte = {value: tokenizer.token_to_id(f"<0x{value:02X}>") for value in range(256)}
    snowman, bad = [byte[value] for value in "☃".encode()], [byte[0xC4], byte[0xFF], byte[0xE2], byte[0x98]]
    space, marker, unknown = tokenizer.token_to_id(" "), tokenizer.token_to_id("▁"), tokenizer.token_to_id("<unk>")
    lines = [snowman * 5, [], bad + snowman[:2], snowman[:1] + [marker] + snowman[1:], snowman + [space] * 7 + bad,
             [unknown] + snowman + [10 ** 6] + snowman, tokenizer.encode_text("Ala ma kota, a kot ma Alę.\r\n")]
    data = "".join(" ".join(map(str, line)) + "\n" for line in lines).encode() + " ".join(map(str, bad[:3])).encode()
    expected = "".join(reference_decode_text(tokenizer, line) for line in lines + [bad[:3]])
    assert expected.startswith("☃" * 5 + "\ufffd") and expected.endswith(".\r\n" + "\ufffd" * 3)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    got = run_main(["decode", "-q", "-m", path], monkeypatch, capsysbinary, size, threads)
    assert got == (0, expected.encode(), b"")


PEAK_RSS = """
import resource, subprocess, sys
subprocess.run([sys.executable, "-m", "morfex", *sys.argv[1:]], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


@pytest.mark.parametrize(
    ("command", "line", "output"),
    [
        (["encode"], "kot▁ami dom▁u k▁um▁ain ", "out.txt"),
        (["encode", "--words"], "kot▁ami dom▁u k▁um▁ain ", "out.txt"),
        (["encode", "--format", "npy"], "kot▁ami dom▁u k▁um▁ain ", "ids.npy"),
        (["decode"], "822 4 122 1086 4 51 ", "out.txt"),
    ],
)
def test_memory_stays_flat_on_one_30_mb_line(tmp_path, command, line, output):
    source = tmp_path / "line.txt"
    with open(source, "wb") as stream:
        block = line.encode() * (1 << 14)
        while stream.tell() < 30 << 20:
            stream.write(block)
        stream.write(b"\n")
    result = subprocess.run(
        [sys.executable, "-c", PEAK_RSS, *command, "-q", str(source), "-o", str(tmp_path / output)],
        capture_output=True, check=True,
    )
    peak_kib = int(result.stdout)
    # About 100 MB, as documented: the interpreter, numpy and the model take about 55.
    assert peak_kib < 150 << 10, f"peak RSS {peak_kib >> 10} MiB"
    assert (tmp_path / output).stat().st_size > 0


@pytest.mark.parametrize(("command", "data"), [("encode", "kot▁ami dom▁u\n"), ("decode", "822 4 122\n")])
@pytest.mark.parametrize("quiet", [False, True])
def test_progress_by_bytes_only_on_a_terminal_and_without_q(tmp_path, command, data, quiet):
    import fcntl
    import pty
    import struct
    import termios

    (tmp_path / "in.txt").write_text(data * 1000, encoding="utf-8")
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        result = subprocess.run(
            [sys.executable, "-m", "morfex", command, str(tmp_path / "in.txt"), "-o", str(tmp_path / "out")]
            + (["-q"] if quiet else []),
            stderr=terminal, stdout=subprocess.PIPE,
        )
        os.close(terminal)
        shown = b""
        with pytest.raises(OSError):
            while chunk := os.read(controller, 4096):
                shown += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0
    size = f"{len(data.encode()):.1f}k".encode()
    assert (f"{command}: 100%".encode() in shown and size + b"/" + size + b" [" in shown) != quiet, shown
    assert (shown == b"") == quiet

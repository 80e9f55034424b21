import ast
import importlib.metadata
import io
import json
import os
import re
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np
import pytest

import morfex
import morfex.cli.train
from morfex import cli, engine
from morfex.cli import common, running_lines
from morfex.cli.npy_stream import offsets_path
from morfex.tokenizer import Tokenizer

CORPUS = "\n".join(
    ["k▁um▁ain\t3", "kot▁ami\t2", "dom▁ami", "dom▁u\t4", "kot▁u", "um▁ain▁ami", "k▁ot▁ek\t2", "pies"]
) + "\n"


def run(*args, stdin=b"", cwd=None):
    env = {**os.environ, "PYTHONIOENCODING": "ascii", "LC_ALL": "C"}
    return subprocess.run([sys.executable, "-m", "morfex", *args], input=stdin, capture_output=True, cwd=cwd, env=env)


@pytest.fixture
def model_path(tmp_path):
    (tmp_path / "corpus.txt").write_text(CORPUS, encoding="utf-8")
    result = run("train", str(tmp_path / "corpus.txt"), "-o", str(tmp_path / "model.json"), "--min-frequency", "1",
                 "--vocab-size", "40")
    assert result.returncode == 0, result.stderr
    assert result.stdout == result.stderr == b""
    return tmp_path / "model.json"


def test_train_writes_the_same_model_as_the_library(tmp_path, model_path):
    expected = morfex.train(CORPUS.splitlines(), vocab_size=40, min_frequency=1)
    assert model_path.read_text(encoding="utf-8") == morfex.dumps(expected)
    from_stdin = run("train", "-", "--min-frequency", "1", "--vocab-size", "40", stdin=CORPUS.encode())
    assert from_stdin.returncode == 0
    assert from_stdin.stdout.decode("utf-8") == morfex.dumps(expected)


def test_words_encode_and_decode_one_line_per_line(model_path):
    tokenizer = morfex.load(model_path)
    text = "k▁um▁ain kot▁ami\n\ndom▁u  pies▁x\r\n"
    encoded = run("encode", "--words", "-m", str(model_path), stdin=text.encode())
    assert encoded.returncode == 0, encoded.stderr
    lines = encoded.stdout.decode().split("\n")
    assert lines == [
        " ".join(map(str, tokenizer.encode("k▁um▁ain") + tokenizer.encode("kot▁ami"))),
        "",
        " ".join(map(str, tokenizer.encode("dom▁u") + tokenizer.encode("pies▁x"))),
        "",
    ]
    tokens = run("encode", "--words", "-m", str(model_path), "--tokens", stdin="kot▁ami\n".encode())
    assert tokens.stdout.decode() == " ".join(tokenizer.encode_tokens("kot▁ami")) + "\n"
    decoded = run("decode", "--words", "-m", str(model_path), stdin=encoded.stdout)
    assert decoded.returncode == 0, decoded.stderr
    assert decoded.stdout.decode() == "kumainkotami\n\ndomupies\n"


def test_files_in_and_out(tmp_path, model_path):
    (tmp_path / "in.txt").write_text("kot▁ami\n", encoding="utf-8")
    result = run("encode", "-q", "-m", str(model_path), str(tmp_path / "in.txt"), "-o", str(tmp_path / "out.txt"))
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    ids = morfex.load(model_path).encode_text("kot▁ami\n")
    assert (tmp_path / "out.txt").read_text() == " ".join(map(str, ids)) + "\n"


def test_encode_uses_the_default_model():
    result = run("encode", stdin="kot▁ami\n".encode())
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == " ".join(map(str, morfex.default_model().encode_text("kot▁ami\n"))) + "\n"


@pytest.mark.parametrize("output_format", ["text", "npy"])
def test_encode_leaves_marker_ids_out_unless_asked_and_decode_reads_both(tmp_path, output_format):
    tokenizer = morfex.default_model()
    lines = ["Ala ma kota, a kot ma Alę.\n", "zaż▁ółć gęślą jaźń\r\n", "\n", "Kotami   12 €😀\n"]
    (tmp_path / "in.txt").write_text("".join(lines), encoding="utf-8", newline="")
    decoded = {}
    for flags, markers in (([], False), (["--markers"], True)):
        expected = tokenizer.encode_text_batch(lines, markers=markers)
        assert any(tokenizer.token_to_id("▁") in row for row in expected) == markers
        out = tmp_path / f"ids{len(flags)}.{output_format}"
        result = run("encode", *flags, "--format", output_format, str(tmp_path / "in.txt"), "-o", str(out))
        assert result.returncode == 0, result.stderr
        if output_format == "npy":
            ids, offsets = np.load(out), np.load(offsets_path(str(out)))
            assert [ids[offsets[i]:offsets[i + 1]].tolist() for i in range(len(lines))] == expected
            continue
        assert out.read_text(encoding="utf-8") == "".join(" ".join(map(str, row)) + "\n" for row in expected)
        result = run("decode", str(out))
        assert result.returncode == 0, result.stderr
        decoded[markers] = result.stdout
    if output_format == "text":
        # Either form decodes to the input, less the marker it holds itself.
        assert decoded[False] == decoded[True] == "".join(lines).replace("▁", "").encode("utf-8")


def test_vocab_json_with_merges(tmp_path):
    (tmp_path / "vocab.json").write_text(json.dumps({"<unk>": 1, "a": 5, "b": 6, "ab": 7}), encoding="utf-8")
    (tmp_path / "merges.txt").write_text("a b\n", encoding="utf-8")
    result = run("encode", "-m", str(tmp_path / "vocab.json"), "--merges", str(tmp_path / "merges.txt"),
                 stdin=b"abab a\n")
    # Neither the space nor the line break is in the vocabulary.
    assert result.stdout == b"7 7 1 5 1\n"


def test_info_reports_model_statistics(model_path):
    result = run("info", "-m", str(model_path))
    assert result.returncode == 0, result.stderr
    tokenizer = morfex.load(model_path)
    lines = result.stdout.decode("utf-8").splitlines()
    assert lines[:7] == [
        f"model: {model_path}",
        f"tokens: {len(tokenizer.vocab)}",
        f"merges: {len(tokenizer.merges)}",
        f"ids: 0 to {len(tokenizer) - 1}",
        "special tokens: <pad>=0 <unk>=1 <s>=2 </s>=3",
        "marker: id 4",
        "single characters: 12",
    ]
    assert lines[7].startswith("longest token: '") and lines[8].startswith("mean token length: ")


@pytest.mark.parametrize(
    ("args", "stdin", "code", "message", "out"),
    [
        (["encode", "-m", "{tmp}/absent.json"], b"", 1, "{tmp}/absent.json: cannot read: No such file or directory", b""),
        (["decode", "-m", "{tmp}/bad.json"], b"", 1, "{tmp}/bad.json: not valid JSON: Expecting value: line 1 column 1", b""),
        (["decode"], b"0 3\n7 x\n", 1, "<stdin>: line 2: 'x' is not a token id (0 to 4294967295)", b""),
        (["decode", "--words"], b"0 3\n7 x\n", 1, "<stdin>: line 2: 'x' is not a token id (0 to 4294967295)", b"\n"),
        (["decode"], b"4294967296\n", 1, "<stdin>: line 1: '4294967296' is not a token id (0 to 4294967295)", b""),
        (["decode"], b"-1\n", 1, "<stdin>: line 1: '-1' is not a token id (0 to 4294967295)", b""),
        (["encode"], b"\xffbad\n", 1, "<stdin>: line 1: not UTF-8 text (bad byte at column 1)", b""),
        (["encode", "--words"], b"\n\xffbad\n", 1, "<stdin>: line 2: not UTF-8 text (bad byte at column 1)", b"\n"),
        (["encode", "--words", "--segmenter", "none"], b"", 2,
         "--segmenter segments running text: it cannot go with --words", b""),
        (["encode", "--words", "--markers"], b"", 2,
         "--markers keeps the marker ids of running text: --words keeps them always", b""),
        (["encode", "--segmenter", "morfessor"], b"", 2, "argument --segmenter: invalid choice: 'morfessor'", b""),
        (["encode", "-m", "{tmp}/bad.json", "--merges", "{tmp}/absent.txt"], b"", 1,
         "{tmp}/absent.txt: cannot read: No such file or directory", b""),
        (["encode", "-o", "/dev/full"], b"a\n", 1, "/dev/full: cannot write: No space left on device", b""),
        (["encode", "{tmp}/absent.txt"], b"", 1, "{tmp}/absent.txt: cannot read: No such file or directory", b""),
        (["encode", "--merges", "m.txt"], b"", 2, "--merges needs --model (the vocab.json it belongs to)", b""),
        (["encode", "-o", "{tmp}/no/such/dir/out"], b"", 1, "{tmp}/no/such/dir/out: cannot write: No such file or directory", b""),
        (["train", "-"], b"ab\nab\t0\n", 1, "<stdin>: line 2: count '0' is not an integer from 1 to 4294967295", b""),
        (["train", "{tmp}/absent.txt"], b"", 1, "{tmp}/absent.txt: cannot read: No such file or directory", b""),
        (["train", "-", "--vocab-size", "-5"], b"", 2, "argument --vocab-size: -5 is below 0", b""),
        (["train", "-", "--min-frequency", "x"], b"", 2, "argument --min-frequency: 'x' is not an integer", b""),
        (["train"], b"", 2, "one of the arguments corpus --text is required", b""),
        ([], b"", 2, "the following arguments are required: COMMAND", b""),
        (["frobnicate"], b"", 2, "argument COMMAND: invalid choice: 'frobnicate'", b""),
    ],
)
def test_errors_and_exit_codes(tmp_path, args, stdin, code, message, out):
    (tmp_path / "bad.json").write_text("")
    result = run(*[arg.replace("{tmp}", str(tmp_path)) for arg in args], stdin=stdin)
    assert result.returncode == code
    assert result.stdout == out  # lines before a faulty one are already written
    last_line = result.stderr.decode().splitlines()[-1]
    assert last_line.startswith("morfex")
    assert message.replace("{tmp}", str(tmp_path)) in last_line
    if code == 1:
        assert last_line == "morfex: error: " + message.replace("{tmp}", str(tmp_path))


@pytest.mark.parametrize("command", [[], ["train"], ["encode"], ["decode"], ["info"]])
def test_help_exits_zero_and_describes_the_command(command):
    result = run(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(b"usage: morfex")
    assert b"Traceback" not in result.stderr


def test_console_script_is_installed():
    script = Path(sysconfig.get_path("scripts")) / "morfex"
    result = subprocess.run([str(script), "info"], capture_output=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b"model: default model (polish.morfex.json)\n")


def test_progress_bar_only_on_a_terminal(tmp_path):
    import fcntl
    import pty
    import struct
    import termios

    (tmp_path / "corpus.txt").write_text(CORPUS * 50, encoding="utf-8")
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        result = subprocess.run(
            [sys.executable, "-m", "morfex", "train", str(tmp_path / "corpus.txt"), "-o", str(tmp_path / "m.json")],
            stderr=terminal, stdout=subprocess.PIPE,
        )
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0
    assert b"train: 100%" in shown


@pytest.mark.parametrize("command", [["train", "-"], ["encode"], ["encode", "--words"], ["decode"]])
def test_a_utf8_fault_is_worded_alike_by_every_command(command):
    result = run(*command, stdin=b"12\nk\xc5\xc5\n")
    assert result.returncode == 1
    assert result.stderr == b"morfex: error: <stdin>: line 2: not UTF-8 text (bad byte at column 2)\n"


def test_version_comes_from_the_package_metadata():
    result = run("--version")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == f"morfex {importlib.metadata.version('morfex')}\n".encode()


@pytest.mark.parametrize("command", [["encode"], ["decode"], ["train", "-"], ["info"]])
def test_closed_standard_output_is_a_one_line_error(command):
    closed = ["sh", "-c", 'exec "$@" >&-', "sh", sys.executable, "-m", "morfex", *command]
    result = subprocess.run(closed, input=CORPUS.encode(), capture_output=True)
    assert (result.returncode, result.stderr) == (1, b"morfex: error: standard output is closed\n")


def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path):
    big = tmp_path / "big.txt"
    big.write_text("kot▁ami dom▁u\n" * 200_000, encoding="utf-8")
    with open(big, "rb") as stdin:
        process = subprocess.Popen([sys.executable, "-m", "morfex", "encode"], stdin=stdin,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = process.stdout.readline()
        process.stdout.close()
        stderr = process.stderr.read()
        process.wait()
    assert first.strip()
    assert (process.returncode, stderr) == (128 + signal.SIGPIPE, b"")


PREVIOUS = b"previous contents\n"


def interrupt_on_call(monkeypatch, owner, name, after):
    original = getattr(owner, name)
    calls = []

    def interrupted(*args, **kwargs):
        calls.append(None)
        if len(calls) > after:
            raise KeyboardInterrupt
        return original(*args, **kwargs)

    monkeypatch.setattr(owner, name, interrupted)


# Each command that writes a file, with its input: whole, with a bad line
# after a good one, and the hook that interrupts it midway.
WRITERS = {
    "train": (["train", "{input}"], CORPUS.encode(), b"ab\nab\t0\n",
              lambda monkeypatch: interrupt_on_call(monkeypatch, cli.train, "train_bytes", 0)),
    "encode": (["encode", "-m", "{model}", "{input}"], "kot▁ami\n".encode() * 3, "kot▁ami\n".encode() + b"\xff\n",
               lambda monkeypatch: interrupt_on_call(monkeypatch, engine, "encode_text_chunk", 0)),
    "encode --words": (["encode", "--words", "-m", "{model}", "{input}"], "kot▁ami\n".encode() * 3,
                       "kot▁ami\n".encode() + b"\xff\n",
                       lambda monkeypatch: interrupt_on_call(monkeypatch, engine, "encode_chunk", 0)),
    "decode": (["decode", "-m", "{model}", "{input}"], b"5 6\n" * 3, b"5 6\nx\n",
               lambda monkeypatch: interrupt_on_call(monkeypatch, Tokenizer, "decode_text_batch", 0)),
    "decode --words": (["decode", "--words", "-m", "{model}", "{input}"], b"5 6\n" * 3, b"5 6\nx\n",
                       lambda monkeypatch: interrupt_on_call(monkeypatch, Tokenizer, "decode_batch", 0)),
}


@pytest.fixture
def previous_output(tmp_path):
    target = tmp_path / "out" / "result.txt"
    target.parent.mkdir()
    target.write_bytes(PREVIOUS)
    target.chmod(0o600)
    return target


def writer_args(command, tmp_path, model_path, target):
    args, *_ = WRITERS[command]
    names = {"input": str(tmp_path / "input.txt"), "model": str(model_path)}
    return [arg.format(**names) for arg in args] + ["-q", "-o", str(target)]


@pytest.mark.parametrize("fault", ["missing input", "bad line", "interrupt"])
@pytest.mark.parametrize("command", WRITERS)
def test_a_failed_run_leaves_the_output_file_as_it_was(
    tmp_path, model_path, previous_output, monkeypatch, capsys, command, fault
):
    _, good, bad, interrupt = WRITERS[command]
    args = writer_args(command, tmp_path, model_path, previous_output)
    if fault != "missing input":
        (tmp_path / "input.txt").write_bytes(bad if fault == "bad line" else good)
    if fault == "interrupt":
        interrupt(monkeypatch)
    status = cli.main(args)
    message = capsys.readouterr().err
    if fault == "interrupt":
        assert (status, message) == (130, "morfex: interrupted\n")
    else:
        assert status == 1 and message.startswith("morfex: error: ")
    assert ("cannot read" in message) == (fault == "missing input")
    assert previous_output.read_bytes() == PREVIOUS
    assert os.listdir(previous_output.parent) == ["result.txt"]


@pytest.mark.parametrize("command", WRITERS)
def test_a_finished_output_gets_the_mode_of_a_new_file(tmp_path, model_path, previous_output, command):
    _, good, *_ = WRITERS[command]
    (tmp_path / "input.txt").write_bytes(good)
    link = tmp_path / "link.txt"
    link.symlink_to(previous_output)
    mask = os.umask(0o027)
    try:
        result = run(*writer_args(command, tmp_path, model_path, link))
    finally:
        os.umask(mask)
    assert (result.returncode, result.stderr) == (0, b"")
    assert link.is_symlink()
    assert previous_output.read_bytes() not in (PREVIOUS, b"")
    assert previous_output.stat().st_mode & 0o777 == 0o640
    assert os.listdir(previous_output.parent) == ["result.txt"]


def test_output_to_a_device_is_written_in_place(model_path):
    result = run("encode", "-m", str(model_path), "-o", os.devnull, stdin="kot▁ami\n".encode())
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


def test_sigint_midway_leaves_the_output_file_as_it_was(model_path, previous_output):
    process = subprocess.Popen(
        [sys.executable, "-m", "morfex", "encode", "-q", "-m", str(model_path), "-o", str(previous_output)],
        stdin=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    # Enough lines that part of the output has reached the temporary file.
    process.stdin.write("kot▁ami dom▁u\n".encode() * 20_000)
    process.stdin.flush()
    deadline = time.monotonic() + 60
    while not any(entry.stat().st_size for entry in previous_output.parent.iterdir() if entry != previous_output):
        assert time.monotonic() < deadline and process.poll() is None
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert (process.returncode, stderr) == (130, b"morfex: interrupted\n")
    assert previous_output.read_bytes() == PREVIOUS
    assert os.listdir(previous_output.parent) == ["result.txt"]


# A model that knows spaces and line breaks, with byte fallback for the rest.
TEXT_VOCAB = {"<unk>": 0, "▁": 1, "a": 2, "b": 3, " ": 4, "\n": 5, "\r": 6, " a": 7, "ab": 8, "\\": 9, " ab": 10}
TEXT_MERGES = [(" ", "a"), ("a", "b"), (" a", "b")]


def text_model(tmp_path, byte_fallback=True, vocab=TEXT_VOCAB):
    vocab = dict(vocab)
    if byte_fallback:
        vocab.update({f"<0x{value:02X}>": 100 + value for value in range(256)})
    path = tmp_path / ("bytes.json" if byte_fallback else "plain.json")
    Tokenizer(vocab, TEXT_MERGES, byte_fallback=byte_fallback).save(path)
    return str(path)


@pytest.mark.parametrize(
    ("args", "text", "out"),
    [
        ([], "ab ab\n", "8 10 5\n"),
        ([], "ab\r\n\nb", "8 6 5\n5\n3\n"),
        (["--tokens"], "ab ab\r\n", "ab ␣ab \\r \\n\n"),
        (["--tokens"], "a\\ ␣\t\x85\n", "a \\\\ ␣ <0xE2> <0x90> <0xA3> <0x09> <0xC2> <0x85> \\n\n"),
        (["--tokens"], "ą", "<0xC4> <0x85>\n"),
        (["--tokens", "--words"], "ab ab\r\n", "ab ab\n"),
        (["--words"], "ab ab\n\n", "8 8\n\n"),
    ],
)
def test_encode_running_text_exactly(tmp_path, args, text, out):
    result = run("encode", "-m", text_model(tmp_path), *args, stdin=text.encode())
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == out


@pytest.mark.parametrize(
    ("byte_fallback", "ids", "text"),
    [
        (True, "8 10 5\n8", "ab ab\nab"),
        (True, "100 108\n", "\x00\x08"),
        (True, "296 165\n", "\ufffdA"),  # a lead byte without its continuation
        (True, "355\n", "\ufffd"),
        (True, "296 1 233\n", "\ufffd\ufffd"),  # the marker ends a run of byte tokens
        (True, "296 233 0 2 4000\n", "ąa"),  # unknown and special ids are dropped
        (False, "8 5 2\n", "ab\na"),
    ],
)
def test_decode_writes_exactly_the_text(tmp_path, byte_fallback, ids, text):
    result = run("decode", "-m", text_model(tmp_path, byte_fallback), stdin=ids.encode())
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == text


def test_without_a_line_break_token_line_breaks_are_unk(tmp_path):
    vocab = {token: value for token, value in TEXT_VOCAB.items() if token != "\n"}
    model = text_model(tmp_path, False, vocab)
    encoded = run("encode", "-m", model, stdin=b"ab\nb a\n")
    assert encoded.stdout == b"8 0\n3 7 0\n"
    decoded = run("decode", "-m", model, stdin=encoded.stdout)
    assert (decoded.returncode, decoded.stdout) == (0, b"abb a")


TRICKY = {
    "no final line break": "Ala ma kota",
    "CR LF and empty lines": "Ala\r\n\r\n\n ma\r\nkota\n\n",
    "spaces and tabs": "  Ala \t ma  kota \n\t\n   ",
    "unknown characters": "żółw 🐢 ☃, 猫 — x²\u0301\n",
    "other whitespace": "a\u00a0b\u3000c\u2028d\x85e\x0bf\x0cg\x1ch\n",
    "backslashes and open boxes": "C:\\dir\\n ␣ \\\\ \\u2423\n",
    "controls": "\x00\x01\x7f\x1b[0m\n",
}


@pytest.fixture(scope="module")
def trained_text_model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("trained")
    tokenizer = morfex.train_counts({"Ala": 3, " ma": 3, " kota": 2, "\n": 4, " ": 2, "\r\n": 2, "ko▁ta": 1},
                                    vocab_size=300, min_frequency=1, byte_fallback=True)
    tokenizer.save(directory / "model.json")
    return str(directory / "model.json")


@pytest.mark.parametrize("text", TRICKY.values(), ids=TRICKY.keys())
def test_round_trip_of_tricky_text(tmp_path, monkeypatch, capsysbinary, trained_text_model, text):
    data = text.encode("utf-8")
    encoded = run("encode", "-m", trained_text_model, stdin=data)
    assert (encoded.returncode, encoded.stderr) == (0, b"")
    tokenizer = morfex.load(trained_text_model)
    lines = [line for line in re.findall(r"[^\n]*\n|[^\n]+", text)]
    assert encoded.stdout.decode() == "".join(" ".join(map(str, tokenizer.encode_text(line))) + "\n" for line in lines)
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(encoded.stdout)))
    assert cli.main(["decode", "-q", "-m", trained_text_model]) == 0
    assert capsysbinary.readouterr() == (data, b"")
    (tmp_path / "in.txt").write_bytes(data)
    assert cli.main(["encode", "-q", "-m", trained_text_model, str(tmp_path / "in.txt"), "--format", "npy",
                     "-o", str(tmp_path / "ids.npy")]) == 0
    ids, offsets = np.load(tmp_path / "ids.npy"), np.load(tmp_path / "ids.offsets.npy")
    assert tokenizer.decode_text_flat(ids, offsets) == lines


def double_letters(word):
    return "▁".join(word)


@pytest.mark.parametrize(
    ("args", "out"),
    [
        ([], "A l a ␣m a \\n\n"),
        (["--markers"], "A ▁ l ▁ a ␣m ▁ a \\n\n"),
        (["--segmenter", "none"], "Ala ␣ma \\n\n"),
        (["--segmenter", "none", "--markers"], "Ala ␣ma \\n\n"),
    ],
)
def test_the_models_segmenter_is_used_unless_none(tmp_path, monkeypatch, capsysbinary, args, out):
    tokenizer = morfex.train_counts({"Ala": 2, " ma": 2, "\n": 2, "Al": 2}, vocab_size=20, min_frequency=1)
    tokenizer.segmenter = double_letters
    monkeypatch.setattr(common, "load", lambda path, merges: tokenizer)
    (tmp_path / "in.txt").write_text("Ala ma\n", encoding="utf-8")
    status = cli.main(["encode", "-q", "-m", "model", "--tokens", str(tmp_path / "in.txt"), *args])
    assert (status, capsysbinary.readouterr()) == (0, (out.encode(), b""))


def test_many_lines_give_the_same_ids_on_any_number_of_threads(tmp_path, trained_text_model):
    text = "".join(f"Ala ma {index} kota{'!' * (index % 7)}\r\n" for index in range(6000))
    (tmp_path / "in.txt").write_text(text, encoding="utf-8")
    outputs = []
    for threads in ("1", "2"):
        result = subprocess.run([sys.executable, "-m", "morfex", "encode", "-m", trained_text_model, str(tmp_path / "in.txt")],
                                capture_output=True, env={**os.environ, engine.THREADS_VARIABLE: threads})
        assert result.returncode == 0, result.stderr
        outputs.append(result.stdout)
    tokenizer = morfex.load(trained_text_model)
    lines = re.findall(r"[^\n]*\n", text)
    assert outputs[0] == outputs[1]
    assert outputs[0].decode().splitlines() == [" ".join(map(str, ids)) for ids in tokenizer.encode_text_batch(lines, threads=1)]


@pytest.mark.parametrize(
    ("token", "shown"),
    [
        (" kot▁ami", "␣kot▁ami"),
        ("\r\n", "\\r\\n"),
        ("a\\n", "a\\\\n"),
        ("␣", "\\u2423"),
        ("\xa0\u2028\x85\x1b\U000e0001", "\\xa0\\u2028\\x85\\x1b\\U000e0001"),
        ("<0x0A>", "<0x0A>"),
    ],
)
def test_tokens_show_as_one_field_that_reads_one_way(token, shown):
    assert running_lines.show_token(token) == shown
    # Read back with Python's escapes, the display gives the token again.
    assert re.sub(r"\\(x..|u....|U........|[\\nrt])", lambda m: ast.literal_eval(f'"{m[0]}"'), shown.replace("␣", " ")) == token

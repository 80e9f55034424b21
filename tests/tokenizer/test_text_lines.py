"""Lines of running text read from UTF-8 bytes (Tokenizer.encode_text_lines),
checked against encode_text_flat of the same lines cut and decoded in Python."""

from __future__ import annotations

import _thread
import gc
import sys
import threading
import time

import numpy as np
import pytest

import morfex
from morfex.vocabulary import byte_token

MARKER = "\u2581"
SHIPPED = morfex.default_model()

# A small model whose unknown characters go to byte tokens, and the same without them (unknown is <unk>).
SMALL_VOCAB = {"<pad>": 0, "<unk>": 1, MARKER: 2} | {c: 3 + i for i, c in enumerate(" \n\r\tabkmotu.,")}
SMALL_VOCAB |= {" k": 20, " ko": 21, "ko": 22, "kot": 23, "um": 24, "\r\n": 25}
SMALL_MERGES = [(" ", "k"), (" k", "o"), ("k", "o"), ("ko", "t"), ("u", "m"), ("\r", "\n")]
BYTES_VOCAB = SMALL_VOCAB | {byte_token(b): 100 + b for b in range(256)}
MODELS = {
    "shipped": SHIPPED,
    "small-bytes": morfex.Tokenizer(BYTES_VOCAB, SMALL_MERGES, byte_fallback=True),
    "small-plain": morfex.Tokenizer(SMALL_VOCAB, SMALL_MERGES),
}


def cut_in_half(word: str) -> str:
    """A Python segmenter: words of four characters or more split after their second."""
    return word[:2] + MARKER + word[2:] if len(word) >= 4 else word


SEGMENTERS = {"own": morfex.tokenizer.OWN_SEGMENTER, "none": None, "callable": cut_in_half}

INPUTS = {
    "empty": b"",
    "one-break": b"\n",
    "breaks-only": b"\n\n\n",
    "no-final-break": "Ala ma kota\nkot um".encode(),
    "crlf": b"kot um\r\nko\r\n\r\nt\r\n",
    "lone-cr": b"kot\rum\r\n\rko\r",
    "multi-byte": "Zażółć gęślą jaźń\n\U0001F600 kot\u00a0um\nmęż\u0301czyzna 12,5 €\n".encode(),
    "long-line": ("kot um, " * 20_000 + "koniec").encode() + b"\n" + "ślę".encode() * 5_000,
    "tabs-and-spaces": b"  kot\t\tum  \n\t\n   \n",
    "many-lines": b"".join(b"kot %d um\n" % (i % 97) for i in range(3_000)),
}


def reference_lines(data: bytes) -> list[str]:
    """`data` decoded and cut after each "\\n"; text after the last one is one more line."""
    lines = data.decode("utf-8").split("\n")
    last = lines.pop()
    return [line + "\n" for line in lines] + ([last] if last else [])


def flat_reference(tokenizer: morfex.Tokenizer, data: bytes, **options: object) -> tuple[list[int], list[int]]:
    ids, offsets = tokenizer.encode_text_flat(reference_lines(data), threads=1, **options)
    return ids.tolist(), offsets.tolist()


@pytest.mark.parametrize("segmenter", SEGMENTERS.values(), ids=SEGMENTERS.keys())
@pytest.mark.parametrize("model", MODELS.values(), ids=MODELS.keys())
@pytest.mark.parametrize("data", INPUTS.values(), ids=INPUTS.keys())
def test_lines_match_encode_text_flat(model, segmenter, data) -> None:
    for markers in (False, True):
        expected = flat_reference(model, data, markers=markers, segmenter=segmenter)
        for threads in (1, 2, 3):
            ids, offsets = model.encode_text_lines(data, threads=threads, markers=markers, segmenter=segmenter)
            assert ids.dtype == np.uint32 and offsets.dtype == np.int64
            assert (ids.tolist(), offsets.tolist()) == expected, (markers, threads)


@pytest.mark.parametrize("segmenter", SEGMENTERS.values(), ids=SEGMENTERS.keys())
def test_lines_beyond_one_block(segmenter) -> None:
    # More lines than one block of the native loop, with words new to each block.
    data = b"".join(b"kot%d um\n" % i for i in range(70_000)) + b"ko"
    expected = flat_reference(SHIPPED, data, markers=True, segmenter=segmenter)
    for threads in (1, 3):
        ids, offsets = SHIPPED.encode_text_lines(data, threads=threads, markers=True, segmenter=segmenter)
        assert (ids.tolist(), offsets.tolist()) == expected


def test_input_of_several_slices() -> None:
    # Longer than the slices that the native side checks and cuts one at a time.
    data = "kot um ślę,\n".encode() * 700_000 + b"a" * (5 << 20) + b"\nkoniec"
    ids, offsets = SHIPPED.encode_text_lines(data, threads=2)
    assert (ids.tolist(), offsets.tolist()) == flat_reference(SHIPPED, data)


def test_each_line_decodes_to_itself() -> None:
    data = INPUTS["multi-byte"] + INPUTS["crlf"] + INPUTS["lone-cr"]
    ids, offsets = SHIPPED.encode_text_lines(data, threads=2)
    assert SHIPPED.decode_text_flat(ids, offsets) == reference_lines(data)


@pytest.mark.parametrize(
    "data",
    [b"kot um\n", bytearray(b"kot um\n"), memoryview(b"xkot um\n")[1:], np.frombuffer(b"kot um\n", dtype=np.uint8)],
    ids=["bytes", "bytearray", "memoryview-slice", "numpy"],
)
def test_any_contiguous_buffer_is_read(data) -> None:
    ids, offsets = SHIPPED.encode_text_lines(data)
    assert (ids.tolist(), offsets.tolist()) == flat_reference(SHIPPED, b"kot um\n")


@pytest.mark.parametrize(
    ("data", "error", "message"),
    [
        ("kot\n", TypeError, "'str' object cannot be converted to 'bytes-like object'"),
        (5, TypeError, "a bytes-like object is required, not 'int'"),
        (memoryview(b"kot um\n")[::2], BufferError, "memoryview: underlying buffer is not C-contiguous"),
    ],
    ids=["str", "int", "strided"],
)
def test_input_that_is_no_contiguous_buffer(data, error, message) -> None:
    with pytest.raises(error) as raised:
        SHIPPED.encode_text_lines(data)
    assert str(raised.value) == message


BAD_UTF8 = [
    (b"\xffkot\n", 0),
    (b"kot\num\xfe ko\n", 6),
    ("kot ż".encode() + b"\xc5", 6),
    ("ż".encode() + b"\xe2\x82", 2),
    (b"x\xed\xa0\x80y\n", 1),
    (b"\xc0\xafkot", 0),
    (b"kot\xf4\x90\x80\x80", 3),
    (b"kot um\n" * 20_000 + b"\x80", 140_000),
    # Past the first slice that the native side checks on its own, and at its edges.
    (b"kot um\n" * 700_000 + b"\x80", 4_900_000),
    (b"a" * (4 << 20) + b"\xc5\nkot", 4 << 20),
    (b"a" * (4 << 20) + b"\n\xffkot", (4 << 20) + 1),
    (b"a" * (4 << 20) + b"\xe2\x82", 4 << 20),
]


@pytest.mark.parametrize("segmenter", SEGMENTERS.values(), ids=SEGMENTERS.keys())
@pytest.mark.parametrize(("data", "offset"), BAD_UTF8, ids=[str(o) for _, o in BAD_UTF8])
def test_bad_utf8_names_its_first_byte(data, offset, segmenter) -> None:
    with pytest.raises(UnicodeDecodeError) as decoding:
        data.decode("utf-8")
    assert decoding.value.start == offset
    for threads in (1, 3):
        with pytest.raises(ValueError) as raised:
            SHIPPED.encode_text_lines(data, threads=threads, segmenter=segmenter)
        assert str(raised.value) == f"invalid UTF-8 at byte offset {offset}"
        assert raised.value.offset == offset


def test_bad_utf8_is_found_before_any_word_is_segmented() -> None:
    seen: list[str] = []

    def segmenter(word: str) -> str:
        seen.append(word)
        return word

    with pytest.raises(ValueError):
        SHIPPED.encode_text_lines(b"kot um\n\xff", segmenter=segmenter)
    assert seen == []


class SegmenterFault(Exception):
    pass


def test_exception_of_a_python_segmenter_propagates() -> None:
    def segmenter(word: str) -> str:
        if word == "um":
            raise SegmenterFault(word)
        return word

    with pytest.raises(SegmenterFault, match="^um$"):
        SHIPPED.encode_text_lines(b"kot\nko um\n", segmenter=segmenter, threads=2)


@pytest.mark.parametrize(
    "segmenter",
    [lambda word: word + "x", lambda word: word.encode(), lambda word: 1 / 0],
    ids=["changes-word", "returns-bytes", "raises-value-error"],
)
def test_segmenter_faults_name_the_line_as_encode_text_flat_names_the_text(segmenter) -> None:
    data = b"kot\nko um\n"
    with pytest.raises(Exception) as flat:
        SHIPPED.encode_text_flat(reference_lines(data), segmenter=segmenter)
    with pytest.raises(Exception) as lines:
        SHIPPED.encode_text_lines(data, segmenter=segmenter)
    assert type(lines.value) is type(flat.value)
    assert str(lines.value) == str(flat.value)


def test_reference_counts_and_buffer_export_are_released() -> None:
    def segmenter(word: str) -> str:
        if word == "fail":
            raise SegmenterFault(word)
        return word

    text = "kot um ślę\n".encode() * 50
    # Success, bad UTF-8 and a failing segmenter, each on its own bytearray.
    inputs = [bytearray(text), bytearray(text + b"\xff"), bytearray(text + b"fail\n")]

    def counts() -> list[int]:
        return [sys.getrefcount(data) for data in inputs] + [sys.getrefcount(segmenter)]

    before = counts()
    for k in range(len(inputs)):
        for _ in range(50):
            try:
                SHIPPED.encode_text_lines(inputs[k], threads=2, segmenter=segmenter)
            except (ValueError, SegmenterFault):
                pass
    assert counts() == before
    for data in inputs:
        # No buffer export is left behind: each bytearray can still change size.
        data.extend(b"ko\n")


@pytest.mark.parametrize("segmenter", [None, cut_in_half], ids=["native", "python-segmenter"])
@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_chunk_early(threads, segmenter) -> None:
    line = "Ala ma kota, a kot ma 12 ps\u00f3w \u20ac.\n".encode()
    data = line * 6_000_000  # far more than a second of work
    part, parts = data[: len(line) * 60_000], 100
    # The interrupt is bounded by this machine's own pace: a hundredth of the
    # work is timed uninterrupted first, so a busy machine slows both alike,
    # and the interrupted call must end within half the whole call's time.
    gc.disable()
    try:
        start = time.monotonic()
        SHIPPED.encode_text_lines(part, threads=threads, segmenter=segmenter)
        whole_time = parts * (time.monotonic() - start)
        timer = threading.Timer(min(0.3, whole_time / 30), _thread.interrupt_main)
        timer.start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            SHIPPED.encode_text_lines(data, threads=threads, segmenter=segmenter)
        elapsed = time.monotonic() - start
    finally:
        gc.enable()
    timer.join()
    assert elapsed < whole_time / 2, (elapsed, whole_time)
    assert SHIPPED.encode_text_lines(line)[0].tolist() == SHIPPED.encode_text(line.decode())

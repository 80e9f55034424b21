"""Framing, truncation and padding of batches, against a plain-Python model of each rule."""

from __future__ import annotations

from typing import Any

import numpy as np
import pytest

import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER
from morfex.sequences import Framing, frame

BOS, EOS, PAD = 2, 3, 0


def reference_frame(seqs: list[list[int]], bos: int | None, eos: int | None, max_length: int | None) -> list[list[int]]:
    head = [] if bos is None else [bos]
    tail = [] if eos is None else [eos]
    room = None if max_length is None else max_length - len(head) - len(tail)
    return [head + (seq if room is None else seq[:room]) + tail for seq in seqs]


def reference_pad(
    seqs: list[list[int]], pad_id: int, length: int | None, side: str, multiple_of: int | None
) -> tuple[list[list[int]], list[list[int]]]:
    width = max(map(len, seqs), default=0) if length is None else length
    while multiple_of is not None and width % multiple_of:
        width += 1
    rows, masks = [], []
    for seq in seqs:
        fill = width - len(seq)
        rows.append(seq + [pad_id] * fill if side == "right" else [pad_id] * fill + seq)
        masks.append([1] * len(seq) + [0] * fill if side == "right" else [0] * fill + [1] * len(seq))
    return rows, masks


def flat(seqs: list[list[int]]) -> tuple[np.ndarray, np.ndarray]:
    offsets = np.zeros(len(seqs) + 1, dtype=np.int64)
    np.cumsum([len(seq) for seq in seqs], out=offsets[1:])
    return np.array([i for seq in seqs for i in seq], dtype=np.uint32), offsets


def nested(ids: np.ndarray, offsets: np.ndarray) -> list[list[int]]:
    return [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(offsets) - 1)]


def random_batches() -> list[list[list[int]]]:
    rng = np.random.default_rng(11)
    batches: list[list[list[int]]] = [[], [[]], [[], [], []], [[7]]]
    for count in (1, 5, 40):
        batches.append([rng.integers(4, 1 << 32, size=n).tolist() for n in rng.integers(0, 13, size=count)])
    return batches


BATCHES = random_batches()

FRAMINGS = [
    (None, None, None),
    (BOS, None, None),
    (None, EOS, None),
    (BOS, EOS, None),
    (None, None, 0),
    (None, None, 3),
    (BOS, None, 1),
    (None, EOS, 1),
    (BOS, EOS, 2),
    (BOS, EOS, 3),
    (BOS, EOS, 7),
    (BOS, EOS, 100),
]


@pytest.mark.parametrize(("bos", "eos", "max_length"), FRAMINGS)
def test_frame_matches_the_reference(bos: int | None, eos: int | None, max_length: int | None) -> None:
    for seqs in BATCHES:
        ids, offsets = frame(*flat(seqs), Framing(bos, eos, max_length))
        assert ids.dtype == np.uint32 and offsets.dtype == np.int64
        assert nested(ids, offsets) == reference_frame(seqs, bos, eos, max_length)


def test_frame_reads_only_its_span_of_ids() -> None:
    ids = np.array([9, 9, 5, 6, 7, 9], dtype=np.uint32)
    framed, offsets = frame(ids, np.array([2, 4, 5]), Framing(BOS, EOS, 3))
    assert nested(framed, offsets) == [[BOS, 5, EOS], [BOS, 7, EOS]]


PADDINGS = [
    (None, "right", None),
    (None, "left", None),
    (None, "right", 1),
    (None, "right", 4),
    (None, "left", 8),
    (12, "right", None),
    (12, "left", 5),
    (16, "right", 8),
    (0, "right", None),
]


@pytest.mark.parametrize(("length", "side", "multiple_of"), PADDINGS)
def test_pad_matches_the_reference_and_unpad_inverts_it(length: int | None, side: str, multiple_of: int | None) -> None:
    for seqs in BATCHES:
        if length is not None and any(len(seq) > length for seq in seqs):
            continue
        ids, offsets = flat(seqs)
        options: dict[str, Any] = {"length": length, "side": side, "multiple_of": multiple_of}
        matrix, mask = morfex.pad(ids, offsets, pad_id=-100, **options)
        assert matrix.dtype == np.int64 and mask.dtype == np.uint8 and matrix.shape == mask.shape
        assert matrix.shape[0] == len(seqs)
        assert (matrix.tolist(), mask.tolist()) == reference_pad(seqs, -100, length, side, multiple_of)
        back_ids, back_offsets = morfex.unpad(matrix, mask)
        assert back_ids.dtype == np.uint32 and back_offsets.dtype == np.int64
        assert back_ids.tolist() == ids.tolist() and back_offsets.tolist() == offsets.tolist()


def test_length_exactly_the_longest_row_is_no_padding() -> None:
    seqs = [[5, 6, 7], [8]]
    matrix, mask = morfex.pad(*flat(seqs), pad_id=PAD, length=3)
    assert matrix.tolist() == [[5, 6, 7], [8, 0, 0]] and mask.tolist() == [[1, 1, 1], [1, 0, 0]]


def test_pad_takes_plain_lists_and_any_starting_offset() -> None:
    matrix, mask = morfex.pad([9, 5, 6, 7], [1, 3, 4], pad_id=PAD, side="left")
    assert matrix.tolist() == [[5, 6], [0, 7]] and mask.tolist() == [[1, 1], [0, 1]]


def test_unpad_reads_a_boolean_mask_with_holes() -> None:
    ids, offsets = morfex.unpad([[5, 1, 6], [7, 8, 9]], np.array([[1, 0, 1], [0, 0, 0]], dtype=bool))
    assert ids.tolist() == [5, 6] and offsets.tolist() == [0, 2, 2]


def example() -> morfex.Tokenizer:
    return morfex.Tokenizer(EXAMPLE_VOCAB, EXAMPLE_MERGES)


def lacking(*tokens: str) -> morfex.Tokenizer:
    vocab = {token: i for token, i in EXAMPLE_VOCAB.items() if token not in tokens}
    return morfex.Tokenizer(vocab, EXAMPLE_MERGES)


# Enough words for the batch to be split between threads.
WORDS = [MARKER.join(["k", "um", "ain", "bc", "aa"][: n % 6]) * (n % 4) for n in range(6000)]
TEXTS = [f"kum ain{n % 10} bc, a" * (n % 3) for n in range(5000)]
OPTIONS = [
    {},
    {"bos": True},
    {"eos": True, "max_length": 4},
    {"bos": True, "eos": True, "max_length": 2},
    {"bos": True, "eos": True, "max_length": 5, "side": "left", "multiple_of": 8},
    {"max_length": 3, "length": 3},
    {"bos": True, "eos": True, "length": 40, "multiple_of": 16},
]
PAD_ONLY = ("length", "side", "multiple_of")


def framing_of(options: dict[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in options.items() if key not in PAD_ONLY}


@pytest.mark.parametrize("options", OPTIONS, ids=str)
def test_word_forms_agree_with_the_reference_at_every_thread_count(options: dict[str, Any]) -> None:
    tok = example()
    plain = tok.encode_batch(WORDS, threads=1)
    framing = framing_of(options)
    expected = reference_frame(plain, BOS if framing.get("bos") else None, EOS if framing.get("eos") else None,
                               framing.get("max_length"))
    rows = reference_pad(expected, PAD, options.get("length"), options.get("side", "right"), options.get("multiple_of"))
    for threads in (1, 2):
        assert tok.encode_batch(WORDS, threads=threads, **framing) == expected
        assert nested(*tok.encode_flat(WORDS, threads=threads, **framing)) == expected
        matrix, mask = tok.encode_padded(WORDS, threads=threads, **options)
        assert (matrix.tolist(), mask.tolist()) == rows


@pytest.mark.parametrize("options", OPTIONS[1:5], ids=str)
def test_text_forms_agree_with_the_reference_at_every_thread_count(options: dict[str, Any]) -> None:
    tok = example()
    plain = tok.encode_text_batch(TEXTS, threads=1, markers=False, segmenter=None)
    framing = framing_of(options)
    expected = reference_frame(plain, BOS if framing.get("bos") else None, EOS if framing.get("eos") else None,
                               framing.get("max_length"))
    rows = reference_pad(expected, PAD, options.get("length"), options.get("side", "right"), options.get("multiple_of"))
    text = {"markers": False, "segmenter": None}
    for threads in (1, 2):
        assert tok.encode_text_batch(TEXTS, threads=threads, **text, **framing) == expected
        assert nested(*tok.encode_text_flat(TEXTS, threads=threads, **text, **framing)) == expected
        matrix, mask = tok.encode_text_padded(TEXTS, threads=threads, **text, **options)
        assert (matrix.tolist(), mask.tolist()) == rows


@pytest.mark.parametrize(
    ("call", "width"),
    [
        (lambda tok: tok.encode_padded([]), 0),
        (lambda tok: tok.encode_padded([], bos=True, multiple_of=4), 0),
        (lambda tok: tok.encode_text_padded([], length=6, multiple_of=4), 8),
    ],
)
def test_an_empty_batch_is_a_matrix_of_no_rows(call, width: int) -> None:
    matrix, mask = call(example())
    assert matrix.shape == mask.shape == (0, width)


def test_the_special_ids_come_from_the_vocabulary() -> None:
    vocab = {"<pad>": 40, "<s>": 41, "</s>": 42, "k": 5}
    matrix, mask = morfex.Tokenizer(vocab, []).encode_padded(["kk", ""], bos=True, eos=True)
    assert matrix.tolist() == [[41, 5, 5, 42], [41, 42, 40, 40]]


BAD_CALLS = [
    (lambda: lacking("<s>").encode_batch(["k"], bos=True), ValueError, "bos=True needs the token <s> in the vocabulary, or another named in special_tokens"),
    (lambda: lacking("</s>").encode_text_flat(["k"], eos=True), ValueError,
     "eos=True needs the token </s> in the vocabulary, or another named in special_tokens"),
    (lambda: lacking("<pad>").encode_padded(["k"]), ValueError, "padding needs the token <pad> in the vocabulary, or another named in special_tokens"),
    (lambda: lacking("<pad>").encode_text_padded(["k"]), ValueError, "padding needs the token <pad> in the vocabulary, or another named in special_tokens"),
    (lambda: lacking("<s>").encode_flat(["k"]), None, None),
    (lambda: example().encode_flat(["k"], bos=1), TypeError, "bos must be a bool, not int"),
    (lambda: example().encode_text_batch(["k"], eos=None), TypeError, "eos must be a bool, not NoneType"),
    (lambda: example().encode_flat(["k"], max_length=2.0), TypeError, "max_length must be an int or None, not float"),
    (lambda: example().encode_flat(["k"], max_length=True), TypeError, "max_length must be an int or None, not bool"),
    (lambda: example().encode_batch(["k"], max_length=-1), ValueError, "max_length must be at least 0, got -1"),
    (lambda: example().encode_flat(["k"], bos=True, eos=True, max_length=1), ValueError,
     "max_length must be at least 2 to hold bos and eos, got 1"),
    (lambda: example().encode_text_padded(["k"], eos=True, max_length=0), ValueError,
     "max_length must be at least 1 to hold eos, got 0"),
    (lambda: example().encode_flat(["k"], max_length=0), None, None),
    (lambda: example().encode_padded(["k"], length="3"), TypeError, "length must be an int or None, not str"),
    (lambda: example().encode_padded(["k"], length=-2), ValueError, "length must be at least 0, got -2"),
    (lambda: example().encode_padded(["k"], side=0), TypeError, "side must be a str, not int"),
    (lambda: example().encode_padded(["k"], side="both"), ValueError, "side must be 'right' or 'left', got 'both'"),
    (lambda: example().encode_padded(["k"], multiple_of=0), ValueError, "multiple_of must be at least 1, got 0"),
    (lambda: example().encode_padded(["k"], multiple_of=2.5), TypeError,
     "multiple_of must be an int or None, not float"),
    (lambda: example().encode_padded(["k", "kkk", "kkkk"], length=3), ValueError, "row 2 has 4 ids, more than length=3"),
    (lambda: example().encode_padded(["kkk"], eos=True, length=3), ValueError, "row 0 has 4 ids, more than length=3"),
    (lambda: morfex.pad([1], [0, 1], pad_id=None), TypeError, "pad_id must be an int, not NoneType"),
    (lambda: morfex.pad([1], [0, 1], pad_id=1 << 63), ValueError,
     "pad_id must be from -9223372036854775808 to 9223372036854775807, got 9223372036854775808"),
    (lambda: morfex.pad([1.5], [0, 1], pad_id=0), TypeError, "ids must be an array of integers, not of float64"),
    (lambda: morfex.pad([-1], [0, 1], pad_id=0), OverflowError, "ids must be from 0 to 4294967295, got -1"),
    (lambda: morfex.pad([1], ["a"], pad_id=0), TypeError, "offsets must be an array of integers, not of <U1"),
    (lambda: morfex.pad([1], [], pad_id=0), ValueError, "offsets must hold at least one value"),
    (lambda: morfex.pad([1], [-1, 1], pad_id=0), ValueError, "offsets[0] = -1 is negative"),
    (lambda: morfex.pad([1, 2], [0, 2, 1], pad_id=0), ValueError, "offsets[2] = 1 is below offsets[1] = 2"),
    (lambda: morfex.pad([1, 2], [0, 1, 5, 6], pad_id=0), ValueError, "offsets[2] = 5 is past the end of ids (2 ids)"),
    (lambda: morfex.pad([1, 2], [0, 2], pad_id=0, length=1), ValueError, "row 0 has 2 ids, more than length=1"),
    (lambda: morfex.unpad([[1.0]], [[1]]), TypeError, "matrix must be an array of integers, not of float64"),
    (lambda: morfex.unpad([[1]], [[0.5]]), TypeError, "mask must be an array of integers, not of float64"),
    (lambda: morfex.unpad([1], [1]), ValueError, "matrix must have 2 dimensions, got 1"),
    (lambda: morfex.unpad([[1]], [[[1]]]), ValueError, "mask must have 2 dimensions, got 3"),
    (lambda: morfex.unpad([[1, 2]], [[1], [1]]), ValueError, "mask must have the shape of matrix (1, 2), got (2, 1)"),
    (lambda: morfex.unpad([[1, 2]], [[1, 2]]), ValueError, "mask must hold only 0 and 1, got 2"),
    (lambda: morfex.unpad([[1, -100]], [[1, 1]]), OverflowError,
     "matrix must hold ids from 0 to 4294967295 where mask is 1, got -100"),
    (lambda: morfex.unpad([[1, -100]], [[1, 0]]), None, None),
]


@pytest.mark.parametrize(("call", "error", "message"), BAD_CALLS)
def test_messages(call, error: type[Exception] | None, message: str | None) -> None:
    if error is None:
        call()
        return
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_bad_arguments_are_refused_before_any_word_is_read() -> None:
    def words():
        raise AssertionError("the words were read")
        yield "k"

    for options in ({"side": "up"}, {"max_length": -1}, {"bos": "yes"}):
        with pytest.raises((TypeError, ValueError)):
            example().encode_padded(words(), **options)


def test_padding_agrees_with_hugging_face_tokenizers() -> None:
    tokenizers = pytest.importorskip("tokenizers")
    # tokenizers refuses a merge whose result is not a token.
    merges = [(left, right) for left, right in EXAMPLE_MERGES if left + right in EXAMPLE_VOCAB]
    tok = morfex.Tokenizer(EXAMPLE_VOCAB, merges)
    hf = tokenizers.Tokenizer(tokenizers.models.BPE(vocab=dict(EXAMPLE_VOCAB), merges=merges, unk_token="<unk>"))
    hf.add_special_tokens(list(morfex.SPECIAL_TOKENS))
    hf.post_processor = tokenizers.processors.TemplateProcessing(
        single="<s> $A </s>", special_tokens=[("<s>", BOS), ("</s>", EOS)]
    )
    words = WORDS[:300]
    for max_length, side, multiple_of in [(4, "right", None), (3, "left", 8), (40, "right", 16)]:
        hf.enable_truncation(max_length=max_length)
        hf.enable_padding(pad_id=PAD, pad_token="<pad>", direction=side, pad_to_multiple_of=multiple_of)
        encodings = hf.encode_batch([[word] for word in words], is_pretokenized=True)
        options: dict[str, Any] = {"max_length": max_length, "side": side, "multiple_of": multiple_of}
        matrix, mask = tok.encode_padded(words, bos=True, eos=True, **options)
        assert matrix.tolist() == [e.ids for e in encodings]
        assert mask.tolist() == [e.attention_mask for e in encodings]

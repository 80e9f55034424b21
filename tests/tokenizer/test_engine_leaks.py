"""Native memory stays flat while the engine's entry points run their success
and error paths over and over (see leak_harness): Python
references held across the unlocked work, buffers and sessions must all be
released on every path."""

import sys

import numpy as np
import pytest

from morfex._engine import Engine, format_lines
from morfex.vocabulary import byte_token
from protocol_objects import Index
from conftest import MARKER
from leak_harness import LONG, MERGES, VOCAB, assert_memory_stays_flat

ENGINE = Engine(VOCAB, MERGES, 64)
WORDS = ["kum" + MARKER + "x" * 50, LONG, "\u00e9kum", "\U0001F600"] * 5
IDS = np.array([5, 4, 11, 12, 99, 0] * 100, dtype=np.uint32)
OFFSETS = np.arange(0, 601, 6, dtype=np.int64)
CHUNK = ("kum " + LONG + "\n").encode() * 20
# A seed that is no cached small int, so its reference count shows.
SEED = 2**63 + 12345


# Running text on a model with byte fallback: "é" and the emoji go as bytes.
BYTE_IDS = [100 + b for b in range(256)]
TEXT_ENGINE = Engine(VOCAB | {byte_token(b): 100 + b for b in range(256)}, MERGES, 64, BYTE_IDS)
TEXTS = ["kum " + "x" * 50 + " um\n", "\u00e9kum, 12", "\U0001F600  k"] * 5 + [" " + LONG]
TEXT_CHUNK = "".join(TEXTS).encode()
TEXT_IDS = np.array(TEXT_ENGINE.encode_text_lists(TEXTS[:3], 1, True, None)[2] * 20, dtype=np.uint32)
TEXT_OFFSETS = np.arange(0, len(TEXT_IDS) + 1, len(TEXT_IDS) // 20, dtype=np.int64)


def split_um(word):
    return word.replace("um", MARKER + "um")


def segmenter_raises(word):
    raise ValueError(f"cannot segment {word}")


def segmenter_changes_word(word):
    return word + "x"


def segmenter_returns_bytes(word):
    return word.encode()


def interrupted_texts():
    def texts():
        yield from TEXTS
        raise KeyboardInterrupt

    TEXT_ENGINE.encode_text_lists(texts(), 2, True, split_um)


def raise_value_error():
    raise ValueError("from __index__")


def interrupted_batch():
    def words():
        yield from WORDS
        raise KeyboardInterrupt

    ENGINE.encode_flat(words(), 2)


CASES = [
    ("new", lambda: Engine(VOCAB, MERGES, 16), None, 10_000),
    ("encode-flat", lambda: ENGINE.encode_flat(WORDS, 2), None, 1_500),
    ("encode-lists", lambda: ENGINE.encode_lists(WORDS, 1), None, 1_500),
    ("encode-generator-raises", interrupted_batch, "KeyboardInterrupt", 1_500),
    ("encode-not-str-last", lambda: ENGINE.encode_flat(WORDS + [Index(1)], 2), "TypeError", 1_500),
    ("encode-surrogate", lambda: ENGINE.encode_lists(WORDS + [LONG + "\ud800"], 2), "UnicodeEncodeError", 1_500),
    ("encode-word", lambda: ENGINE.encode("\u00e9" + LONG), None, 3_000),
    ("encode-word-not-str", lambda: ENGINE.encode(Index(1)), "TypeError", 3_000),
    ("encode-word-surrogate", lambda: ENGINE.encode("\u00e9" + LONG + "\ud800"), "UnicodeEncodeError", 3_000),
    ("decode-ids", lambda: ENGINE.decode(IDS.tolist()), None, 3_000),
    ("decode-ids-iterator", lambda: ENGINE.decode(iter(IDS.tolist())), None, 3_000),
    ("decode-ids-index-raises", lambda: ENGINE.decode(IDS.tolist() + [Index(raise_value_error)]), "ValueError", 3_000),
    ("decode-ids-overflow", lambda: ENGINE.decode(IDS.tolist() + [2**32]), "OverflowError", 3_000),
    ("decode-lists", lambda: ENGINE.decode_lists([IDS.tolist()[:60]] * 20, 2), None, 1_500),
    ("decode-item-raises", lambda: ENGINE.decode_lists([[5], [Index(raise_value_error)]], 1), "ValueError", 1_500),
    ("decode-overflow", lambda: ENGINE.decode_lists([[5] * 500, [2**32]], 1), "OverflowError", 1_500),
    ("decode-flat", lambda: ENGINE.decode_flat(IDS, OFFSETS, 2), None, 1_500),
    ("decode-flat-bad-offsets", lambda: ENGINE.decode_flat(IDS, OFFSETS[::-1].copy(), 2), "ValueError", 1_500),
    ("encode-chunk", lambda: ENGINE.encode_chunk(CHUNK, 2), None, 1_500),
    ("encode-chunk-invalid", lambda: ENGINE.encode_chunk(CHUNK + b"\xff", 1), "ValueError", 1_500),
    ("format-lines", lambda: format_lines(IDS, OFFSETS), None, 1_500),
    ("bad-threads", lambda: ENGINE.encode_flat(WORDS, sys.maxsize * 4), "ValueError", 1_500),
    ("encode-text", lambda: TEXT_ENGINE.encode_text(TEXTS[2], True, False, None), None, 1_500),
    ("encode-text-offsets", lambda: TEXT_ENGINE.encode_text(TEXTS[0], False, True, split_um), None, 1_500),
    ("encode-text-lists", lambda: TEXT_ENGINE.encode_text_lists(TEXTS, 2, True, split_um), None, 1_000),
    ("encode-text-flat", lambda: TEXT_ENGINE.encode_text_flat(TEXTS, 2, False, None), None, 1_000),
    ("encode-text-generator-raises", interrupted_texts, "KeyboardInterrupt", 1_000),
    ("encode-text-not-str-last", lambda: TEXT_ENGINE.encode_text_flat(TEXTS + [Index(1)], 2, True, None),
     "TypeError", 1_000),
    ("encode-text-surrogate", lambda: TEXT_ENGINE.encode_text_lists(TEXTS + ["a\ud800"], 2, True, split_um),
     "UnicodeEncodeError", 1_000),
    ("segmenter-raises", lambda: TEXT_ENGINE.encode_text_lists(TEXTS, 2, True, segmenter_raises), "ValueError", 1_000),
    ("segmenter-changes-word", lambda: TEXT_ENGINE.encode_text(TEXTS[0], True, True, segmenter_changes_word),
     "ValueError", 1_500),
    ("segmenter-returns-bytes", lambda: TEXT_ENGINE.encode_text_flat(TEXTS, 1, True, segmenter_returns_bytes),
     "TypeError", 1_000),
    ("encode-text-chunk", lambda: TEXT_ENGINE.encode_text_chunk(TEXT_CHUNK, 2, True, split_um), None, 1_000),
    ("encode-text-chunk-invalid", lambda: TEXT_ENGINE.encode_text_chunk(TEXT_CHUNK + b"\xed\xa0\x80", 2, True, None),
     "ValueError", 1_000),
    ("encode-text-chunk-segmenter-raises", lambda: TEXT_ENGINE.encode_text_chunk(TEXT_CHUNK, 2, True, segmenter_raises),
     "ValueError", 1_000),
    ("decode-text-lists", lambda: TEXT_ENGINE.decode_text_lists([TEXT_IDS.tolist()[:80]] * 20, 2), None, 1_500),
    ("decode-text-item-raises", lambda: TEXT_ENGINE.decode_text_lists([[5], [Index(raise_value_error)]], 1),
     "ValueError", 1_500),
    ("decode-text-flat", lambda: TEXT_ENGINE.decode_text_flat(TEXT_IDS, TEXT_OFFSETS, 2), None, 1_500),
    ("decode-text-flat-bad-offsets", lambda: TEXT_ENGINE.decode_text_flat(TEXT_IDS, TEXT_OFFSETS[::-1].copy(), 2),
     "ValueError", 1_500),
    ("dropout-lists", lambda: ENGINE.encode_lists(WORDS, 2, 0.5, SEED), None, 1_500),
    ("dropout-flat", lambda: ENGINE.encode_flat(WORDS, 1, 0.5, SEED), None, 1_500),
    ("dropout-text-lists", lambda: TEXT_ENGINE.encode_text_lists(TEXTS, 2, True, split_um, 0.5, SEED), None, 1_000),
    ("dropout-segmenter-changes-word",
     lambda: TEXT_ENGINE.encode_text_flat(TEXTS, 1, False, segmenter_changes_word, 0.5, SEED), "ValueError", 1_000),
    ("dropout-bad-rate", lambda: ENGINE.encode_flat(WORDS, 1, 1.5, SEED), "ValueError", 1_500),
    ("dropout-bad-seed", lambda: TEXT_ENGINE.encode_text_flat(TEXTS, 1, True, None, 0.5, -SEED), "ValueError", 1_500),
]


@pytest.mark.parametrize(("call", "raises", "repetitions"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_resident_memory_stays_flat(call, raises, repetitions):
    assert_memory_stays_flat(call, raises, repetitions)


@pytest.mark.parametrize(
    "encode",
    [lambda: ENGINE.encode_flat(WORDS * 100, 1), lambda: TEXT_ENGINE.encode_text_flat(TEXTS * 100, 2, True, split_um)],
    ids=["encode-flat", "encode-text-flat"],
)
def test_buffers_are_freed_with_their_last_view(encode):
    ids, offsets = encode()
    array = np.frombuffer(ids, dtype=np.uint32)
    count = sys.getrefcount(ids)
    view = memoryview(ids)
    assert sys.getrefcount(ids) == count + 1
    view.release()
    del array
    assert sys.getrefcount(ids) == count - 1


SEGMENTED = MARKER + "um"


def constant_segmenter(word):
    return SEGMENTED if word == "um" else word


# What a text call must hand back: the references it took to its texts, its
# segmenter, the segmenter's answers and its seed, on success and on failure alike.
REFCOUNT_CASES = [
    ("encode-text", lambda texts, seg: TEXT_ENGINE.encode_text(texts[0], True, True, seg)),
    ("encode-text-lists", lambda texts, seg: TEXT_ENGINE.encode_text_lists(texts, 2, True, seg)),
    ("encode-text-flat", lambda texts, seg: TEXT_ENGINE.encode_text_flat(texts, 2, False, seg)),
    ("encode-text-chunk", lambda texts, seg: TEXT_ENGINE.encode_text_chunk("\n".join(texts).encode(), 2, True, seg)),
    ("bad-last-item", lambda texts, seg: TEXT_ENGINE.encode_text_lists(texts + [5], 1, True, seg)),
    ("dropout-text-lists", lambda texts, seg: TEXT_ENGINE.encode_text_lists(texts, 2, True, seg, 0.5, SEED)),
    ("dropout-words", lambda texts, seg: ENGINE.encode_lists(texts, 2, 0.5, SEED)),
]


@pytest.mark.parametrize("call", [c[1] for c in REFCOUNT_CASES], ids=[c[0] for c in REFCOUNT_CASES])
def test_text_calls_keep_reference_counts(call):
    texts = ["um kum \u00e9 " + str(i) for i in range(50)]
    def counts():
        return ([sys.getrefcount(t) for t in texts], sys.getrefcount(constant_segmenter), sys.getrefcount(SEGMENTED),
                sys.getrefcount(SEED))

    before = counts()
    for _ in range(100):
        try:
            call(texts, constant_segmenter)
        except TypeError:
            pass
    assert counts() == before


def decode_reentering(ids):
    # An id whose __index__ decodes and encodes on the same engine, then gives ids[0].
    return ENGINE.decode([Index(lambda: ENGINE.decode(ids) and ENGINE.encode("kum")[0] and ids[0])] + ids)


# What a single-word call must hand back: the references it took to its
# argument and to the ints and objects inside it, on success and failure alike.
SINGLE_CASES = [
    ("encode", lambda word, ids: ENGINE.encode(word)),
    ("encode-surrogate", lambda word, ids: ENGINE.encode(word + "\ud800")),
    ("encode-not-str", lambda word, ids: ENGINE.encode(ids)),
    ("decode", lambda word, ids: ENGINE.decode(ids)),
    ("decode-tuple", lambda word, ids: ENGINE.decode(tuple(ids))),
    ("decode-iterator", lambda word, ids: ENGINE.decode(iter(ids))),
    ("decode-iterator-overflow", lambda word, ids: ENGINE.decode(iter(ids + [2**32]))),
    ("decode-overflow", lambda word, ids: ENGINE.decode(ids + [2**32])),
    ("decode-str", lambda word, ids: ENGINE.decode(word)),
    ("decode-reentering", lambda word, ids: decode_reentering(ids)),
]


@pytest.mark.parametrize("call", [c[1] for c in SINGLE_CASES], ids=[c[0] for c in SINGLE_CASES])
def test_single_word_calls_keep_reference_counts(call):
    word = "k\u00e9" + MARKER + "um" * 20
    # Ints made at run time, outside the interpreter's small-int cache, so their counts show.
    ids = [int(str(5)) + 1000 * i for i in range(40)] + [Index(int("11"))]
    objects = [ENGINE, word, ids, *ids]
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(100):
        try:
            call(word, ids)
        except (TypeError, OverflowError, UnicodeEncodeError):
            pass
    assert [sys.getrefcount(obj) for obj in objects] == before

"""The native segmenter against Morfessor 2.0.6 from PyPI: the same morph
counts from the same segmentations, the same split of every word, seen or
unseen, ties included; its file errors, state, threads and memory."""

import gc
import json
import math
import random
import sys
from pathlib import Path

import morfessor
import pytest

from morfex import MARKER, Segmenter
from leak_harness import ALLOWED_GROWTH, resident_bytes

WORD_LIST = Path("/usr/share/dict/polish")
LIMIT = "9007199254740991"


def every_nth(words, count, offset):
    return words[offset :: len(words) // count][:count]


@pytest.fixture(scope="module")
def polish():
    """Morfessor trained on 3000 Polish words (fixed seed), the file it writes,
    Morfessor's model loaded back from that file, and 10000 other words."""
    if not WORD_LIST.exists():
        pytest.skip("needs /usr/share/dict/polish (Debian package wpolish)")
    words = [line for line in WORD_LIST.read_text(encoding="utf-8").splitlines() if line]
    random.seed(0)
    trained = morfessor.BaselineModel()
    trained.load_data([(1, word) for word in every_nth(words, 3000, 0)])
    morfessor.utils.show_progress_bar = False
    trained.train_batch()
    return trained, every_nth(words, 10_000, 1)


def write_segmentations(path, segmentations):
    morfessor.MorfessorIO(encoding="utf-8").write_segmentation_file(str(path), segmentations)


def morfessor_from_file(path):
    io = morfessor.MorfessorIO(encoding="utf-8")
    model = morfessor.BaselineModel()
    model.load_segmentations(io.read_segmentation_file(str(path)))
    return model


def reference_ties(model, word):
    """Whether Morfessor's Viterbi grid for `word` has an end whose cheapest
    cost two starts reach exactly (its costs, as baseline.py computes them)."""
    corpus, lexicon = model._corpus_coding, model._lexicon_coding
    logtokens = math.log(corpus.tokens + corpus.boundaries + 1.0)
    grid = [0.0]
    tied = False
    for t in range(1, len(word) + 1):
        costs = []
        for pt in range(max(0, t - 30), t):
            part = word[pt:t]
            node = model._analyses.get(part)
            if node is not None and not node.splitloc:
                edge = logtokens - math.log(node.count + 1.0)
            else:
                b = lexicon.boundaries
                edge = logtokens - math.log(1.0) + (
                    ((b + 1.0) * math.log(b + 1.0)) - (b * math.log(b)) + lexicon.get_codelength(part)
                ) / corpus.weight
            costs.append(grid[pt] + edge)
        best = min(costs)
        tied = tied or costs.count(best) > 1
        grid.append(best)
    return tied


def morfessor_split(model, word):
    return MARKER.join(model.viterbi_segment(word)[0])


def test_polish_words_split_as_morfessor_splits_them(polish, tmp_path):
    trained, unseen = polish
    path = tmp_path / "polish.segmentation"
    write_segmentations(path, trained.get_segmentations())
    reference = morfessor_from_file(path)
    segmenter = Segmenter.from_morfessor(path)
    assert segmenter.to_state()["morphs"] == dict(reference.get_constructions())
    assert segmenter.to_state()["words"] == reference._corpus_coding.boundaries
    words = unseen + trained.get_compounds() + [word.upper() for word in unseen[:500]]
    assert len(words) >= 13_000
    expected = [morfessor_split(reference, word) for word in words]
    assert [segmenter.segment(word) for word in words] == expected
    assert segmenter.segment_batch(words, threads=2) == expected


def test_load_order_of_a_shuffled_file_as_morfessor(polish, tmp_path):
    trained, unseen = polish
    lines = list(trained.get_segmentations())
    random.Random(5).shuffle(lines)
    path = tmp_path / "shuffled.segmentation"
    write_segmentations(path, lines)
    reference = morfessor_from_file(path)
    segmenter = Segmenter.from_morfessor(path)
    assert segmenter.to_state()["morphs"] == dict(reference.get_constructions())
    words = unseen[::10]
    assert segmenter.segment_batch(words, threads=1) == [morfessor_split(reference, word) for word in words]


def tie_case(seed):
    """Segmented words over two letters with counts of 1 or 2: exact ties abound."""
    rng = random.Random(seed)
    counts = {}
    for _ in range(rng.randint(1, 12)):
        morphs = ["".join(rng.choice("ab") for _ in range(rng.randint(1, 3))) for _ in range(rng.randint(1, 3))]
        counts[MARKER.join(morphs)] = rng.randint(1, 2)
    words = ["".join(rng.choice("abc") for _ in range(rng.randint(1, 35))) for _ in range(60)]
    return counts, words


def test_ties_broken_as_morfessor_breaks_them():
    ties = 0
    for seed in range(40):
        counts, words = tie_case(seed)
        reference = morfessor.BaselineModel()
        reference.load_segmentations((c, w.replace(MARKER, ""), w.split(MARKER)) for w, c in counts.items())
        segmenter = Segmenter.from_counts(counts)
        assert segmenter.to_state()["morphs"] == dict(reference.get_constructions()), counts
        for word in words:
            ties += reference_ties(reference, word)
            assert segmenter.segment(word) == morfessor_split(reference, word), (counts, word)
    assert ties > 300


BAD_FILES = [
    ("no_space", "# c\n3 kot + ami\n12\n", "line 3: no space after the count"),
    ("bad_count", "3 kot\nx ami\n", f"line 2: bad count 'x': expected a whole number from 1 to {LIMIT}"),
    ("zero_count", "0 kot\n", f"line 1: bad count '0': expected a whole number from 1 to {LIMIT}"),
    ("negative_count", "-2 kot\n", f"line 1: bad count '-2': expected a whole number from 1 to {LIMIT}"),
    ("truncated_after_separator", "3 kot + ami\n2 kot +", "line 2: morph 'kot +' holds whitespace"),
    ("truncated_in_a_letter", "3 kot + ami\n2 \xc5", "line 2: not valid UTF-8"),
    ("empty_morph", "2 kot +  + y\n", "line 1: morph '' is empty"),
    ("marker", f"2 kot{MARKER}y\n", f"line 1: morph 'kot{MARKER}y' holds the morpheme marker U+2581"),
    ("too_many", f"{LIMIT} a + b\n", f"line 1: the counts add up to more than {LIMIT}"),
    ("only_comments", "# Output from Morfessor Baseline 2.0.6\n\n", "holds no segmented words"),
    ("empty", "", "holds no segmented words"),
]


@pytest.mark.parametrize(("text", "message"), [c[1:] for c in BAD_FILES], ids=[c[0] for c in BAD_FILES])
def test_malformed_files(tmp_path, text, message):
    path = tmp_path / "bad.txt"
    path.write_bytes(text.encode("utf-8", "surrogateescape") if "\xc5" not in text else text.encode("latin-1"))
    with pytest.raises(ValueError) as caught:
        Segmenter.from_morfessor(path)
    assert str(caught.value) == (f"{path}, {message}" if message.startswith("line") else f"{path}: {message}")


def test_file_separator_and_missing_file(tmp_path):
    path = tmp_path / "slash.txt"
    path.write_text("3 kot/ami\n2 kot\n", encoding="utf-8")
    assert Segmenter.from_morfessor(path, separator="/") == Segmenter.from_counts({f"kot{MARKER}ami": 3, "kot": 2})
    with pytest.raises(FileNotFoundError):
        Segmenter.from_morfessor(tmp_path / "absent.txt")


BAD_COUNTS = [
    ("not_mapping", [("a", 1)], TypeError, "counts must be a mapping of segmented words to counts, not list"),
    ("key", {1: 1}, TypeError, "segmented word must be a str, not int"),
    ("float", {"a": 1.0}, TypeError, "count of 'a' must be an int, not float"),
    ("bool", {"a": True}, TypeError, "count of 'a' must be an int, not bool"),
    ("zero", {"a": 0}, ValueError, f"count of 'a' must be from 1 to {LIMIT}, got 0"),
    ("huge", {"a": 2**70}, ValueError, f"count of 'a' must be from 1 to {LIMIT}, got {2**70}"),
    ("empty_morph", {f"a{MARKER}{MARKER}b": 1}, ValueError, f"'a{MARKER}{MARKER}b': morph '' is empty"),
    ("space", {"a b": 1}, ValueError, "'a b': morph 'a b' holds whitespace"),
    ("nothing", {}, ValueError, "there are no morphs"),
]


@pytest.mark.parametrize(("counts", "error", "message"), [c[1:] for c in BAD_COUNTS], ids=[c[0] for c in BAD_COUNTS])
def test_bad_counts(counts, error, message):
    with pytest.raises(error) as caught:
        Segmenter.from_counts(counts)
    assert str(caught.value) == message


def test_state_round_trip_through_json():
    segmenter = Segmenter.from_counts({f"kot{MARKER}ami": 3, f"pies{MARKER}y": 2, "żaba": 1})
    state = segmenter.to_state()
    assert state == {"type": "morfessor-baseline", "words": 6, "morphs": {"ami": 3, "kot": 3, "pies": 2, "y": 2, "żaba": 1}}
    assert list(state["morphs"]) == sorted(state["morphs"])
    again = Segmenter.from_state(json.loads(json.dumps(state)))
    assert again == segmenter and again.to_state() == state
    assert again != Segmenter.from_counts({f"kot{MARKER}ami": 3})
    assert segmenter.__eq__("kot") is NotImplemented
    with pytest.raises(TypeError):
        hash(segmenter)


GOOD_STATE = {"type": "morfessor-baseline", "words": 2, "morphs": {"a": 2}}
BAD_STATES = [
    ("list", [], "segmenter state must be a dict, not list"),
    ("keys", {"type": "morfessor-baseline"},
     "segmenter state must have the keys 'morphs', 'type' and 'words' (and optionally 'corpus_weight'), got ['type']"),
    ("extra_key", {**GOOD_STATE, "weight": 1.0},
     "segmenter state must have the keys 'morphs', 'type' and 'words' (and optionally 'corpus_weight'), "
     "got ['morphs', 'type', 'weight', 'words']"),
    ("weight_str", {**GOOD_STATE, "corpus_weight": "1"},
     "segmenter state: 'str' object cannot be converted to 'float'"),
    ("weight_zero", {**GOOD_STATE, "corpus_weight": 0.0},
     "segmenter state: the corpus weight must be a positive finite number, got 0.000000"),
    ("weight_nan", {**GOOD_STATE, "corpus_weight": float("nan")},
     "segmenter state: the corpus weight must be a positive finite number, got nan"),
    ("type", {**GOOD_STATE, "type": "bpe"}, "segmenter state type must be 'morfessor-baseline', got 'bpe'"),
    ("words", {**GOOD_STATE, "words": 0}, f"segmenter state: words must be from 1 to {LIMIT}, got 0"),
    ("words_str", {**GOOD_STATE, "words": "2"}, "segmenter state: words must be an int, not str"),
    ("morphs_list", {**GOOD_STATE, "morphs": [["a", 2]]}, "segmenter state: 'list' object cannot be converted to 'dict'"),
    ("morph_count", {**GOOD_STATE, "morphs": {"a": -1}}, f"segmenter state: count of morph 'a' must be from 1 to {LIMIT}, got -1"),
    ("morph", {**GOOD_STATE, "morphs": {"a b": 2}}, "segmenter state: morph 'a b' holds whitespace"),
    ("too_few", {**GOOD_STATE, "words": 3}, "segmenter state: the morph counts add up to 2, fewer than the 3 words"),
    ("empty", {**GOOD_STATE, "morphs": {}}, "segmenter state: there are no morphs"),
]


@pytest.mark.parametrize(("state", "message"), [c[1:] for c in BAD_STATES], ids=[c[0] for c in BAD_STATES])
def test_bad_states(state, message):
    with pytest.raises(ValueError) as caught:
        Segmenter.from_state(state)
    assert str(caught.value) == message


SEGMENTER = Segmenter.from_counts({f"kot{MARKER}ami": 30, f"kot{MARKER}y": 20, f"p{MARKER}ies": 5})


BAD_CALLS = [
    ("segment_int", lambda: SEGMENTER.segment(5), TypeError, "argument 'word': 'int' object cannot be converted to 'PyString'"),
    ("segment_surrogate", lambda: SEGMENTER.segment("a\ud800"), UnicodeEncodeError, None),
    ("batch_str", lambda: SEGMENTER.segment_batch("kot"), TypeError, "argument 'words' must be an iterable of str, not a single 'str'"),
    ("batch_item", lambda: SEGMENTER.segment_batch(["kot", 7]), TypeError, "item 1: argument 'text': 'int' object cannot be converted to 'PyString'"),
    ("batch_surrogate", lambda: SEGMENTER.segment_batch(["kot"] * 5000 + ["\ud800"], threads=2), UnicodeEncodeError, None),
    ("threads", lambda: SEGMENTER.segment_batch(["kot"], threads=0), ValueError, "threads must be from 1 to 1024, got 0"),
]


@pytest.mark.parametrize(("call", "error", "message"), [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_bad_calls(call, error, message):
    with pytest.raises(error) as caught:
        call()
    if message is not None:
        assert str(caught.value) == message


def test_batch_identical_for_every_thread_count():
    rng = random.Random(3)
    words = ["".join(rng.choice("kotamiespyżą") for _ in range(rng.randint(0, 40))) for _ in range(70_000)]
    single = [SEGMENTER.segment(word) for word in words]
    for threads in (1, 2, 3, 8):
        assert SEGMENTER.segment_batch(iter(words), threads=threads) == single


def test_batch_holds_no_reference():
    words = [f"kotami{i}" for i in range(5000)]
    before = [sys.getrefcount(word) for word in words]
    SEGMENTER.segment_batch(words, threads=2)
    assert [sys.getrefcount(word) for word in words] == before


LEAK_CASES = [
    ("segment", lambda: SEGMENTER.segment("kotamipies" * 3)),
    ("batch", lambda: SEGMENTER.segment_batch(["kotami", "piesy"] * 50, threads=2)),
    ("batch_error", lambda: SEGMENTER.segment_batch(["kotami"] * 50 + [None], threads=1)),
    ("from_counts", lambda: Segmenter.from_counts({f"kot{MARKER}ami": 3, "żaba": 2})),
    ("from_counts_error", lambda: Segmenter.from_counts({f"kot{MARKER}ami": 3, "a b": 2})),
    ("state", lambda: Segmenter.from_state(SEGMENTER.to_state())),
]


@pytest.mark.parametrize("call", [c[1] for c in LEAK_CASES], ids=[c[0] for c in LEAK_CASES])
def test_resident_memory_stays_flat(call):
    def run(times):
        for _ in range(times):
            try:
                call()
            except (TypeError, ValueError):
                pass

    run(500)
    gc.collect()
    before = resident_bytes()
    run(5000)
    gc.collect()
    assert resident_bytes() - before < ALLOWED_GROWTH

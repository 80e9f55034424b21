import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morfex
from conftest import MARKER, SPECIAL_TOKENS
from morfex import CorpusError


piece = st.sampled_from(["a", "a", "a", "b", "b", "c", "ł", "<", "s", ">", "/", " ", MARKER, MARKER])
word = st.lists(piece, min_size=1, max_size=10).map("".join)
line = st.tuples(word, st.one_of(st.none(), st.integers(1, 5))).map(
    lambda pair: pair[0] if pair[1] is None else f"{pair[0]}\t{pair[1]}"
)
# A corpus needs one character outside the markers to train at all.
corpus = st.lists(line, max_size=30).filter(lambda lines: any(l.split("\t")[0].strip(MARKER) for l in lines))
pytestmark = pytest.mark.filterwarnings("ignore::morfex.CorpusWarning")


@settings(max_examples=200, deadline=None)
@given(corpus, st.integers(0, 200))
def test_no_merge_or_merged_token_ever_holds_the_marker(lines, vocab_size):
    model = morfex.train(lines, vocab_size=vocab_size, min_frequency=1)
    assert not any(MARKER in part for pair in model.merges for part in pair)
    assert [token for token in model.vocab if MARKER in token] == [MARKER]
    assert [model.id_to_token(i) for i in range(5)] == [*SPECIAL_TOKENS, MARKER]
    assert sorted(model.vocab.values()) == list(range(len(model)))
    assert all(left + right in model.vocab for left, right in model.merges)
    for text in lines:
        segmented = text.rpartition("\t")[0] if "\t" in text else text
        pieces = model.encode_tokens(segmented)
        assert all(piece == MARKER or MARKER not in piece for piece in pieces)
        assert model.decode(model.encode(segmented)) == segmented.replace(MARKER, "")


@settings(max_examples=50, deadline=None)
@given(corpus, st.randoms(use_true_random=False))
def test_same_words_in_any_order_give_the_same_model(lines, rng):
    shuffled = list(lines)
    rng.shuffle(shuffled)
    first = morfex.train(lines, vocab_size=80, min_frequency=1)
    second = morfex.train(shuffled, vocab_size=80, min_frequency=1)
    assert morfex.dumps(first) == morfex.dumps(second)


@pytest.mark.parametrize(
    ("lines", "options", "tokens", "merges"),
    [
        (["ab▁ba\t5"], {}, ["a", "b", "ab", "ba"], [("a", "b"), ("b", "a")]),
        (["cd", "ab"], {}, ["a", "b", "c", "d", "ab", "cd"], [("a", "b"), ("c", "d")]),
        (["ab\t3", "cd\t2"], {"min_frequency": 3}, ["a", "b", "c", "d", "ab"], [("a", "b")]),
        (["abc\t3"], {"vocab_size": 9}, ["a", "b", "c", "ab"], [("a", "b")]),
        (["abc\t3"], {"vocab_size": 0}, ["a", "b", "c"], []),
        (["axb\t4", "ab"], {"alphabet_limit": 2}, ["a", "b", "ab"], [("a", "b")]),
        (["<s>\t9"], {}, ["<", ">", "s", "<s"], [("<", "s")]),
        (["ab", MARKER * 2 + "\t3"], {"vocab_size": 6}, ["a", "b"], []),
    ],
    ids=["marker", "tie", "min-frequency", "vocab-size", "base-kept", "alphabet-limit", "special-string",
         "nothing-to-merge"],
)
def test_training_examples(lines, options, tokens, merges):
    model = morfex.train(lines, **{"min_frequency": 1, **options})
    assert [model.id_to_token(i) for i in range(len(model))] == [*SPECIAL_TOKENS, MARKER, *tokens]
    assert list(model.merges) == merges


@pytest.mark.parametrize(
    ("lines", "message"),
    [
        (["ab", "ab\t0"], "line 2: count '0' is not an integer from 1 to 4294967295"),
        (["ab\t4294967296"], "line 1: count '4294967296' is not an integer from 1 to 4294967295"),
        (["ab\tx"], "line 1: count 'x' is not an integer from 1 to 4294967295"),
        (["ab\t"], "line 1: count '' is not an integer from 1 to 4294967295"),
        (["a", "\t2"], "line 2: empty word before the count"),
        (["a", "b\nc"], "line 2: a word holds a line break"),
        ([], "no words to train on"),
        (["", MARKER, MARKER * 2 + "\t3"], "no words to train on"),
    ],
)
def test_malformed_corpus_lines(lines, message):
    with pytest.raises(CorpusError) as caught:
        morfex.train(lines)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"vocab_size": -1}, ValueError, "vocab_size must be at least 0, not -1"),
        ({"min_frequency": 0}, ValueError, "min_frequency must be at least 1, not 0"),
        ({"alphabet_limit": -3}, ValueError, "alphabet_limit must be at least 0, not -3"),
        ({"vocab_size": 10.0}, TypeError, "vocab_size must be an int, not float"),
        ({"min_frequency": True}, TypeError, "min_frequency must be an int, not bool"),
    ],
)
def test_bad_options(options, error, message):
    with pytest.raises(error) as caught:
        morfex.train(["ab"], **options)
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_a_single_str_is_refused():
    with pytest.raises(TypeError, match="not one str; use train_file"):
        morfex.train("ab\nab")


def test_train_file_names_the_file(tmp_path):
    path = tmp_path / "corpus.txt"
    path.write_bytes("k▁um▁ain\t2\r\nkot\n".encode() + b"ab\t-1\n")
    with pytest.raises(CorpusError) as caught:
        morfex.train_file(path)
    assert str(caught.value) == f"{path}: line 3: count '-1' is not an integer from 1 to 4294967295"
    path.write_bytes(b"ab\nc\xffd\n")
    with pytest.raises(CorpusError) as caught:
        morfex.train_file(path)
    assert str(caught.value) == f"{path}: line 2: not UTF-8 text (bad byte at column 2)"
    with pytest.raises(CorpusError) as caught:
        morfex.train_file(tmp_path / "absent")
    assert str(caught.value) == f"{tmp_path / 'absent'}: cannot read: No such file or directory"


def test_train_file_reads_like_train(tmp_path):
    rng = random.Random(5)
    lines = [MARKER.join(rng.choice(["kot", "ami", "dom", "u", "em"]) for _ in range(rng.randint(1, 4)))
             for _ in range(300)]
    path = tmp_path / "corpus.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    assert morfex.dumps(morfex.train_file(path, vocab_size=40)) == morfex.dumps(morfex.train(lines, vocab_size=40))


def test_progress_reaches_the_wanted_count_and_its_errors_propagate():
    calls = []
    morfex.train(["abcdefgh\t2"], vocab_size=15, progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (2, 2)
    assert all(done <= total for done, total in calls)

    class Stop(Exception):
        pass

    def stop(done, total):
        raise Stop

    with pytest.raises(Stop):
        morfex.train(["abcdefgh\t2"], vocab_size=15, progress=stop)


def test_ctrl_c_stops_training_on_one_long_word():
    import _thread
    import threading
    import time

    # A single word leaves the trainer no merge to report progress after:
    # all its time goes into reading the word and counting its pairs.
    word = "".join(random.Random(1).choices("abcdefghij", k=8_000_000))
    start = time.monotonic()
    morfex.train([word], vocab_size=15, min_frequency=1)
    uninterrupted = time.monotonic() - start
    timer = threading.Timer(0.05 * uninterrupted, _thread.interrupt_main)
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        morfex.train([word], vocab_size=15, min_frequency=1)
    interrupted = time.monotonic() - start
    timer.join()
    assert interrupted < 0.6 * uninterrupted, (interrupted, uninterrupted)

"""morfex.evaluate and `morfex evaluate`: gold reading rules, measures worked by hand, peers, the command."""

import json
import random
import subprocess
import sys

import pytest

import morfex
from morfex import MARKER
from morfex.evaluation import EvaluationError, evaluate
from morfex.evaluation.gold import read_gold
from morfex.evaluation.measures import common_morphs, edit_distances, score

# A model small enough to work every figure out by hand: its segmenter cuts
# "abcd" into a▁bcd and "cdab" into c▁dab, and BPE then gives a|b|cd and c|d|ab.
VOCAB = {"<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4, "a": 5, "b": 6, "c": 7, "d": 8, " ": 9, "ab": 10, "cd": 11}
MERGES = [("a", "b"), ("c", "d")]
SIGMORPHON_ROWS = "abcd\tab @@cd\ncdab\tcd @@ab\n"
TEXT = "abcd cdab\n"


@pytest.fixture
def tiny():
    return morfex.Tokenizer(VOCAB, MERGES, segmenter=morfex.Segmenter.from_counts({"a▁bcd": 1, "c▁dab": 1}))


def write(path, text, encoding="utf-8"):
    path.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
    return str(path)


def levenshtein(first, second):
    """The textbook dynamic programme, one cell at a time."""
    previous = list(range(len(second) + 1))
    for row, left in enumerate(first, 1):
        current = [row]
        for column, right in enumerate(second, 1):
            current.append(min(previous[column] + 1, current[column - 1] + 1, previous[column - 1] + (left != right)))
        previous = current
    return previous[-1]


# Measures -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("gold", "guess", "common"),
    [
        (["ab", "solv", "ent"], ["ab", "solv", "ent"], 3),
        (["ab", "solv", "ent"], ["ab", "sol", "v", "ent"], 2),
        (["a", "b", "a"], ["a", "a"], 2),
        (["ka", "t"], ["k", "at"], 0),
        (["x"], ["x", "x", "x"], 1),
    ],
    ids=["same", "split-middle", "repeated-morph", "none", "one-of-three"],
)
def test_morphs_are_matched_through_their_longest_common_subsequence(gold, guess, common):
    assert common_morphs(gold, guess) == common
    assert common_morphs(guess, gold) == common


@pytest.mark.parametrize(
    ("first", "second", "distance"),
    [("kitten", "sitting", 3), ("ab @@cd", "a @@bcd", 2), ("ab @@cd", "a @@b @@cd", 3), ("", "abc", 3), ("abc", "", 3),
     ("", "", 0), ("żółw", "żółw", 0)],
)
def test_edit_distance_examples(first, second, distance):
    assert edit_distances([(first, second)]).tolist() == [distance]


def test_edit_distances_in_batches_equal_the_textbook_programme():
    generator = random.Random(7)
    # More pairs than one batch holds, of lengths that differ widely, so padding is exercised.
    pairs = [
        ("".join(generator.choice("ab @ż") for _ in range(generator.randrange(0, 25))),
         "".join(generator.choice("ab @ż") for _ in range(generator.randrange(0, 25))))
        for _ in range(5000)
    ]
    assert edit_distances(pairs).tolist() == [levenshtein(first, second) for first, second in pairs]


def test_scores_worked_by_hand():
    # abcd: gold ab|cd, guess a|b|cd; xyz: gold x|y|z, guess x|yz.
    scores = score(["abcd", "xyz"], [frozenset({2}), frozenset({1, 2})], [frozenset({1, 2}), frozenset({1})])
    assert scores.words == 2
    assert scores.cuts_per_word == 1.5
    assert scores.boundary_precision == pytest.approx(2 / 3)
    assert scores.boundary_recall == pytest.approx(2 / 3)
    assert scores.boundary_f1 == pytest.approx(2 / 3)
    # A random guess of 2 cuts among 3 places finds abcd's cut 2 times in 3; 1 among 2 finds each of xyz's half the time.
    assert scores.chance_recall == pytest.approx((2 / 3 + 2 * 1 / 2) / 3)
    # Morphs in common: cd of abcd, x of xyz; 5 guessed, 5 gold.
    assert (scores.morph_precision, scores.morph_recall, scores.morph_f1) == pytest.approx((0.4, 0.4, 0.4))
    # "ab @@cd" -> "a @@b @@cd" and "x @@y @@z" -> "x @@yz": three characters each.
    assert scores.edit_distance == 3.0


def test_a_guess_without_cuts_scores_zero_without_dividing_by_zero():
    scores = score(["ab"], [frozenset({1})], [frozenset()])
    assert (scores.boundary_precision, scores.boundary_recall, scores.boundary_f1) == (0.0, 0.0, 0.0)
    assert (scores.morph_precision, scores.morph_recall) == (0.0, 0.0)
    assert scores.edit_distance == 3.0


# Reading gold ---------------------------------------------------------------


@pytest.mark.parametrize(
    ("rows", "words", "duplicates", "unusable"),
    [
        ("kot\tkotek\tN\tN\tek\tsuffix\n", {"kotek": {3}}, 0, 0),
        ("robić\tprzerobić\tV\tV\tprze\tprefix\n", {"przerobić": {4}}, 0, 0),
        ("x\tabc\tN\tN\tzz\tsuffix\nx\tabd\tN\tN\tzz\tprefix\nx\tkotek\tN\tN\tek\tsuffix\n", {"kotek": {3}}, 0, 2),
        ("uszko\tucho\tN\tN\tucho\tsuffix\nx\tkotek\tN\tN\tek\tsuffix\n", {"kotek": {3}}, 0, 1),
        ("x\tkotek\tN\tN\t\tsuffix\nx\tkotek\tN\tN\tk\tprefix\n", {"kotek": {1}}, 0, 1),
        ("kot\tkotek\tN\tN\tek\tsuffix\nkot\tkotek\tN\tN\tko\tprefix\n", {"kotek": {3}}, 1, 0),
        ("kot\tkotek\tN\tN\tzz\tsuffix\nkot\tkotek\tN\tN\tko\tprefix\n", {"kotek": {2}}, 0, 1),
        ("jawić\tpojawiać się\tV\tV\tpo\tprefix\r\n\n", {"pojawiać się": {2}}, 0, 0),
    ],
    ids=["suffix", "prefix", "affix-not-at-edge", "affix-is-the-word", "empty-affix", "first-row-wins",
         "first-usable-row-wins", "crlf-and-blank-line"],
)
def test_morphynet_rows(tmp_path, rows, words, duplicates, unusable):
    gold = read_gold(write(tmp_path / "gold.tsv", rows))
    assert gold.kind == "morphynet"
    assert {entry.word: set(entry.cuts) for entry in gold.words} == words
    assert (gold.rows, gold.duplicates, gold.unusable) == (rows.count("\t") // 5, duplicates, unusable)


@pytest.mark.parametrize(
    ("rows", "words", "duplicates", "unusable"),
    [
        ("absolvent\tab @@solv @@ent\n", {"absolvent": {2, 6}}, 0, 0),
        ("statisztikusunk\tstatisztikus @@unk\t100\n", {"statisztikusunk": {12}}, 0, 0),
        ("Big Macé\tBig Mac @@é\t100\n", {"Big Macé": {7}}, 0, 0),
        ("abdomen\tabdomen\n", {"abdomen": set()}, 0, 0),
        ("életre kel\tél @@et @@re\t010\nabecedu\tabeced @@u\t100\n", {"abecedu": {6}}, 0, 1),
        ("abecedu\tabeced @@u\nabecedu\tabe @@ced @@u\n", {"abecedu": {6}}, 1, 0),
    ],
    ids=["three-morphs", "category-column", "morph-with-space", "one-morph", "canonical-skipped", "first-row-wins"],
)
def test_sigmorphon_rows(tmp_path, rows, words, duplicates, unusable):
    gold = read_gold(write(tmp_path / "gold.tsv", rows))
    assert gold.kind == "sigmorphon"
    assert {entry.word: set(entry.cuts) for entry in gold.words} == words
    assert (gold.duplicates, gold.unusable) == (duplicates, unusable)


@pytest.mark.parametrize(
    ("content", "message"),
    [
        ("a\tb\tc\td\n", "line 1: unknown gold file kind: 4 tab-separated fields "
         "(SIGMORPHON word-level rows have 2 or 3, MorphyNet derivational rows 6)"),
        ("\nabc\ta @@bc\nabc\n", "line 3: 1 tab-separated fields where this SIGMORPHON word level file has 2 or 3"),
        ("k\tkotek\tN\tN\tek\tsuffix\nk\tkotek\tN\tN\tek\n",
         "line 2: 5 tab-separated fields where this MorphyNet derivational file has 6"),
        ("k\tkotek\tN\tN\tot\tinfix\n", "line 1: affix kind 'infix' is neither 'suffix' nor 'prefix'"),
        ("k\t\tN\tN\tek\tsuffix\n", "line 1: empty derived word"),
        ("abc\ta @@ @@bc\n", "line 1: empty word or morph in 'abc' -> 'a @@ @@bc'"),
        ("abc\ta @@bc\nab\xffc\ta\n".encode("latin-1"), "line 2: not UTF-8 text (bad byte at column 3)"),
        ("\n\n", "no gold rows"),
        ("ab\u2581c\tab @@\u2581c\n", "line 1: the word 'ab\u2581c' holds \u2581 (U+2581), which marks morph boundaries"),
        ("abc\tabx @@c\n", "no usable gold row: all 1 are canonical segmentations, whose morphs do not spell the word"),
        ("x\tkotek\tN\tN\tzz\tsuffix\n", "no usable gold row: all 1 are affixes not at the edge of the derived word"),
    ],
    ids=["unknown-kind", "short-sigmorphon-row", "short-morphynet-row", "bad-affix-kind", "empty-word", "empty-morph",
         "not-utf8", "empty", "marker-in-word", "all-canonical", "all-off-edge"],
)
def test_bad_gold_files_are_named_with_the_line(tmp_path, content, message):
    path = write(tmp_path / "gold.tsv", content)
    with pytest.raises(EvaluationError) as caught:
        read_gold(path)
    assert str(caught.value) == f"{path}: {message}"


def test_a_missing_gold_file(tmp_path):
    with pytest.raises(EvaluationError, match=r"^.*missing\.tsv: cannot read: No such file or directory$"):
        read_gold(tmp_path / "missing.tsv")


# The whole evaluation -------------------------------------------------------


@pytest.mark.parametrize("batch", [8192, 1], ids=["one-batch", "line-by-line"])
def test_evaluate_a_morfex_model_worked_by_hand(tmp_path, tiny, monkeypatch, batch):
    monkeypatch.setattr(morfex.evaluation, "_TEXT_BATCH", batch)
    result = evaluate({"tiny": tiny}, texts=write(tmp_path / "text.txt", TEXT + "\n"),
                      gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS)).to_dict()
    assert result["systems"] == ["tiny"]
    (text,) = result["texts"]
    assert (text["lines"], text["words"], text["bytes"]) == (2, 2, 9)
    # a ▁ b cd ␣ c ▁ d ab with markers, 7 ids without (none for the empty line); both decode back.
    assert text["results"] == [
        {"system": "tiny", "unit": "tokens, marker ids kept", "tokens": 9, "tokens_per_word": 4.5,
         "bytes_per_token": 1.0, "lines_back": 1.0},
        {"system": "tiny", "unit": "tokens, marker ids left out", "tokens": 7, "tokens_per_word": 3.5,
         "bytes_per_token": 9 / 7, "lines_back": 1.0},
    ]
    (gold,) = result["gold"]
    segmenter, tokens = gold["results"]
    # Segmenter a|bcd and c|dab against ab|cd and cd|ab: no boundary found, each separator one place off.
    assert segmenter == {
        "system": "tiny", "unit": "segmenter", "words": 2, "cuts_per_word": 1.0, "boundary_precision": 0.0,
        "boundary_recall": 0.0, "boundary_f1": 0.0, "chance_recall": pytest.approx(1 / 3), "morph_precision": 0.0,
        "morph_recall": 0.0, "morph_f1": 0.0, "edit_distance": 2.0,
    }
    # Tokens a|b|cd and c|d|ab: every gold cut found among two, one morph of three right.
    assert tokens == {
        "system": "tiny", "unit": "tokens", "words": 2, "cuts_per_word": 2.0, "boundary_precision": 0.5,
        "boundary_recall": 1.0, "boundary_f1": pytest.approx(2 / 3), "chance_recall": pytest.approx(2 / 3),
        "morph_precision": pytest.approx(1 / 3), "morph_recall": 0.5, "morph_f1": pytest.approx(0.4),
        "edit_distance": 3.0,
    }


def test_morphynet_results_leave_out_what_partial_gold_cannot_tell(tmp_path, tiny):
    gold = write(tmp_path / "gold.tsv", "ab\tabcd\tN\tN\tcd\tsuffix\nab\tcdab\tN\tN\tcd\tprefix\n")
    (entry,) = evaluate([tiny], gold=gold).to_dict()["gold"]
    assert entry["kind"] == "morphynet"
    assert [{key: value for key, value in result.items() if value is not None} for result in entry["results"]] == [
        {"system": "morfex model 1", "unit": "segmenter", "words": 2, "cuts_per_word": 1.0, "boundary_recall": 0.0,
         "chance_recall": pytest.approx(1 / 3)},
        {"system": "morfex model 1", "unit": "tokens", "words": 2, "cuts_per_word": 2.0, "boundary_recall": 1.0,
         "chance_recall": pytest.approx(2 / 3)},
    ]


@pytest.mark.parametrize(
    ("segmenter", "units"),
    [(None, ["tokens"]), (lambda word: word[:2] + MARKER + word[2:], ["segmenter", "tokens"])],
    ids=["without-segmenter", "callable-segmenter"],
)
def test_segmenter_rows_follow_the_model(tmp_path, segmenter, units):
    tokenizer = morfex.Tokenizer(VOCAB, MERGES, segmenter=segmenter)
    (entry,) = evaluate([tokenizer], gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS)).to_dict()["gold"]
    assert [result["unit"] for result in entry["results"]] == units
    assert all(result["boundary_f1"] == 1.0 for result in entry["results"])


def test_repeated_names_are_numbered(tmp_path, tiny):
    tiny.save(tmp_path / "m.json")
    path = str(tmp_path / "m.json")
    result = evaluate([tiny, tiny, str.lower, path, path], gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS))
    assert result.systems == ("morfex model 1", "morfex model 2", "segmenter 3", path, f"{path} (2)")


def test_a_segmenter_alone_is_measured_on_gold_only(tmp_path):
    result = evaluate({"cut after b": lambda word: word.replace("b", "b" + MARKER)},
                      texts=write(tmp_path / "text.txt", TEXT), gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS))
    assert result.texts[0].results == ()
    assert [(row.unit, row.scores.boundary_recall) for row in result.gold[0].results] == [("segmenter", 0.5)]


def test_results_do_not_depend_on_the_thread_count(tmp_path):
    generator = random.Random(3)
    syllables = ["ko", "ta", "mi", "prze", "ro", "bi", "ć", "ksią", "żk", "a", "ach", "uni", "wer", "sy", "te", "ty"]
    words = sorted({"".join(generator.choices(syllables, k=generator.randrange(2, 6))) for _ in range(3000)})
    rows = []
    for word in words:
        cut = generator.randrange(1, len(word))
        rows.append(f"{word}\t{word[:cut]} @@{word[cut:]}\n")
    gold = write(tmp_path / "gold.tsv", "".join(rows))
    lines = (" ".join(words[start:start + 9]) + "\n" for start in range(0, len(words), 9))
    text = write(tmp_path / "text.txt", "".join(lines))
    model = morfex.default_model()
    one, two = (evaluate([model], texts=text, gold=gold, threads=threads).to_dict() for threads in (1, 2))
    assert one == two
    assert one["texts"][0]["results"][0]["lines_back"] == 1.0


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: evaluate(), ValueError, "evaluate needs text files, gold files or both"),
        (lambda: evaluate([], gold="g.tsv"), ValueError, "evaluate needs at least one model"),
        (lambda: evaluate([3], gold="g.tsv"), TypeError,
         "a model must be a morfex.Tokenizer, a morfex.Segmenter, a callable str -> str or the path of a model file, "
         "not int"),
    ],
    ids=["nothing-to-measure", "no-model", "bad-model"],
)
def test_bad_calls(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_a_segmentation_that_does_not_spell_the_word_is_refused(tmp_path):
    gold = write(tmp_path / "gold.tsv", SIGMORPHON_ROWS)
    with pytest.raises(EvaluationError) as caught:
        evaluate({"lossy": lambda word: word[1:]}, gold=gold)
    assert str(caught.value) == "lossy: the segmentation 'bcd' does not spell 'abcd'"


UNKNOWN_KIND = "unknown model kind: neither a morfex model file, a segmenter, a tokenizer.json nor a sentencepiece .model"


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"\x00\x01binary", UNKNOWN_KIND),
        (b"not a model", UNKNOWN_KIND),
        (b'{"type": "other", "words": 1, "morphs": {}}', "segmenter state type must be 'morfessor-baseline', got 'other'"),
        (b'{"format": "other"}', "format 'other' is not 'morfex-bpe'"),
    ],
    ids=["binary", "text", "other-segmenter", "other-format"],
)
def test_unknown_model_files(tmp_path, content, message):
    path = write(tmp_path / "model.bin", content)
    with pytest.raises((EvaluationError, morfex.ModelFileError)) as caught:
        evaluate([path], gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS))
    assert str(caught.value) == f"{path}: {message}"


def test_a_saved_segmenter_is_measured_alone(tmp_path, tiny):
    path = write(tmp_path / "segmenter.json", json.dumps(tiny.segmenter.to_state()))
    gold = write(tmp_path / "gold.tsv", SIGMORPHON_ROWS)
    (alone,) = evaluate([path], gold=gold).gold[0].results
    segmenter, _ = evaluate([tiny], gold=gold).gold[0].results
    assert (alone.unit, alone.scores) == ("segmenter", segmenter.scores)


@pytest.mark.parametrize(
    ("content", "message"),
    [(b"abcd\nab\xc3(\n", "line 2: not UTF-8 text (bad byte at column 3)"), (b"12 + 3\n\n", "no words to count tokens by")],
    ids=["not-utf8", "no-words"],
)
def test_bad_text_files(tmp_path, tiny, content, message):
    path = write(tmp_path / "text.txt", content)
    with pytest.raises(EvaluationError) as caught:
        evaluate([tiny], texts=path, gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS))
    assert str(caught.value) == f"{path}: {message}"


# Peers ----------------------------------------------------------------------


def test_a_tokenizers_model_is_run_by_tokenizers(tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    hf = tokenizers.Tokenizer(tokenizers.models.BPE(
        {"▁": 0, "a": 1, "b": 2, "c": 3, "d": 4, "ab": 5, "cd": 6}, [("a", "b"), ("c", "d")]))
    hf.pre_tokenizer = tokenizers.pre_tokenizers.Metaspace()
    hf.decoder = tokenizers.decoders.Metaspace()
    path = tmp_path / "tokenizer.json"
    hf.save(str(path))
    result = evaluate([str(path)], texts=write(tmp_path / "text.txt", TEXT),
                      gold=write(tmp_path / "gold.tsv", SIGMORPHON_ROWS)).to_dict()
    # ▁ ab cd ▁ cd ab: the leading ▁ maps onto the word's first character and cuts nothing.
    assert result["texts"][0]["results"] == [
        {"system": str(path), "unit": "tokens", "tokens": 6, "tokens_per_word": 3.0, "bytes_per_token": 1.5,
         "lines_back": 1.0}]
    (tokens,) = result["gold"][0]["results"]
    assert (tokens["boundary_f1"], tokens["morph_f1"], tokens["edit_distance"]) == (1.0, 1.0, 0.0)


def test_sentencepiece_cuts_equal_those_its_pieces_spell(tmp_path):
    spm = pytest.importorskip("sentencepiece")
    corpus = write(tmp_path / "corpus.txt", "kotami kot kotek domami dom domek żółw żółwiami\n" * 200)
    spm.SentencePieceTrainer.train(input=corpus, model_prefix=str(tmp_path / "sp"), model_type="bpe", vocab_size=300,
                                   byte_fallback=True, character_coverage=1.0, minloglevel=2)
    words = ["kotami", "domek", "żółwiami", "kotek", "mamy", "źdźbło"]
    gold = write(tmp_path / "gold.tsv", "".join(f"{word}\t{word[:2]} @@{word[2:]}\n" for word in words))
    processor = spm.SentencePieceProcessor(model_file=str(tmp_path / "sp.model"))
    # Reference: the lengths of the pieces, the word-start mark and byte pieces read by hand.
    expected_cuts = []
    for word in words:
        position, cuts, pending = 0, set(), b""
        for piece in processor.encode(word, out_type=str):
            if piece.startswith("<0x"):
                pending += bytes([int(piece[3:5], 16)])
                try:
                    text = pending.decode("utf-8")
                except UnicodeDecodeError:
                    continue
                pending = b""
            else:
                text = piece.replace("▁", "")
            if text and 0 < position < len(word):
                cuts.add(position)
            position += len(text)
        expected_cuts.append(cuts)
    (tokens,) = evaluate([str(tmp_path / "sp.model")], gold=gold).gold[0].results
    expected = score(words, [frozenset({2})] * len(words), [frozenset(cuts) for cuts in expected_cuts])
    assert tokens.scores == expected


# The command ----------------------------------------------------------------


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "morfex", "evaluate", *args], capture_output=True, text=True, cwd=cwd)


@pytest.fixture
def tiny_files(tmp_path, tiny):
    tiny.save(tmp_path / "tiny.json")
    return (str(tmp_path / "tiny.json"), write(tmp_path / "text.txt", TEXT),
            write(tmp_path / "gold.tsv", SIGMORPHON_ROWS + "abych\taby @@chy\n"))


def test_the_command_prints_tables(tiny_files, tmp_path):
    result = run("-m", "tiny.json", "--text", "text.txt", "--gold", "gold.tsv", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == """\
text text.txt: 1 lines, 2 words, 9 bytes (UTF-8)
system     unit                         tokens/word  bytes/token  lines back %
tiny.json  tokens, marker ids kept            4.500         1.00        100.00
tiny.json  tokens, marker ids left out        3.500         1.29        100.00

gold gold.tsv (SIGMORPHON word level): 2 words from 3 rows; left out: 1 canonical segmentations, whose morphs do not spell the word, 0 repeated words
system     unit       cuts/word   P %    R %  F1 %  morph P %  morph R %  morph F1 %  edit distance
tiny.json  segmenter       1.00   0.0    0.0   0.0        0.0        0.0         0.0           2.00
tiny.json  tokens          2.00  50.0  100.0  66.7       33.3       50.0        40.0           3.00
"""


def test_the_command_prints_json(tiny_files, tiny):
    model, text, gold = tiny_files
    result = run("-m", model, "--shipped", "--text", text, "--gold", gold, "--json")
    assert result.returncode == 0, result.stderr
    printed = json.loads(result.stdout)
    assert printed["systems"] == ["shipped model (polish.morfex.json)", model]
    assert printed == evaluate({name: path for name, path in zip(printed["systems"], [morfex.default_model(), model])},
                               texts=text, gold=gold).to_dict()


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        ((), 2, "morfex evaluate: error: give text files (--text), gold files (--gold) or both\n"),
        (("--gold", "{gold}", "-m", "{gold}", "-m", "{gold}"), 2, "morfex evaluate: error: -m {gold} is given twice\n"),
        (("--gold",), 2, "morfex evaluate: error: argument --gold: expected at least one argument\n"),
        (("--gold", "{gold}", "--threads", "2"), 2, "morfex: error: unrecognized arguments: --threads 2\n"),
        (("--gold", "{bad}"), 1, "morfex: error: {bad}: line 2: affix kind 'infix' is neither 'suffix' nor 'prefix'\n"),
        (("--gold", "{gold}", "-m", "{missing}"), 1, "morfex: error: {missing}: cannot read: No such file or directory\n"),
        (("--text", "{missing}"), 1, "morfex: error: {missing}: cannot read: No such file or directory\n"),
    ],
    ids=["nothing-to-measure", "model-twice", "gold-without-files", "unknown-option", "bad-gold-row", "missing-model",
         "missing-text"],
)
def test_command_line_faults(tmp_path, tiny_files, args, status, message):
    names = {"gold": tiny_files[2], "missing": str(tmp_path / "missing"),
             "bad": write(tmp_path / "bad.tsv", "k\tkotek\tN\tN\tek\tsuffix\nk\tkotka\tN\tN\ta\tinfix\n")}
    result = run(*(arg.format(**names) for arg in args))
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr.endswith(message.format(**names))

"""The native segmenter trainer: Morfessor 2.0.6's cost to the bit, its training, and train_segmenter's surface."""

import json
import math
import pickle
import random

import re

import pytest

import morfex
from morfex import MARKER, _trainer
from morfex.cli import main as cli_main
from morfex.evaluation.gold import read_segmentations
from morfex.segment.training import boundary_f1, train_segmenter_with_cost

morfessor = pytest.importorskip("morfessor")
morfessor.utils.show_progress_bar = False

DAMPEN = {"none": lambda x: x, "log": lambda x: int(round(math.log(x + 1, 2))), "ones": lambda x: 1}


def patterned_words(seed=2, stems=60, endings=8):
    """Every stem with every ending (UTF-8 letters of one to three bytes), so that splitting pays."""
    rng = random.Random(seed)
    letters = "abkoą€"

    def text(low, high):
        return "".join(rng.choice(letters) for _ in range(rng.randint(low, high)))

    stem_list = [text(4, 7) for _ in range(stems)]
    ending_list = [text(2, 4) for _ in range(endings)]
    return sorted({stem + ending for stem in stem_list for ending in ending_list}), stem_list, ending_list


def random_segmentations(seed):
    rng = random.Random(seed)
    words = {}
    for _ in range(300):
        word = "".join(rng.choice("abcdeáž") for _ in range(rng.randint(1, 9)))
        words[word] = rng.randint(1, 50)
    result = []
    for word, count in words.items():
        cuts = sorted(rng.sample(range(1, len(word)), k=rng.randint(0, len(word) - 1))) if len(word) > 1 else []
        result.append((word, count, [word[i:j] for i, j in zip([0, *cuts], [*cuts, len(word)])]))
    return result


def morfessor_model(weight, annotations=None, annotation_weight=None):
    model = morfessor.BaselineModel(corpusweight=weight)
    if annotations:
        model.set_annotations({w: [list(a) for a in alts] for w, alts in annotations.items()}, annotation_weight)
    return model


@pytest.mark.parametrize("dampening", ["none", "log", "ones"])
@pytest.mark.parametrize("annotated", [False, True])
@pytest.mark.parametrize(("weight", "annotation_weight"), [(1.0, None), (0.37, None), (2.5, 4.0)])
def test_the_cost_of_fixed_segmentations_is_morfessors(dampening, annotated, weight, annotation_weight):
    segmentations = random_segmentations(1)
    annotations = {}
    if annotated:
        for word, _, parts in segmentations[:40]:
            annotations[word] = [parts, [word]]
        annotations["zzqz"] = [["zz", "qz"]]  # a word of no segmentation, added to the corpus
    model = morfessor.BaselineModel(corpusweight=weight)
    model.load_segmentations((DAMPEN[dampening](c), w, p) for w, c, p in segmentations)
    if annotated:
        model.set_annotations(annotations, annotation_weight)
        model._epoch_update(0)
    expected = model.get_cost()
    got = _trainer.segmentation_cost(segmentations, list(annotations.items()), dampening, weight, annotation_weight)
    assert got == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize(("annotated", "weight"), [(False, 1.0), (False, 0.5), (True, 1.0)])
def test_the_trained_cost_is_within_a_percent_of_morfessors_or_lower(annotated, weight):
    words, stems, endings = patterned_words()
    annotations = {}
    if annotated:
        annotations = {stem + ending: stem + MARKER + ending for stem in stems[:15] for ending in endings[:2]}
    random.seed(0)
    model = morfessor.BaselineModel(corpusweight=weight)
    model.load_data((1, w) for w in words)
    if annotated:
        model.set_annotations({w: [s.split(MARKER)] for w, s in annotations.items()})
    _, expected = model.train_batch()
    trained = train_segmenter_with_cost(words, annotations=annotations or None, corpus_weight=weight)
    assert trained.cost <= expected * 1.01
    # Both split: the lexicon is well under the words.
    assert len(trained.segmenter.native.morphs()) < len(words) * 0.8


def test_a_weighted_segmenter_segments_as_morfessors_viterbi():
    words, _, _ = patterned_words(3)
    random.seed(0)
    model = morfessor.BaselineModel(corpusweight=0.3)
    model.load_data((1, w) for w in words)
    model.train_batch()
    state = {
        "type": "morfessor-baseline",
        "words": model._corpus_coding.boundaries,
        "morphs": dict(model.get_constructions()),
        "corpus_weight": 0.3,
    }
    segmenter = morfex.Segmenter.from_state(state)
    rng = random.Random(4)
    probes = words[::7] + ["".join(rng.choice("abkoąx€") for _ in range(rng.randint(1, 14))) for _ in range(300)]
    assert [segmenter.segment(w) for w in probes] == [MARKER.join(model.viterbi_segment(w)[0]) for w in probes]
    # Unweighted, new morphs cost more, so some word splits otherwise.
    plain = morfex.Segmenter.from_state({k: v for k, v in state.items() if k != "corpus_weight"})
    assert any(plain.segment(w) != segmenter.segment(w) for w in probes)


def test_a_seed_gives_one_model_at_any_thread_count():
    words, stems, endings = patterned_words(5)
    dev = {stem + ending: stem + MARKER + ending for stem in stems[:10] for ending in endings[:3]}
    first = train_segmenter_with_cost(words, dev=dev, seed=3, threads=1)
    again = train_segmenter_with_cost(words, dev=dev, seed=3, threads=2)
    assert first.segmenter == again.segmenter
    assert (first.corpus_weight, first.cost, first.tuning_f1) == (again.corpus_weight, again.cost, again.tuning_f1)
    assert morfex.train_segmenter(words, seed=3) == morfex.train_segmenter(words, seed=3)


def test_tuning_picks_the_best_dev_f1_of_the_weights_tried():
    words, stems, endings = patterned_words(6)
    dev = {stem + ending: stem + MARKER + ending for stem in stems[:20] for ending in endings}
    tuned = train_segmenter_with_cost(words, dev=dev)
    gold = [(w, [s.split(MARKER)]) for w, s in dev.items()]
    assert tuned.tuning_f1 == boundary_f1(tuned.segmenter, gold)
    for weight in (0.03, 1.0, 3.0):
        other = morfex.train_segmenter(words, corpus_weight=weight)
        assert boundary_f1(other, gold) <= tuned.tuning_f1
    assert tuned.segmenter.to_state().get("corpus_weight", 1.0) == tuned.corpus_weight


def test_annotations_pull_their_words_and_join_the_corpus():
    words, stems, endings = patterned_words(7)
    annotations = {stem + ending: stem + MARKER + ending for stem in stems[:20] for ending in endings[:2]}
    annotations["ąąą€"] = ["ą" + MARKER + "ąą€", "ąąą€"]  # alternatives; the word is not among the words
    segmenter = morfex.train_segmenter(words, annotations=annotations, corpus_weight=1.0, annotation_weight=10.0)
    agreeing = sum(segmenter.segment(w) == s for w, s in annotations.items() if isinstance(s, str))
    assert agreeing >= 0.9 * (len(annotations) - 1)
    assert segmenter.native.words == len(words) + 1


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: morfex.train_segmenter([]), ValueError, "no words to train on"),
        (lambda: morfex.train_segmenter({}), ValueError, "no words to train on"),
        (lambda: morfex.train_segmenter("kot"), TypeError,
         "words must be an iterable of words or a mapping of words to counts, not str"),
        (lambda: morfex.train_segmenter([b"kot"]), TypeError, "a word must be a str, not bytes"),
        (lambda: morfex.train_segmenter(["kot", "a b"]), ValueError, "word 'a b' holds whitespace"),
        (lambda: morfex.train_segmenter(["kot\t"]), ValueError, "word 'kot\t' holds whitespace"),
        (lambda: morfex.train_segmenter(["ko▁t"]), ValueError, "word 'ko▁t' holds the morpheme marker U+2581"),
        (lambda: morfex.train_segmenter([""]), ValueError, "word '' is empty"),
        (lambda: morfex.train_segmenter({"kot": 0}), ValueError, "the count of word 'kot' must be a positive int, got 0"),
        (lambda: morfex.train_segmenter({"kot": True}), ValueError,
         "the count of word 'kot' must be a positive int, got True"),
        (lambda: morfex.train_segmenter(["kot"], annotations={"kot": "ko▁ta"}), ValueError,
         "annotations: the segmentation 'ko▁ta' does not spell its word 'kot'"),
        (lambda: morfex.train_segmenter(["kot"], annotations={"kot": ["kot", "k▁ot▁"]}), ValueError,
         "annotations: the segmentation 'k▁ot▁' of 'kot' has an empty morph"),
        (lambda: morfex.train_segmenter(["kot"], annotations={"kot": []}), ValueError,
         "annotations: the word 'kot' has no segmentation"),
        (lambda: morfex.train_segmenter(["kot"], annotations={"k t": "k▁ t"}), ValueError,
         "word 'k t' holds whitespace"),
        (lambda: morfex.train_segmenter(["kot"], annotations=["kot"]), TypeError,
         "annotations must be a mapping of words to segmentations, not list"),
        (lambda: morfex.train_segmenter(["kot"], dev={"kot": "ko▁d"}), ValueError,
         "dev: the segmentation 'ko▁d' does not spell its word 'kot'"),
        (lambda: morfex.train_segmenter(["kot"], dampening="sqrt"), ValueError,
         "dampening must be 'none', 'log' or 'ones', not 'sqrt'"),
        (lambda: morfex.train_segmenter(["kot"], corpus_weight=0), ValueError,
         "corpus_weight must be a positive finite number, got 0"),
        (lambda: morfex.train_segmenter(["kot"], corpus_weight=math.inf), ValueError,
         "corpus_weight must be a positive finite number, got inf"),
        (lambda: morfex.train_segmenter(["kot"], annotation_weight=-1.0), ValueError,
         "annotation_weight must be a positive finite number, got -1.0"),
        (lambda: morfex.train_segmenter(["kot"], corpus_weight="1"), TypeError, "corpus_weight must be a number, not str"),
        (lambda: morfex.train_segmenter(["kot"], seed=-1), ValueError, "seed must be from 0 to 2**63 - 1, got -1"),
        (lambda: morfex.train_segmenter(["kot"], progress=3), TypeError, "progress must be callable, not int"),
    ],
)
def test_bad_input_is_named(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_progress_counts_each_epochs_words_and_its_errors_stop_training():
    words, _, _ = patterned_words(8)
    calls = []
    morfex.train_segmenter(words, progress=lambda *args: calls.append(args))
    assert calls[0] == (0, 0, len(words))
    assert (0, len(words), len(words)) in calls
    assert max(epoch for epoch, _, _ in calls) >= 1

    def fail(epoch, done, total):
        raise RuntimeError(f"stop at {epoch} {done}")

    with pytest.raises(RuntimeError, match="stop at 0 0"):
        morfex.train_segmenter(words, progress=fail)


def test_the_stored_form_keeps_the_weight_and_old_forms_load_as_before(tmp_path):
    words, _, _ = patterned_words(9)
    segmenter = morfex.train_segmenter(words, corpus_weight=0.25)
    state = segmenter.to_state()
    assert state["corpus_weight"] == 0.25
    assert morfex.Segmenter.from_state(json.loads(json.dumps(state))) == segmenter
    restored = pickle.loads(pickle.dumps(segmenter))
    assert restored == segmenter and restored.native.corpus_weight == 0.25
    plain = morfex.train_segmenter(words, corpus_weight=1.0)
    assert "corpus_weight" not in plain.to_state()
    assert morfex.Segmenter.from_state({**plain.to_state(), "corpus_weight": 1}) == plain
    tokenizer = morfex.train(["kot▁ami"], vocab_size=30)
    tokenizer.segmenter = segmenter
    tokenizer.save(tmp_path / "model.json")
    assert morfex.load(tmp_path / "model.json").segmenter == segmenter
    with pytest.raises(ValueError, match="corpus weight must be a positive finite number"):
        morfex.Segmenter.from_state({**state, "corpus_weight": -1.0})


def test_read_segmentations_keeps_rows_that_spell_their_word(tmp_path):
    path = tmp_path / "gold.tsv"
    # Morphs are separated by " @@", as evaluate reads them: a morph may hold a space.
    path.write_text("kotami\tkot @@am @@i\tNOUN\nšel\tjít @@l\nkotami\tkot @@ami\npsy\tps @@y\n\nBig Macé\tBig Mac @@é\n",
                    encoding="utf-8")
    assert read_segmentations(path) == {"kotami": ["kot▁am▁i", "kot▁ami"], "psy": ["ps▁y"], "Big Macé": ["Big Mac▁é"]}
    path.write_text("kot\n", encoding="utf-8")
    message = (f"{path}: line 1: unknown gold file kind: 1 tab-separated fields "
               "(SIGMORPHON word-level rows have 2 or 3, MorphyNet derivational rows 6)")
    with pytest.raises(ValueError, match=re.escape(message)):
        read_segmentations(path)
    # MorphyNet rows give one cut each, so they can annotate a trainer too.
    path.write_text("kot\tkotek\tN\tN\tek\tsuffix\nmiły\tnajmiłszy\tA\tA\tnaj\tprefix\n", encoding="utf-8")
    assert read_segmentations(path) == {"kotek": ["kot▁ek"], "najmiłszy": ["naj▁miłszy"]}


def test_cli_trains_a_segmenter_file(tmp_path, capsys):
    words, stems, endings = patterned_words(10)
    (tmp_path / "words.txt").write_text("\n".join(words) + "\n", encoding="utf-8")
    (tmp_path / "counts.txt").write_text("".join(f"{w}\t3\n" for w in words), encoding="utf-8")
    gold = "".join(f"{s}{e}\t{s} @@{e}\n" for s in stems[:10] for e in endings[:2])
    (tmp_path / "gold.tsv").write_text(gold, encoding="utf-8")
    out = tmp_path / "seg.json"
    assert cli_main(["train-segmenter", str(tmp_path / "words.txt"), "-q", "-o", str(out),
                     "--annotations", str(tmp_path / "gold.tsv"), "--corpus-weight", "0.5"]) == 0
    expected = morfex.train_segmenter(words, annotations=read_segmentations(tmp_path / "gold.tsv"), corpus_weight=0.5)
    assert morfex.Segmenter.from_state(json.loads(out.read_text(encoding="utf-8"))) == expected
    assert cli_main(["train-segmenter", str(tmp_path / "counts.txt"), "--counts", "--dampening", "none", "-q",
                     "-o", str(out)]) == 0
    expected = morfex.train_segmenter({w: 3 for w in words}, dampening="none")
    assert morfex.Segmenter.from_state(json.loads(out.read_text(encoding="utf-8"))) == expected
    assert cli_main(["train-segmenter", str(tmp_path / "words.txt"), "--counts", "-q", "-o", str(out)]) == 1
    assert capsys.readouterr().err == (
        f"morfex: error: {tmp_path / 'words.txt'}, line 1: expected word<TAB>count with a count of at least 1, "
        f"got {words[0]!r}\n")
    (tmp_path / "bad.txt").write_text("kot\na b\n", encoding="utf-8")
    assert cli_main(["train-segmenter", str(tmp_path / "bad.txt"), "-q", "-o", str(out)]) == 1
    assert capsys.readouterr().err == "morfex: error: word 'a b' holds whitespace\n"

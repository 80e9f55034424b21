"""The shipped model and the script that builds it: dense ids, a notice that names
every pinned input, inputs other than the pinned ones refused with the constant to
change, the gold rows split between annotating and measuring, the text's words kept whole."""

import hashlib
import sys
from collections import Counter
from pathlib import Path

import pytest

import morfex

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

import build_default_model as build  # noqa: E402

NOTICE = ROOT / "python" / "morfex" / "data" / "polish.morfex.NOTICE"
ROWS = [
    "dziewczyna\tdziewczynka\tN\tN\tka\tsuffix",
    "miły\tmiłość\tJ\tN\tość\tsuffix",
    "czytać\tprzeczytać\tV\tV\tprze\tprefix",
    "pisać\tnapisać\tV\tV\tna\tprefix",
    "pojawiać\tpojawiać się\tV\tV\tsię\tsuffix",
    "dom\tdomek\tN\tN\tek\tsuffix",
]


def test_the_shipped_model_has_dense_ids_and_its_segmenter():
    model = morfex.default_model()
    assert sorted(model.vocab.values()) == list(range(len(model)))
    assert model.byte_fallback and model.segmenter is not None


def test_the_notice_names_every_pinned_version_and_sha256():
    notice = " ".join(NOTICE.read_text(encoding="utf-8").split())
    for pin in (build.WORDFREQ_VERSION, build.WORDFREQ_SHA256, build.MORPHYNET_SHA256, build.MANPAGES_VERSION,
                build.MANPAGES_SHA256, build.GROFF_VERSION, f"{build.WORD_TYPES:,}"):
        assert pin in notice
    for licence in ("Creative Commons Attribution-ShareAlike 4.0", "Creative Commons Attribution-ShareAlike 3.0", "GPL-3+"):
        assert licence in notice


def test_a_gold_file_other_than_the_pinned_one_is_refused_with_the_constant_to_change(tmp_path):
    gold = tmp_path / "gold.tsv"
    gold.write_text(ROWS[0] + "\n", encoding="utf-8")
    digest = hashlib.sha256(gold.read_bytes()).hexdigest()
    with pytest.raises(SystemExit) as refused:
        build.annotations(gold, None)
    assert str(refused.value) == (
        f"SHA-256 of {gold}: got {digest}, the model is pinned to {build.MORPHYNET_SHA256}; to build from this "
        f"input, set MORPHYNET_SHA256 in scripts/build_default_model.py to {digest} and say so in "
        "python/morfex/data/polish.morfex.NOTICE")


def test_even_rows_annotate_and_odd_rows_are_left_to_measure(tmp_path, monkeypatch):
    gold, measure = tmp_path / "gold.tsv", tmp_path / "measure.tsv"
    gold.write_text("".join(row + "\n" for row in ROWS), encoding="utf-8")
    monkeypatch.setattr(build, "MORPHYNET_SHA256", hashlib.sha256(gold.read_bytes()).hexdigest())
    # Lines 2 and 6 are suffix rows, cut before the affix; line 4 a prefix row, cut after it.
    assert build.annotations(gold, measure) == {"miłość": "mił▁ość", "napisać": "na▁pisać", "domek": "dom▁ek"}
    assert measure.read_text(encoding="utf-8") == "".join(ROWS[i] + "\n" for i in (0, 2, 4))


def test_a_multi_word_entry_is_not_annotated(tmp_path, monkeypatch):
    gold = tmp_path / "gold.tsv"
    gold.write_text("".join(row + "\n" for row in [ROWS[0], ROWS[4]]), encoding="utf-8")
    monkeypatch.setattr(build, "MORPHYNET_SHA256", hashlib.sha256(gold.read_bytes()).hexdigest())
    assert build.annotations(gold, None) == {}


def test_words_of_the_text_stay_whole_and_the_others_are_cut_as_before():
    segmenter = morfex.train_segmenter(["kotami", "kot", "kotem", "domami", "dom", "domem", "psami"], corpus_weight=1.0)
    assert [segmenter.segment(word) for word in ("domami", "kotem")] == ["dom▁ami", "kot▁em"]
    whole = build.with_whole_words(segmenter, Counter({"domami": 1, "kotem": 3}))
    assert [whole.segment(word) for word in ("domami", "kotem", "kotami")] == ["domami", "kotem", "kot▁ami"]
    assert whole.native.words == segmenter.native.words + 2
    assert whole.native.corpus_weight == segmenter.native.corpus_weight


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("       Opcja  -v\n\n   wypisuje\twięcej\n", "Opcja -v\nwypisuje więcej\n"),
        ("   \n\t\n", ""),
        ("bez zmian\n", "bez zmian\n"),
    ],
)
def test_collapsing_leaves_one_space_between_words_and_drops_blank_lines(tmp_path, text, expected):
    source, collapsed = tmp_path / "source.txt", tmp_path / "collapsed.txt"
    source.write_text(text, encoding="utf-8")
    build.collapse(source, collapsed)
    assert collapsed.read_text(encoding="utf-8") == expected

"""The native segmenter on the text path, and models that carry it."""

import json

import pytest

import morfex
from morfex import Segmenter, Tokenizer
from morfex.vocabulary import MARKER, SPECIAL_TOKENS

SEGMENTED = {"kot▁ami": 3, "kot▁y": 2, "kot": 4, "pies▁ami": 1, "ala": 2, "m▁a": 2, "dom▁ami": 1}
TEXTS = [
    "Ala ma koty, a psy mają kotami domami.",
    "kotami  kotami\nkot▁ami kota▁mi",   # pre-segmented words keep their markers
    "",
    " ma\tma\r\nma ",
    "żółw kotyż 123 kot▁",
]


def model(segmenter):
    letters = sorted(set("".join(TEXTS).replace(MARKER, "")))
    vocab = {token: i for i, token in enumerate([*SPECIAL_TOKENS, MARKER, *letters, "ko", "kot", " k", " kot", "am", "ami"])}
    merges = [("k", "o"), ("ko", "t"), (" ", "k"), (" k", "ot"), ("a", "m"), ("am", "i")]
    return Tokenizer(vocab, merges, segmenter=segmenter)


@pytest.fixture(scope="module")
def segmenter():
    return Segmenter.from_counts(SEGMENTED)


@pytest.mark.parametrize("threads", [1, 2])
def test_the_native_segmenter_encodes_as_the_same_segmenter_called_from_python(segmenter, threads):
    native, called = model(segmenter), model(segmenter.segment)
    texts = TEXTS * 2000  # enough texts for both threads to work
    assert native.encode_text_batch(texts, threads=threads) == called.encode_text_batch(texts, threads=threads)
    ids, offsets = native.encode_text_flat(texts, threads=threads)
    assert ids.tolist() == [i for text in texts for i in called.encode_text(text)]
    for text in TEXTS:
        assert native.encode_text(text, offsets=True) == called.encode_text(text, offsets=True)
        assert native.encode_text(text, markers=False) == called.encode_text(text, markers=False)


def test_only_the_stretches_between_markers_already_in_a_word_are_segmented(segmenter):
    seen = []

    def recording(word):
        seen.append(word)
        return segmenter.segment(word)

    tok = model(recording)
    assert tok.encode_text("kot▁ami domami") == model(segmenter).encode_text("kot▁ami domami")
    assert sorted(seen) == ["ami", "domami", "kot"]
    tokens = [tok.id_to_token(i) for i in model(segmenter).encode_text(" kotami", markers=True)]
    assert "".join(tokens) == " kot▁ami"


def test_a_model_file_carries_its_segmenter(tmp_path, segmenter):
    tok = model(segmenter)
    path = tmp_path / "model.json"
    tok.save(path)
    loaded = morfex.load(path)
    assert loaded.segmenter == segmenter
    assert loaded.encode_text(TEXTS[0]) == tok.encode_text(TEXTS[0])
    assert json.loads(path.read_text(encoding="utf-8"))["segmenter"] == segmenter.to_state()
    model(None).save(path)
    assert "segmenter" not in json.loads(path.read_text(encoding="utf-8"))
    assert morfex.load(path).segmenter is None


@pytest.mark.parametrize("state, message", [
    ([1], "segmenter state must be a dict, not list"),
    ({"type": "other", "words": 1, "morphs": {"a": 1}}, "segmenter state type must be 'morfessor-baseline', got 'other'"),
])
def test_a_bad_segmenter_in_a_model_file_is_named(tmp_path, segmenter, state, message):
    path = tmp_path / "model.json"
    model(segmenter).save(path)
    data = json.loads(path.read_text(encoding="utf-8"))
    data["segmenter"] = state
    path.write_text(json.dumps(data), encoding="utf-8")
    with pytest.raises(morfex.ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == f"{path}: 'segmenter': {message}"


def test_a_callable_segmenter_is_refused_at_save_before_anything_is_written(tmp_path):
    def segment(word):
        return word

    path = tmp_path / "model.json"
    with pytest.raises(ValueError) as caught:
        model(segment).save(path)
    assert str(caught.value) == (
        f"the segmenter {segment!r} cannot be saved in a model file, only a morfex.Segmenter can; "
        "set the tokenizer's segmenter to None to save the model without it")
    assert not path.exists()

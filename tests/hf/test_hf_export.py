import json
import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import morfex
from morfex import Tokenizer
from morfex.hf import pattern as piece_pattern
from morfex.text import pieces as text_pieces

# Everything below loads local files only; nothing may reach for the hub.
os.environ["HF_HUB_OFFLINE"] = "1"
tokenizers = pytest.importorskip("tokenizers")

WORDS = ["k▁um▁ain", "Ala", "ma", "kot▁a", "zaż▁ół▁ć", "gęś▁l▁ą", "jaź▁ń", "dom▁ami", "123", "!?"] * 20
# Letters, markers, digits, punctuation, every kind of whitespace and a few characters no model has.
ALPHABET = "aąbcćdeęfghijklłmnńoóprsśtuwyzźż▁ ▁\n\t\r\u00a0\u2009\u3000 0123456789.,;!?-()\"'€😀ß\u0301"
HOSTILE = st.text(st.characters(exclude_categories=("Cs",)), max_size=40)
POLISH = st.text(st.sampled_from(ALPHABET), max_size=60)


def _plain(model):
    """The model without its segmenter, which an export cannot carry."""
    return Tokenizer(model.vocab, model.merges, byte_fallback=model.byte_fallback, special_tokens=model.special_tokens)


@pytest.fixture(scope="module")
def models():
    bracketed = morfex.train(WORDS, vocab_size=60)
    vocab = {{"<pad>": "[PAD]", "<unk>": "[UNK]"}.get(token, token): token_id for token, token_id in bracketed.vocab.items()}
    return {
        "shipped": _plain(morfex.default_model()),
        "small": morfex.train(WORDS, vocab_size=60),
        "bytes": morfex.train(WORDS, vocab_size=320, byte_fallback=True),
        "brackets": Tokenizer(vocab, bracketed.merges, special_tokens={"pad": "[PAD]", "unk": "[UNK]"}),
    }


@pytest.fixture(scope="module")
def exported(models, tmp_path_factory):
    """Name to (model, its directory, the tokenizers.Tokenizer read from it)."""
    result = {}
    for name, model in models.items():
        directory = tmp_path_factory.mktemp(name)
        model.save_hf(directory)
        result[name] = (model, directory, tokenizers.Tokenizer.from_file(str(directory / "tokenizer.json")))
    return result


def _check_same(model, hf, text):
    # The exported tokenizer keeps the ids of markers, as markers=True does.
    ids = model.encode_text(text, markers=True)
    assert hf.encode(text).ids == ids
    assert hf.decode(ids, skip_special_tokens=True) == model.decode_text(ids)


@pytest.mark.parametrize("name", ["shipped", "small", "bytes", "brackets"])
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.one_of(POLISH, HOSTILE))
def test_tokenizers_gives_the_ids_of_encode_text(exported, name, text):
    model, _, hf = exported[name]
    # tokenizers takes a special token's spelling in the text for that token.
    assume(not any(token in text for token in model.special_tokens.values()))
    _check_same(model, hf, text)


@pytest.mark.parametrize("name", ["shipped", "bytes"])
def test_class_boundaries_cut_alike(exported, name):
    # The pattern is built from the engine's table, so a regex engine of
    # another Unicode version still cuts at exactly the same characters.
    model, _, hf = exported[name]
    edges = set()
    for ranges in piece_pattern.classes().values():
        for first, last in ranges:
            edges.update({first - 1, first, last, last + 1})
    characters = [chr(point) for point in sorted(edges) if 0 <= point < 0x110000 and not 0xD800 <= point <= 0xDFFF]
    text = "".join(f"a{character}1 {character}  {character}." for character in characters)
    pieces = [piece for piece, _ in hf.pre_tokenizer.pre_tokenize_str(text)]
    assert pieces == text_pieces.split(text)
    _check_same(model, hf, text)


def test_special_spellings_in_the_text_need_encode_special_tokens(exported):
    model, _, hf = exported["small"]
    text = "a <s> b"
    assert hf.encode(text).ids != model.encode_text(text)
    hf.encode_special_tokens = True
    try:
        assert hf.encode(text).ids == model.encode_text(text)
    finally:
        hf.encode_special_tokens = False


@pytest.mark.parametrize("name", ["shipped", "small", "bytes", "brackets"])
def test_the_export_reads_back_to_an_equal_model(exported, name):
    model, directory, _ = exported[name]
    assert morfex.load(directory / "tokenizer.json") == model


def test_the_files_name_the_roles(exported):
    _, directory, _ = exported["brackets"]
    assert json.loads((directory / "special_tokens_map.json").read_text("utf-8")) == {
        "pad_token": "[PAD]", "unk_token": "[UNK]", "bos_token": "<s>", "eos_token": "</s>"}
    config = json.loads((directory / "tokenizer_config.json").read_text("utf-8"))
    assert config["tokenizer_class"] == "PreTrainedTokenizerFast" and config["pad_token"] == "[PAD]"
    data = json.loads((directory / "tokenizer.json").read_text("utf-8"))
    assert data["model"]["unk_token"] == "[UNK]" and not data["model"]["byte_fallback"]
    assert [entry["content"] for entry in data["added_tokens"]] == ["[PAD]", "[UNK]", "<s>", "</s>"]


@pytest.mark.parametrize("name", ["shipped", "brackets"])
def test_transformers_pads_truncates_and_decodes(exported, name):
    transformers = pytest.importorskip("transformers")
    model, directory, _ = exported[name]
    fast = transformers.PreTrainedTokenizerFast.from_pretrained(str(directory))
    roles = model.special_tokens
    assert (fast.pad_token, fast.unk_token, fast.bos_token, fast.eos_token) == (
        roles["pad"], roles["unk"], roles["bos"], roles["eos"])
    texts = ["Ala▁ma kot▁a.", "gęś▁l▁ą 12, zaż▁ół▁ć jaź▁ń\n€", "k▁um▁ain"]
    batch = fast(texts, padding=True, truncation=True, max_length=12)
    pad = model.vocab[roles["pad"]]
    for text, ids, mask in zip(texts, batch["input_ids"], batch["attention_mask"]):
        expected = model.encode_text(text, markers=True)[:12]
        assert ids[: len(expected)] == expected and len(ids) == max(map(len, batch["input_ids"]))
        assert ids[len(expected):] == [pad] * (len(ids) - len(expected))
        assert mask == [1] * len(expected) + [0] * (len(ids) - len(expected))
    full = fast(texts[1])["input_ids"]
    decoded = fast.decode(full, skip_special_tokens=True, clean_up_tokenization_spaces=False)
    assert decoded == model.decode_text(full)
    if name == "shipped":
        assert decoded == texts[1].replace("▁", "")


def test_a_file_in_place_of_the_directory(tmp_path, exported):
    model, _, _ = exported["small"]
    target = tmp_path / "taken"
    target.write_text("x")
    with pytest.raises(NotADirectoryError) as raised:
        model.save_hf(target)
    assert str(raised.value) == f"{target}: is a file, not a directory"


@pytest.mark.parametrize(
    ("vocab", "merges", "message"),
    [
        ({"<unk>": 0, "a": 1, "b": 2}, [("a", "b")],
         "the merge 'a' 'b' needs 'ab', which the vocabulary lacks: tokenizers wants every merge and its parts "
         "in the vocabulary"),
        ({"a": 0}, [], "the model has neither an unknown token nor byte fallback, and tokenizers would drop the "
         "characters it lacks"),
    ],
)
def test_models_tokenizers_cannot_hold_are_refused_before_writing(tmp_path, vocab, merges, message):
    with pytest.raises(ValueError) as raised:
        Tokenizer(vocab, merges).save_hf(tmp_path / "out")
    assert str(raised.value) == message
    assert not (tmp_path / "out").exists()


def test_a_failed_write_leaves_nothing(tmp_path, exported, monkeypatch):
    model, _, _ = exported["small"]
    written = []
    real = Path.write_text

    def failing(self, text, *args, **kwargs):
        if written:
            raise OSError(28, "No space left on device")
        written.append(self)
        return real(self, text, *args, **kwargs)

    monkeypatch.setattr(Path, "write_text", failing)
    with pytest.raises(OSError):
        model.save_hf(tmp_path)
    assert list(tmp_path.iterdir()) == []

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morfex
from conftest import MARKER
from morfex import ModelFileError, Tokenizer

BASE_VOCAB = {"<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4, "k": 5, "u": 6, "m": 7,
              "a": 8, "i": 9, "n": 10, "um": 11, "ai": 12, "ain": 13}
BASE_MERGES = [("u", "m"), ("a", "i"), ("ai", "n")]

# Everything a token may hold that a file format could mangle: separators,
# quotes, escapes, markers, line and paragraph separators, astral characters.
hostile_text = st.text(
    alphabet=st.one_of(
        st.sampled_from([" ", "\t", "\n", "\r", MARKER, '"', "\\", "\u2028", "\x00", "#", "/", "\U0001F600"]),
        st.characters(blacklist_categories=("Cs",)),
    ),
    min_size=1,
    max_size=8,
)


@st.composite
def hostile_models(draw):
    tokens = draw(st.lists(hostile_text, min_size=1, max_size=25, unique=True))
    ids = draw(st.lists(st.integers(0, 2**32 - 1), min_size=len(tokens), max_size=len(tokens), unique=True))
    merges = draw(st.lists(st.tuples(st.sampled_from(tokens), st.sampled_from(tokens)), max_size=25))
    return dict(zip(tokens, ids)), merges


@settings(max_examples=150, deadline=None)
@given(hostile_models())
def test_model_file_round_trip_keeps_every_token_and_merge_order(tmp_path_factory, model):
    vocab, merges = model
    path = tmp_path_factory.mktemp("model") / "model.json"
    Tokenizer(vocab, merges).save(path)
    loaded = morfex.load(path)
    assert dict(loaded.vocab) == vocab
    assert list(loaded.merges) == merges
    assert morfex.dumps(loaded) == path.read_text(encoding="utf-8")


def test_saved_file_is_json_with_format_name_and_version(tmp_path):
    path = tmp_path / "m.json"
    morfex.save(Tokenizer(BASE_VOCAB, BASE_MERGES), path)
    data = json.loads(path.read_text(encoding="utf-8"))
    assert data == {"format": "morfex-bpe", "version": 1, "vocab": BASE_VOCAB, "merges": [list(m) for m in BASE_MERGES]}


def test_loaded_model_encodes_like_the_original(tmp_path):
    original = Tokenizer(BASE_VOCAB, BASE_MERGES)
    original.save(tmp_path / "m.json")
    loaded = morfex.load(tmp_path / "m.json")
    for word in ["k▁um▁ain", "kumain", "ainum▁x", ""]:
        assert loaded.encode(word) == original.encode(word)


def _tokenizer_json(merges, **extra):
    model = {"type": "BPE", "vocab": BASE_VOCAB, "merges": merges, "dropout": None, "unk_token": "<unk>"}
    return json.dumps({"version": "1.0", "model": model, **extra})


@pytest.mark.parametrize(
    "merges",
    [["u m", "a i", "ai n"], [["u", "m"], ["a", "i"], ["ai", "n"]], ["u m", ["a", "i"], "ai n"]],
    ids=["strings", "arrays", "mixed"],
)
def test_tokenizer_json_merges_in_either_form(tmp_path, merges):
    path = tmp_path / "tokenizer.json"
    path.write_text(_tokenizer_json(merges), encoding="utf-8")
    loaded = morfex.load(path)
    assert dict(loaded.vocab) == BASE_VOCAB
    assert list(loaded.merges) == BASE_MERGES
    assert loaded.encode("k▁um▁ain") == [5, 4, 11, 4, 13]


def test_tokenizer_json_added_tokens_join_the_vocabulary(tmp_path):
    path = tmp_path / "tokenizer.json"
    added = [{"id": 0, "content": "<pad>", "special": True}, {"id": 40, "content": "<mask>", "special": True}]
    path.write_text(_tokenizer_json([], added_tokens=added), encoding="utf-8")
    assert dict(morfex.load(path).vocab) == {**BASE_VOCAB, "<mask>": 40}


def test_vocab_json_with_merges_txt(tmp_path):
    (tmp_path / "vocab.json").write_text(json.dumps(BASE_VOCAB), encoding="utf-8")
    (tmp_path / "merges.txt").write_text("#version: 0.2\r\nu m\r\na i\n\nai n\n", encoding="utf-8")
    loaded = morfex.load(tmp_path / "vocab.json", tmp_path / "merges.txt")
    assert dict(loaded.vocab) == BASE_VOCAB
    assert list(loaded.merges) == BASE_MERGES


VALID = json.dumps({"format": "morfex-bpe", "version": 1, "vocab": {"a": 0, "b": 1}, "merges": [["a", "b"]]})


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (VALID[:-20], "not valid JSON: Unterminated string starting at: line 1 column 67"),
        (VALID[:-2], "not valid JSON: Expecting ',' delimiter: line 1 column 88"),
        (b"", "not valid JSON: Expecting value: line 1 column 1"),
        (b'{"format": "morfex-bpe", "version": 1, "vocab": {"\xff": 0}}', "line 1: not UTF-8 text (bad byte at column 51)"),
        (b'{"format": "morfex-bpe",\n "version": 1,\n "vocab": {"a\xc3": 0}}', "line 3: not UTF-8 text (bad byte at column 14)"),
        (VALID.replace('"version": 1', '"version": 2'), "unsupported morfex-bpe version 2 (this morfex reads 1)"),
        (VALID.replace('"version": 1', '"version": "1"'), "unsupported morfex-bpe version '1' (this morfex reads 1)"),
        (VALID.replace('"merges"', '"merge"'), "no 'merges' in the model"),
        (VALID.replace('"b": 1', '"b": 0'), "'vocab': id 0 is given to both 'a' and 'b'"),
        (VALID.replace('"b": 1', '"b": -1'), "'vocab': the id of 'b' is not an integer from 0 to 4294967295: -1"),
        (VALID.replace('"b": 1', '"b": 4294967296'),
         "'vocab': the id of 'b' is not an integer from 0 to 4294967295: 4294967296"),
        (VALID.replace('"b": 1', '"b": 1.0'), "'vocab': the id of 'b' is not an integer from 0 to 4294967295: 1.0"),
        (VALID.replace('"b": 1', '"b": true'), "'vocab': the id of 'b' is not an integer from 0 to 4294967295: True"),
        (VALID.replace('"b": 1', '"a": 1'), "key 'a' appears twice"),
        (VALID.replace('{"a": 0, "b": 1}', '[["a", 0]]'), "'vocab' is not an object of token to id"),
        (VALID.replace('[["a", "b"]]', '[["a", "b", "c"]]'), "'merges'[0]: ['a', 'b', 'c'] is not a pair of token strings"),
        (VALID.replace('[["a", "b"]]', '["a b"]'), "'merges'[0]: 'a b' is not a pair of token strings"),
        (VALID.replace('[["a", "b"]]', '[["a", 1]]'), "'merges'[0]: ['a', 1] is not a pair of token strings"),
        (VALID.replace('[["a", "b"]]', '{}'), "'merges' is not a list"),
        (VALID.replace("morfex-bpe", "other"), "format 'other' is not 'morfex-bpe'"),
        ('{"a": 0, "b": 1}', "looks like a vocab.json; give its merges.txt as well"),
        ("[1, 2]", "neither a morfex-bpe model nor a tokenizer.json with a BPE model"),
        ('{"model": {"type": "WordPiece", "vocab": {}}}', "model type 'WordPiece' is not BPE"),
        ('{"model": []}', "'model' is not an object"),
        ('{"model": {"type": "BPE", "vocab": {}}}', "no 'merges' in 'model'"),
        ('{"model": {"vocab": {"a": 0}, "merges": ["a  b"]}}', "'model.merges'[0]: 'a  b' is not two tokens separated by one space"),
        ('{"model": {"vocab": {"a": 0}, "merges": ["ab"]}}', "'model.merges'[0]: 'ab' is not two tokens separated by one space"),
        ('{"model": {"vocab": {"a": 0}, "merges": []}, "added_tokens": [{"id": 0, "content": "x", "special": true}]}',
         "'model.vocab' with 'added_tokens': id 0 is given to both 'a' and 'x'"),
        ('{"model": {"vocab": {"a": 0}, "merges": []}, "added_tokens": [{"content": "x", "special": true}]}',
         "'added_tokens'[0] has no string 'content', integer 'id' and boolean 'special'"),
    ],
)
def test_malformed_files_name_the_file_and_the_fault(tmp_path, content, message):
    path = tmp_path / "model.json"
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == f"{path}: {message}"
    assert caught.value.__cause__ is None


@pytest.mark.parametrize(
    ("merges_txt", "message"),
    [
        ("u m\nu\n", "line 2: 'u' is not two tokens separated by one space"),
        ("#version: 0.2\nu m \n", "line 2: 'u m ' is not two tokens separated by one space"),
        ("u m\na i j\n", "line 2: 'a i j' is not two tokens separated by one space"),
        (" m\n", "line 1: ' m' is not two tokens separated by one space"),
    ],
)
def test_malformed_merges_txt_names_its_line(tmp_path, merges_txt, message):
    (tmp_path / "vocab.json").write_text(json.dumps(BASE_VOCAB), encoding="utf-8")
    (tmp_path / "merges.txt").write_text(merges_txt, encoding="utf-8")
    with pytest.raises(ModelFileError, match="^") as caught:
        morfex.load(tmp_path / "vocab.json", tmp_path / "merges.txt")
    assert str(caught.value) == f"{tmp_path / 'merges.txt'}: {message}"


def test_missing_file_is_named(tmp_path):
    with pytest.raises(ModelFileError) as caught:
        morfex.load(tmp_path / "absent.json")
    assert str(caught.value) == f"{tmp_path / 'absent.json'}: cannot read: No such file or directory"


def test_tokenizer_refuses_an_id_held_by_two_tokens():
    with pytest.raises(ValueError, match=r"^id 3 is given to both 'a' and 'b'$"):
        Tokenizer({"a": 3, "b": 3}, [])


def test_default_model_is_a_trained_polish_model():
    model = morfex.default_model()
    assert model is morfex.default_model()
    assert [model.id_to_token(i) for i in range(5)] == ["<pad>", "<unk>", "<s>", "</s>", MARKER]
    assert len(model) > 1000
    assert not any(MARKER in part for pair in model.merges for part in pair)
    assert model.decode(model.encode("kot▁ami")) == "kotami"

import importlib.resources
import pickle
import subprocess
import sys

import pytest

import morfex
from morfex import SPECIAL_ROLES, Tokenizer, _engine
from morfex.formats.files import DEFAULT_MODEL

# "[UNK]" at 0 and "[PAD]" at 1: the core's own rule would give unknown characters id 1.
BRACKET_VOCAB = {"[UNK]": 0, "[PAD]": 1, "[CLS]": 2, "<pad>": 3, "▁": 4, "a": 5, "b": 6, "ab": 7, " ": 8, " ab": 9}
BRACKET_MERGES = [("a", "b"), (" ", "ab")]
BRACKETS = {"unk": "[UNK]", "pad": "[PAD]", "bos": "[CLS]"}


@pytest.fixture(scope="module")
def bracketed():
    return Tokenizer(BRACKET_VOCAB, BRACKET_MERGES, special_tokens=BRACKETS)


def test_roles_default_to_the_usual_spellings_present():
    tokenizer = Tokenizer({"<pad>": 0, "</s>": 5, "a": 1}, [])
    assert dict(tokenizer.special_tokens) == {"pad": "<pad>", "eos": "</s>"}
    assert SPECIAL_ROLES == ("pad", "unk", "bos", "eos")
    with pytest.raises(TypeError):
        tokenizer.special_tokens["pad"] = "a"  # type: ignore[index]


@pytest.mark.parametrize(
    ("given", "error", "message"),
    [
        ({"mask": "a"}, ValueError, "special_tokens: unknown role 'mask' (the roles are pad, unk, bos, eos)"),
        ({"unk": "[UNK]"}, ValueError, "special_tokens['unk']: '[UNK]' is not in the vocabulary"),
        ({"unk": 0}, TypeError, "special_tokens['unk'] must be a str, not int"),
        (["unk"], TypeError, "special_tokens must be a mapping of role to token, not list"),
    ],
)
def test_bad_special_tokens_are_refused(given, error, message):
    with pytest.raises(error) as raised:
        Tokenizer({"a": 0}, [], special_tokens=given)
    assert str(raised.value) == message


def test_special_id_names_the_missing_role(bracketed):
    assert [bracketed._special_id(role) for role in ("pad", "unk", "bos")] == [1, 0, 2]
    for role, message in [("eos", "eos=True needs the token </s> in the vocabulary, or another named in special_tokens"),
                          ("cls", "unknown special role 'cls' (the roles are pad, unk, bos, eos)")]:
        with pytest.raises(ValueError) as raised:
            bracketed._special_id(role)
        assert str(raised.value) == message


@pytest.mark.parametrize("threads", [1, 2])
def test_unknown_characters_take_the_named_unknown_token(bracketed, threads):
    assert bracketed.encode("ab€▁a") == [7, 0, 4, 5]
    assert bracketed.encode_batch(["ab€▁a", "€"], threads=threads) == [[7, 0, 4, 5], [0]]
    assert bracketed.encode_text_batch(["ab €", "€ ab"], threads=threads) == [[7, 8, 0], [0, 9]]
    assert bracketed.encode_text("€ ab", offsets=True) == ([0, 9], [(0, 1), (1, 4)])
    assert bracketed.encode_tokens("a€") == ["a", "[UNK]"]


@pytest.mark.parametrize("threads", [1, 2])
def test_decoding_drops_the_named_tokens_only(bracketed, threads):
    ids = [2, 7, 0, 1, 3, 4, 5]
    # "<pad>" plays no role here, so it is text like any other token.
    assert bracketed.decode(ids) == "ab<pad>a"
    assert bracketed.decode_text(ids) == "ab<pad>a"
    assert bracketed.decode_batch([ids, [1]], threads=threads) == ["ab<pad>a", ""]
    assert bracketed.decode_text_batch([ids], threads=threads) == ["ab<pad>a"]


def test_special_tokens_survive_model_files_and_pickles(tmp_path, bracketed):
    path = tmp_path / "m.json"
    bracketed.save(path)
    assert '"special_tokens": {"pad": "[PAD]", "unk": "[UNK]", "bos": "[CLS]"}' in path.read_text("utf-8")
    loaded = morfex.load(path)
    assert loaded == bracketed and dict(loaded.special_tokens) == {"pad": "[PAD]", "unk": "[UNK]", "bos": "[CLS]"}
    assert pickle.loads(pickle.dumps(bracketed)) == bracketed
    assert bracketed != Tokenizer(BRACKET_VOCAB, BRACKET_MERGES, special_tokens={"unk": "[UNK]"})


def test_usual_spellings_leave_files_and_pickles_as_they_were():
    shipped = morfex.default_model()
    assert morfex.dumps(shipped) == (importlib.resources.files("morfex") / "data" / DEFAULT_MODEL).read_text("utf-8")
    state = shipped.__reduce__()[1][0]
    assert "special_tokens" not in state
    # A state written before the roles existed has no such key and loads as before.
    assert pickle.loads(pickle.dumps(shipped)) == shipped


def test_info_shows_the_spellings(tmp_path, bracketed):
    path = tmp_path / "m.json"
    bracketed.save(path)
    result = subprocess.run([sys.executable, "-m", "morfex", "info", "-m", str(path)], capture_output=True, check=True)
    assert "special tokens: [PAD]=1 [UNK]=0 [CLS]=2" in result.stdout.decode("utf-8").splitlines()


@pytest.mark.parametrize(
    ("special_ids", "unk_token", "error", "message"),
    [
        (None, "a", ValueError, "unk_token needs special_ids"),
        ([0, 1, 2, 3, 4], None, ValueError, "special_ids holds at most 4 ids, got 5"),
        ([0], "q", ValueError, "unk_token is not in the vocabulary"),
        ([0], 5, TypeError, "argument 'unk_token': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_engine_refuses_bad_roles(special_ids, unk_token, error, message):
    with pytest.raises(error) as raised:
        _engine.Engine({"a": 0}, [], 0, None, special_ids, unk_token)
    assert str(raised.value) == message


@pytest.mark.parametrize("threads", [1, 2])
def test_framing_and_padding_use_the_named_spellings(bracketed, threads):
    # "<pad>" is in the vocabulary too, but the model names "[PAD]" for padding.
    matrix, mask = bracketed.encode_padded(["ab", "a▁b", ""], bos=True, threads=threads)
    assert matrix.tolist() == [[2, 7, 1, 1], [2, 5, 4, 6], [2, 1, 1, 1]]
    assert mask.tolist() == [[1, 1, 0, 0], [1, 1, 1, 1], [1, 0, 0, 0]]
    assert bracketed.encode_batch(["ab"], bos=True, max_length=1, threads=threads) == [[2]]

"""Model files built to mislead: byte-order marks, merges the vocabulary cannot hold, absurd
nesting and numbers, special roles on ordinary tokens, and directories given for a file."""

import json

import pytest

import morfex
from conftest import MARKER
from morfex import ModelFileError, Tokenizer

tokenizers = pytest.importorskip("tokenizers")

VOCAB = {"<unk>": 0, MARKER: 1, "a": 2, "b": 3, "c": 4, "ab": 5, "abc": 6}
MERGES = [("a", "b"), ("ab", "c")]
BOM = "\ufeff"


def morfex_file(**changes):
    return json.dumps({"format": "morfex-bpe", "version": 1, "vocab": VOCAB, "merges": MERGES, **changes})


def tokenizer_json(vocab=VOCAB, merges=MERGES, added=()):
    model = {"type": "BPE", "vocab": vocab, "merges": [f"{left} {right}" for left, right in merges],
             "unk_token": "<unk>"}
    return json.dumps({"version": "1.0", "added_tokens": list(added), "model": model})


def write_pair(tmp_path, vocab_text, merges_text):
    (tmp_path / "vocab.json").write_text(vocab_text, encoding="utf-8")
    (tmp_path / "merges.txt").write_text(merges_text, encoding="utf-8")
    return tmp_path / "vocab.json", tmp_path / "merges.txt"


@pytest.mark.parametrize(("vocab_bom", "merges_bom"), [(True, False), (False, True), (True, True)])
def test_a_byte_order_mark_is_dropped_from_either_file(tmp_path, vocab_bom, merges_bom):
    vocab, merges = write_pair(tmp_path, BOM * vocab_bom + json.dumps(VOCAB),
                               BOM * merges_bom + "#version: 0.2\na b\nab c\n")
    loaded = morfex.load(vocab, merges)
    assert list(loaded.merges) == MERGES
    assert loaded.encode("ab") == [5]
    # Without the "#version" line the first merge starts right after the mark.
    (tmp_path / "merges.txt").write_text(BOM + "a b\nab c\n", encoding="utf-8")
    assert list(morfex.load(vocab, merges).merges) == MERGES


@pytest.mark.parametrize("kind", ["morfex", "tokenizer.json"])
def test_a_byte_order_mark_is_dropped_from_json_model_files(tmp_path, kind):
    path = tmp_path / "model.json"
    path.write_text(BOM + (morfex_file() if kind == "morfex" else tokenizer_json()), encoding="utf-8")
    assert morfex.load(path).encode("abc") == [6]


@pytest.mark.parametrize(
    ("merges_txt", "message"),
    [
        ("a b\nab x\n", "line 2: merge 'ab' 'x' names 'x', which the vocabulary lacks"),
        ("#version: 0.2\nq b\n", "line 2: merge 'q' 'b' names 'q', which the vocabulary lacks"),
        ("a b\nb c\n", "line 2: merge 'b' 'c' makes 'bc', which the vocabulary lacks"),
    ],
)
def test_merges_txt_that_the_vocabulary_cannot_hold_is_refused_by_line(tmp_path, merges_txt, message):
    vocab, merges = write_pair(tmp_path, json.dumps(VOCAB), merges_txt)
    with pytest.raises(ModelFileError) as caught:
        morfex.load(vocab, merges)
    assert str(caught.value) == f"{merges}: {message}"


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (tokenizer_json(merges=[("a", "b"), ("x", "c")]),
         "'model.merges'[1]: merge 'x' 'c' names 'x', which the vocabulary lacks"),
        (tokenizer_json(merges=[("a", "c")]), "'model.merges'[0]: merge 'a' 'c' makes 'ac', which the vocabulary lacks"),
        (morfex_file(version=1.0), "unsupported morfex-bpe version 1.0 (this morfex reads 1)"),
        (morfex_file(version=True), "unsupported morfex-bpe version True (this morfex reads 1)"),
    ],
)
def test_json_merges_and_versions_that_cannot_be_right_are_refused(tmp_path, content, message):
    path = tmp_path / "model.json"
    path.write_text(content, encoding="utf-8")
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == f"{path}: {message}"


@pytest.mark.parametrize("merge", [("a", "x"), ("a", "c")], ids=["part", "result"])
def test_tokenizers_refuses_the_merges_that_morfex_refuses(tmp_path, merge):
    # The reference for the rule: tokenizers will not read a BPE whose merge names or makes a missing token.
    path = tmp_path / "tokenizer.json"
    path.write_text(tokenizer_json(merges=[merge]), encoding="utf-8")
    with pytest.raises(Exception, match="out of vocabulary|OutOfVocabulary"):
        tokenizers.Tokenizer.from_file(str(path))
    with pytest.raises(ModelFileError):
        morfex.load(path)


def test_morfex_files_keep_merges_that_never_apply(tmp_path):
    # As a Tokenizer does: a model saved with such merges reads back the same.
    tokenizer = Tokenizer(VOCAB, [*MERGES, ("a", "x"), ("b", "c")])
    tokenizer.save(tmp_path / "model.json")
    assert morfex.load(tmp_path / "model.json") == tokenizer


def test_a_merge_with_the_marker_gives_the_ids_of_tokenizers(tmp_path):
    # tokenizers applies it like any other merge, and so does morfex: such files load.
    vocab = {**VOCAB, f"a{MARKER}": 7, f"a{MARKER}b": 8}
    path = tmp_path / "tokenizer.json"
    path.write_text(tokenizer_json(vocab=vocab, merges=[("a", MARKER), (f"a{MARKER}", "b")]), encoding="utf-8")
    word = f"a{MARKER}bca{MARKER}"
    assert morfex.load(path).encode(word) == tokenizers.Tokenizer.from_file(str(path)).encode(word).ids == [8, 4, 7]


DEEP = 100_000


@pytest.mark.parametrize(
    ("name", "content"),
    [
        ("model.json", morfex_file()[:-1] + ', "segmenter": ' + "[" * DEEP + "]" * DEEP + "}"),
        ("vocab.json", "[" * DEEP + "]" * DEEP),
        ("tokenizer.json", '{"model": ' + '{"a": ' * DEEP + "1" + "}" * DEEP + "}"),
    ],
)
def test_deep_nesting_is_a_model_file_error(tmp_path, name, content):
    path = tmp_path / name
    path.write_text(content, encoding="utf-8")
    (tmp_path / "merges.txt").write_text("a b\n", encoding="utf-8")
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path, tmp_path / "merges.txt" if name == "vocab.json" else None)
    assert str(caught.value) == f"{path}: not valid JSON: nested too deeply"


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (morfex_file(vocab={"a": 0}).replace('"a": 0', '"a": ' + "7" * 5000),
         "'vocab': the id of 'a' is not an integer from 0 to 4294967295: <a number of 5000 digits>"),
        (morfex_file().replace('"version": 1', '"version": -' + "1" * 5000),
         "unsupported morfex-bpe version <a number of 5000 digits> (this morfex reads 1)"),
    ],
)
def test_a_number_too_long_to_read_is_named_with_its_file(tmp_path, content, message):
    path = tmp_path / "model.json"
    path.write_text(content, encoding="utf-8")
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == f"{path}: {message}"


def added_token(token_id, content, special):
    return {"id": token_id, "content": content, "single_word": False, "lstrip": False, "rstrip": False,
            "normalized": not special, "special": special}


@pytest.mark.parametrize(
    ("added", "text"),
    [(added_token(7, "xyz", False), "xyz"), (added_token(5, "ab", False), "abc")],
    ids=["new token", "in the vocabulary"],
)
def test_non_special_added_tokens_are_refused_where_tokenizers_gives_other_ids(tmp_path, added, text):
    path = tmp_path / "tokenizer.json"
    vocab = {**VOCAB, "x": 8, "y": 9, "z": 10}
    path.write_text(tokenizer_json(vocab=vocab, added=[added_token(0, "<unk>", True), added]), encoding="utf-8")
    # What morfex would give without the added token differs from what tokenizers gives with it.
    assert tokenizers.Tokenizer.from_file(str(path)).encode(text).ids != Tokenizer(vocab, MERGES).encode(text)
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == (
        f"{path}: 'added_tokens'[1]: {added['content']!r} is not special: tokenizers cuts such a token out of "
        "the text before the model sees it, which morfex does not do"
    )


def test_an_added_token_without_its_special_flag_is_refused(tmp_path):
    path = tmp_path / "tokenizer.json"
    path.write_text(tokenizer_json(added=[{"id": 0, "content": "<unk>"}]), encoding="utf-8")
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == f"{path}: 'added_tokens'[0] has no string 'content', integer 'id' and boolean 'special'"


def test_special_added_tokens_still_load(tmp_path):
    path = tmp_path / "tokenizer.json"
    path.write_text(tokenizer_json(added=[added_token(0, "<unk>", True)]), encoding="utf-8")
    assert morfex.load(path).encode("abc") == tokenizers.Tokenizer.from_file(str(path)).encode("abc").ids == [6]


@pytest.mark.parametrize(
    ("special", "message"),
    [
        ({"unk": "a"}, "special_tokens['unk']: 'a' is taken by the merge 'a' 'b'"),
        ({"pad": "c"}, "special_tokens['pad']: 'c' is taken by the merge 'ab' 'c'"),
        ({"eos": "ab"}, "special_tokens['eos']: 'ab' is made by the merge 'a' 'b'"),
        ({"bos": "abc"}, "special_tokens['bos']: 'abc' is made by the merge 'ab' 'c'"),
    ],
)
def test_a_special_role_on_a_token_that_merges_is_refused(special, message):
    with pytest.raises(ValueError) as caught:
        Tokenizer(VOCAB, MERGES, special_tokens=special)
    assert str(caught.value) == message + ": a special token is dropped by decode, so no merge may use or make it"


def test_the_usual_spellings_may_merge_as_the_core_has_them():
    # The core drops "<s>" in any case: refusing the model would change nothing but its loading.
    tokenizer = Tokenizer({**VOCAB, "<s": 7, ">": 8, "<s>": 9}, [("<s", ">")], special_tokens={"bos": "<s>"})
    assert tokenizer.special_tokens["bos"] == "<s>"


def test_a_special_role_on_a_token_no_merge_touches_is_kept():
    tokenizer = Tokenizer({**VOCAB, "<e>": 9}, MERGES, special_tokens={"unk": MARKER, "eos": "<e>"})
    assert dict(tokenizer.special_tokens) == {"unk": MARKER, "eos": "<e>"}
    assert tokenizer.decode([2, 5, 9]) == "aab"


def test_a_model_file_with_a_special_role_on_a_merging_token_names_the_file(tmp_path):
    path = tmp_path / "model.json"
    path.write_text(morfex_file(special_tokens={"unk": "ab"}), encoding="utf-8")
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value).startswith(f"{path}: special_tokens['unk']: 'ab' is made by the merge 'a' 'b'")


def saved_directory(tmp_path, *names):
    tokenizer = Tokenizer(VOCAB, MERGES)
    directory = tmp_path / "model"
    tokenizer.save_hf(directory)
    for name in names:
        Tokenizer({**VOCAB, name: 20}, MERGES).save(directory / name)
    return directory


@pytest.mark.parametrize(
    ("names", "loaded_from"),
    [
        ((), "tokenizer.json"),
        (("polish.morfex.json",), "polish.morfex.json"),
    ],
)
def test_a_directory_loads_its_morfex_model_else_its_tokenizer_json(tmp_path, names, loaded_from):
    directory = saved_directory(tmp_path, *names)
    assert morfex.load(directory) == morfex.load(directory / loaded_from)
    assert morfex.load(str(directory)) == morfex.load(directory / loaded_from)


def test_a_directory_of_vocab_json_and_merges_txt_loads(tmp_path):
    write_pair(tmp_path, json.dumps(VOCAB), "a b\nab c\n")
    assert morfex.load(tmp_path) == Tokenizer(VOCAB, MERGES)


@pytest.mark.parametrize(
    ("names", "message"),
    [
        ((), "a directory with no *.morfex.json, tokenizer.json, or vocab.json and merges.txt"),
        (("one.morfex.json", "two.morfex.json"),
         "a directory with more than one *.morfex.json (one.morfex.json, two.morfex.json): name the file"),
    ],
)
def test_a_directory_without_one_model_is_refused(tmp_path, names, message):
    for name in names:
        Tokenizer(VOCAB, MERGES).save(tmp_path / name)
    with pytest.raises(ModelFileError) as caught:
        morfex.load(tmp_path)
    assert str(caught.value) == f"{tmp_path}: {message}"


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (morfex_file(version="v" * 1_000_000), "unsupported morfex-bpe version '" + "v" * 27 + "..." + "v" * 28 + "' (this morfex reads 1)"),
        (morfex_file(merges=[["a", "b", "c"] * 100_000]), "'merges'[0]: ['a', 'b', 'c', 'a', 'b', 'c', ...] is not a pair "
         "of token strings"),
        (morfex_file()[:-1] + ', "byte_fallback": ' + "[" * 1000 + "]" * 1000 + "}",
         "'byte_fallback' must be true or false, not [[[[...]]]]"),
        (tokenizer_json().replace('"unk_token": "<unk>"', '"unk_token": ' + "9" * 3000),
         "model BPE option unk_token=<a number of 3000 digits> is not a string"),
    ],
    ids=["long string", "long list", "deep list", "long number"],
)
def test_a_long_or_deep_value_is_quoted_in_short(tmp_path, content, message):
    path = tmp_path / "model.json"
    path.write_text(content, encoding="utf-8")
    with pytest.raises(ModelFileError) as caught:
        morfex.load(path)
    assert str(caught.value) == f"{path}: {message}"

import json

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import morfex
from morfex.hf import export as hf_export

tokenizers = pytest.importorskip("tokenizers")
from tokenizers import Regex, decoders, models, normalizers, pre_tokenizers, processors, trainers  # noqa: E402

WORDS = ["k▁um▁ain", "Häus▁er", "kot▁a▁mi", "dom▁ami", "zaż▁ół▁ć", "gęś▁l▁ą", "ab▁ab▁ab"] * 30
USUAL = ["<pad>", "<unk>", "<s>", "</s>"]
BRACKETS = ["[UNK]", "[PAD]", "[CLS]", "[SEP]"]
MARKER_DECODER = decoders.Sequence([decoders.Replace("▁", ""), decoders.Fuse()])
LETTERS = st.text(st.sampled_from("kumainHäuserotdzżółćgęśląb▁€xQ"), max_size=30)
ANYTHING = st.text(st.characters(exclude_categories=("Cs",)), max_size=30)


def _trained(unk, specials, **options):
    hf = tokenizers.Tokenizer(models.BPE(unk_token=unk, **options))
    hf.train_from_iterator(WORDS, trainers.BpeTrainer(vocab_size=70, special_tokens=specials, show_progress=False))
    return hf


def _with_byte_fallback(unk):
    trained = morfex.train(WORDS, vocab_size=300, byte_fallback=True)
    return tokenizers.Tokenizer(models.BPE(dict(trained.vocab), list(trained.merges), unk_token=unk, byte_fallback=True))


def _split_text():
    hf = _trained("<unk>", USUAL)
    hf.pre_tokenizer = pre_tokenizers.Split(Regex(hf_export.pre_tokenizer()["pattern"]["Regex"]), "isolated")
    hf.decoder = MARKER_DECODER
    return hf


def _decoded(hf):
    hf.decoder = MARKER_DECODER
    return hf


# Name to (the tokenizer, how morfex must encode to agree, the roles morfex must find).
ACCEPTED = {
    "brackets": (lambda: _trained("[UNK]", BRACKETS), "encode",
                 {"pad": "[PAD]", "unk": "[UNK]", "bos": "[CLS]", "eos": "[SEP]"}),
    "usual": (lambda: _decoded(_trained("<unk>", USUAL)), "encode",
              {"pad": "<pad>", "unk": "<unk>", "bos": "<s>", "eos": "</s>"}),
    "unk only": (lambda: _trained("<unk>", ["<unk>"]), "encode", {"unk": "<unk>"}),
    "byte fallback": (lambda: _with_byte_fallback("<unk>"), "encode_text",
                      {"pad": "<pad>", "unk": "<unk>", "bos": "<s>", "eos": "</s>"}),
    "byte fallback, no unk": (lambda: _with_byte_fallback(None), "encode_text",
                              {"pad": "<pad>", "unk": "<unk>", "bos": "<s>", "eos": "</s>"}),
    "split text": (_split_text, "encode_text", {"pad": "<pad>", "unk": "<unk>", "bos": "<s>", "eos": "</s>"}),
}


@pytest.fixture(scope="module")
def accepted(tmp_path_factory):
    """Name to (tokenizers.Tokenizer, the morfex model read from its file, the morfex method that agrees)."""
    result = {}
    for name, (make, method, _) in ACCEPTED.items():
        hf = make()
        path = tmp_path_factory.mktemp("accepted") / "tokenizer.json"
        hf.save(str(path))
        result[name] = (hf, morfex.load(path), method)
    return result


@pytest.mark.parametrize("name", ACCEPTED)
def test_accepted_files_keep_their_special_tokens(accepted, name):
    _, model, _ = accepted[name]
    assert dict(model.special_tokens) == ACCEPTED[name][2]


@pytest.mark.parametrize("name", ACCEPTED)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(word=st.one_of(LETTERS, ANYTHING))
def test_accepted_files_give_the_ids_of_tokenizers(accepted, name, word):
    hf, model, method = accepted[name]
    assume(not any(token in word for token in model.vocab if token.startswith(("<", "["))))
    if method == "encode_text":
        # Without a pre-tokenizer tokenizers takes the text as one word, as a word piece of encode_text is.
        if ACCEPTED[name][0] is not _split_text:
            assume(all(kind == "word" for _, _, kind in morfex._engine.split_text(word)))
        # tokenizers keeps the ids of markers, as markers=True does.
        ids = model.encode_text(word, segmenter=None, markers=True)
    else:
        ids = model.encode(word)
    assert hf.encode(word).ids == ids
    if hf.decoder is not None:
        assert hf.decode(ids) == model.decode_text(ids)


def test_unknown_and_pad_in_brackets_encode_and_decode(accepted):
    hf, model, _ = accepted["brackets"]
    unk, pad = model.vocab["[UNK]"], model.vocab["[PAD]"]
    assert model.encode("€") == hf.encode("€").ids == [unk]
    assert model.encode_text("a€", segmenter=None) == hf.encode("a€").ids
    assert model.decode([unk, pad, model.vocab["a"]]) == model.decode_text([unk, pad]) + "a" == "a"


def test_special_tokens_map_beside_the_file_names_the_roles(tmp_path):
    hf = _trained("[UNK]", ["[UNK]", "[PAD]", "[BOS]", "<end>"])
    hf.save(str(tmp_path / "tokenizer.json"))
    (tmp_path / "special_tokens_map.json").write_text(json.dumps(
        {"pad_token": "[PAD]", "bos_token": {"content": "[BOS]"}, "eos_token": "<end>", "unk_token": "[PAD]"}))
    # The model's own unk_token wins: it is what tokenizers encodes unknown characters as.
    assert dict(morfex.load(tmp_path / "tokenizer.json").special_tokens) == {
        "pad": "[PAD]", "unk": "[UNK]", "bos": "[BOS]", "eos": "<end>"}
    (tmp_path / "special_tokens_map.json").write_text(json.dumps({"eos_token": "</s>"}))
    with pytest.raises(morfex.ModelFileError) as raised:
        morfex.load(tmp_path / "tokenizer.json")
    assert str(raised.value) == f"{tmp_path / 'special_tokens_map.json'}: 'eos_token' is '</s>', which the vocabulary lacks"


def _set(attribute, value):
    """The tokenizer's JSON after a change made through the tokenizers API."""
    def change(hf):
        setattr(hf, attribute, value)
        return json.loads(hf.to_str())
    return change


def _edited(path, value):
    """The tokenizer's JSON with `value` at `path`, for what the API does not set after training."""
    def change(hf):
        data = json.loads(hf.to_str())
        *parents, key = path
        place = data
        for parent in parents:
            place = place[parent]
        place[key] = value
        return data
    return change


def _model_option(key, value):
    return _edited(("model", key), value)


def _json(key, value):
    return _edited((key,), value)


REFUSED = [
    (_set("pre_tokenizer", pre_tokenizers.ByteLevel()), "pre_tokenizer ByteLevel is not supported"),
    (_set("pre_tokenizer", pre_tokenizers.Whitespace()), "pre_tokenizer Whitespace is not supported"),
    (_set("pre_tokenizer", pre_tokenizers.Metaspace()), "pre_tokenizer Metaspace is not supported"),
    (_set("pre_tokenizer", pre_tokenizers.Sequence([pre_tokenizers.Digits()])), "pre_tokenizer Digits is not supported"),
    (_set("pre_tokenizer", pre_tokenizers.Split(Regex(r"\w+"), "isolated")),
     "pre_tokenizer Split is supported only with the pattern morfex writes"),
    (_set("normalizer", normalizers.NFC()), "normalizer NFC is not supported"),
    (_set("normalizer", normalizers.Sequence([normalizers.Lowercase()])), "normalizer Sequence is not supported"),
    (_set("post_processor", processors.TemplateProcessing(single="[CLS] $A", special_tokens=[("[CLS]", 2)])),
     "post_processor TemplateProcessing is not supported"),
    (_set("decoder", decoders.ByteLevel()), "decoder ByteLevel is not supported"),
    (_set("decoder", decoders.Metaspace()), "decoder Metaspace is not supported"),
    (_set("decoder", decoders.ByteFallback()),
     "decoder ByteFallback is supported only with model BPE option byte_fallback=True"),
    (_set("decoder", decoders.Sequence([decoders.Replace("▁", " ")])),
     "decoder Replace is supported only as the removal of '▁', not of {'String': '▁'} by ' '"),
    (_model_option("dropout", 0.1), "model BPE option dropout=0.1 is not supported"),
    (_model_option("continuing_subword_prefix", "##"), "model BPE option continuing_subword_prefix='##' is not supported"),
    (_model_option("end_of_word_suffix", "</w>"), "model BPE option end_of_word_suffix='</w>' is not supported"),
    (_model_option("fuse_unk", True), "model BPE option fuse_unk=True is not supported"),
    (_model_option("ignore_merges", True), "model BPE option ignore_merges=True is not supported"),
    (_model_option("unk_token", None), "model BPE option unk_token=None is not supported without byte_fallback"),
    (_model_option("unk_token", "[MASK]"), "model BPE unk_token '[MASK]' is not in the vocabulary"),
    (_json("truncation", {"direction": "Right", "max_length": 5, "strategy": "LongestFirst", "stride": 0}),
     "truncation is not supported: morfex never cuts or pads ids"),
]


@pytest.mark.parametrize(("change", "message"), REFUSED, ids=[message for _, message in REFUSED])
def test_files_morfex_cannot_reproduce_are_refused(tmp_path, change, message):
    path = tmp_path / "tokenizer.json"
    path.write_text(json.dumps(change(_trained("[UNK]", BRACKETS))), encoding="utf-8")
    with pytest.raises(morfex.ModelFileError) as raised:
        morfex.load(path)
    assert str(raised.value) == f"{path}: {message}"


def test_a_byte_level_tokenizer_is_refused(tmp_path):
    hf = tokenizers.Tokenizer(models.BPE())
    hf.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    hf.decoder = decoders.ByteLevel()
    hf.train_from_iterator(["Häuser"] * 10, trainers.BpeTrainer(
        vocab_size=300, initial_alphabet=pre_tokenizers.ByteLevel.alphabet(), show_progress=False))
    path = tmp_path / "tokenizer.json"
    hf.save(str(path))
    with pytest.raises(morfex.ModelFileError) as raised:
        morfex.load(path)
    assert str(raised.value) == f"{path}: pre_tokenizer ByteLevel is not supported"

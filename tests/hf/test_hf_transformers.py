"""morfex served through transformers: a saved directory, loaded by AutoTokenizer, encodes as encode_text."""

import importlib.resources
import json
import pickle
import random
import re
import sys
from pathlib import Path

import pytest

import morfex
from conftest import EXAMPLE_MERGES, EXAMPLE_VOCAB, MARKER

transformers = pytest.importorskip("transformers", minversion="5")
import morfex.formats.files  # noqa: E402
import morfex.hf  # noqa: E402
from morfex.hf import directory as hf_directory  # noqa: E402

TEXT_LINES = (Path(__file__).resolve().parents[1] / "data" / "polish_text.txt").read_text(encoding="utf-8").splitlines()
BYTE_TOKEN = re.compile(r"<0x[0-9A-F]{2}>")


def held_out_texts():
    """Raw Polish text the model never saw, as lines, sentences, paragraphs and with hostile spacing and characters."""
    texts = list(TEXT_LINES)
    texts += [sentence for line in TEXT_LINES for sentence in re.split(r"(?<=[.!?]) ", line)]
    texts += ["\n".join(TEXT_LINES[i:i + 3]) for i in range(0, len(TEXT_LINES), 3)]
    texts += [line.upper() for line in TEXT_LINES] + [line.lower() for line in TEXT_LINES]
    texts += ["  " + line.replace(" ", "\t ") + " \n" for line in TEXT_LINES]
    texts += [line.replace("a", "ą😀") + " 12 345,67 zł" for line in TEXT_LINES]
    texts += ["", " ", "\n", "a", "▁", "x▁y", "Zażółć gęślą jaźń", "\u0301e\u0301", "𝔸𝕝𝕒 ma kota", "ŁÓDŹ 2024r."]
    # New running text from the same words: clauses joined in a seeded random order, to 2,000 texts.
    clauses = [clause for line in TEXT_LINES for clause in re.split(r"(?<=[,.;:!?]) ", line)]
    rng = random.Random(27)
    while len(texts) < 2000:
        texts.append(" ".join(rng.sample(clauses, rng.randint(1, 4))))
    return texts


TEXTS = held_out_texts()


@pytest.fixture(scope="module")
def model():
    return morfex.default_model()


@pytest.fixture(scope="module")
def saved(model, tmp_path_factory):
    directory = tmp_path_factory.mktemp("shipped")
    model.save_pretrained(directory, model_max_length=64)
    return directory


@pytest.fixture(scope="module")
def holed(model, tmp_path_factory):
    """The shipped model with id 8039 left unused (its token moved to 16000), as a hand-edited file may be."""
    shipped = importlib.resources.files("morfex") / "data" / morfex.formats.files.DEFAULT_MODEL
    state = json.loads(shipped.read_text(encoding="utf-8"))
    (token,) = [token for token, token_id in state["vocab"].items() if token_id == 8039]
    state["vocab"][token] = 16000
    path = tmp_path_factory.mktemp("holed") / "model.json"
    path.write_text(json.dumps(state, ensure_ascii=False), encoding="utf-8")
    directory = path.parent / "pretrained"
    holed = morfex.load(path)
    holed.save_pretrained(directory, model_max_length=64)
    return holed, directory


@pytest.fixture(scope="module", params=["trust_remote_code", "register"])
def hf(request, saved):
    if request.param == "register":
        morfex.hf.register()
        return transformers.AutoTokenizer.from_pretrained(saved)
    return transformers.AutoTokenizer.from_pretrained(saved, trust_remote_code=True)


def test_the_directory_holds_every_file_and_morfex_reads_it_back(saved, model):
    assert sorted(path.name for path in saved.iterdir()) == [
        "model.morfex.json", "special_tokens_map.json", "tokenization_morfex.py", "tokenizer.json",
        "tokenizer_config.json",
    ]
    config = json.loads((saved / "tokenizer_config.json").read_text(encoding="utf-8"))
    assert config["auto_map"] == {"AutoTokenizer": ["tokenization_morfex.MorfexTokenizer", None]}
    assert (config["tokenizer_class"], config["model_max_length"], config["template"]) == ("MorfexTokenizer", 64, "bos_eos")
    assert json.loads((saved / "special_tokens_map.json").read_text(encoding="utf-8")) == {
        "pad_token": "<pad>", "unk_token": "<unk>", "bos_token": "<s>", "eos_token": "</s>",
    }
    assert morfex.load(saved) == model
    assert morfex.load(saved / "tokenizer.json").vocab == model.vocab


def test_both_ways_of_loading_give_the_packaged_class(hf):
    assert isinstance(hf, morfex.hf.MorfexTokenizer)
    assert isinstance(hf, transformers.PreTrainedTokenizer)


def test_raw_text_gives_encode_texts_ids_single_and_batch(hf, model):
    expected = [model.encode_text(text) for text in TEXTS]
    assert hf(TEXTS, add_special_tokens=False)["input_ids"] == expected
    assert [hf(text, add_special_tokens=False)["input_ids"] for text in TEXTS] == expected
    assert [hf.encode(text, add_special_tokens=False) for text in TEXTS[:50]] == expected[:50]
    assert hf.convert_tokens_to_ids(hf.tokenize(TEXTS[0])) == expected[0]


# datasets forks its workers; the engine's threads are made anew in each child.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded, use of fork:DeprecationWarning")
def test_pickled_and_in_datasets_worker_processes(hf, model):
    datasets = pytest.importorskip("datasets")
    again = pickle.loads(pickle.dumps(hf))
    assert again(TEXTS[:100])["input_ids"] == hf(TEXTS[:100])["input_ids"]
    rows = datasets.Dataset.from_dict({"text": TEXTS[:200]}).map(
        lambda batch: hf(batch["text"]), batched=True, batch_size=32, num_proc=2
    )
    assert rows["input_ids"] == [[2, *model.encode_text(text), 3] for text in TEXTS[:200]]


def surfaces_match(text, tokens, spans):
    """Each token spells text[start:end]: ordinary tokens as they are, or without the markers the
    segmenter put in (which span nothing), and a run of byte tokens the UTF-8 of the one character
    they all span."""
    byte_runs = {}
    for token, (start, end) in zip(tokens, spans):
        if BYTE_TOKEN.fullmatch(token):
            byte_runs.setdefault((start, end), bytearray()).append(int(token[3:5], 16))
        elif text[start:end] not in (token, token.replace(MARKER, "")):
            return False
    return all(bytes(run) == text[start:end].encode("utf-8") for (start, end), run in byte_runs.items())


def test_offsets_point_into_the_users_text(hf, model):
    batch = hf(TEXTS, return_offsets_mapping=True)
    for text, ids, spans in zip(TEXTS, batch["input_ids"], batch["offset_mapping"]):
        assert ids[0] == 2 and ids[-1] == 3 and spans[0] == spans[-1] == (0, 0)
        tokens = [model.id_to_token(token_id) for token_id in ids[1:-1]]
        assert surfaces_match(text, tokens, spans[1:-1]), text
        assert spans[1:-1] == model.encode_text(text, offsets=True)[1]
        # In order, they cover the text once, less the markers written in it, whose ids are left out.
        assert "".join(text[start:end] for start, end in dict.fromkeys(spans[1:-1])) == text.replace(MARKER, "")


def test_decoding_gives_the_text_back(hf):
    batch = hf(TEXTS)["input_ids"]
    # Decoding drops markers, those written in the text too, as morfex's decode_text does.
    assert hf.batch_decode(batch, skip_special_tokens=True) == [text.replace(MARKER, "") for text in TEXTS]
    assert [hf.decode(ids) for ids in batch[:20]] == [f"<s>{text}</s>" for text in TEXTS[:20]]


# "Ala ma" and "Ala" encode as [A, a, ma] and [A, a] (A = "A", a = "la", M = the marker); <s> 2, </s> 3, <pad> 0.
A, M, a, ma = 295, 4, 727, 833


@pytest.mark.parametrize(
    ("options", "expected"),
    [
        ({}, [[2, A, a, ma, 3], [2, A, a, 3]]),
        ({"padding": True}, [[2, A, a, ma, 3], [2, A, a, 3, 0]]),
        ({"padding": True, "padding_side": "left"}, [[2, A, a, ma, 3], [0, 2, A, a, 3]]),
        ({"padding": "max_length", "max_length": 7}, [[2, A, a, ma, 3, 0, 0], [2, A, a, 3, 0, 0, 0]]),
        ({"padding": True, "pad_to_multiple_of": 4}, [[2, A, a, ma, 3, 0, 0, 0], [2, A, a, 3, 0, 0, 0, 0]]),
        ({"truncation": True, "max_length": 4}, [[2, A, a, 3], [2, A, a, 3]]),
        ({"truncation": True, "max_length": 2, "add_special_tokens": False}, [[A, a], [A, a]]),
        ({"truncation": True, "max_length": 5, "padding": "max_length"}, [[2, A, a, ma, 3], [2, A, a, 3, 0]]),
        ({"add_special_tokens": False, "padding": True}, [[A, a, ma], [A, a, 0]]),
    ],
)
def test_padding_truncation_and_masks(hf, model, options, expected):
    texts = ["Ala ma", "Ala"]
    assert [model.encode_text(text) for text in texts] == [[A, a, ma], [A, a]]
    result = hf(texts, return_offsets_mapping=True, **options)
    assert result["input_ids"] == expected
    pads = [[int(token_id == 0) for token_id in row] for row in expected]
    assert result["attention_mask"] == [[1 - pad for pad in row] for row in pads]
    assert [len(spans) for spans in result["offset_mapping"]] == [len(row) for row in expected]
    assert all(span == (0, 0) for row, spans in zip(expected, result["offset_mapping"])
               for token_id, span in zip(row, spans) if token_id in (0, 2, 3))


def test_truncating_from_the_left_keeps_the_offsets_of_the_kept_tokens(hf):
    hf.truncation_side = "left"
    try:
        result = hf("Ala ma", truncation=True, max_length=4, return_offsets_mapping=True)
    finally:
        hf.truncation_side = "right"
    assert result["input_ids"] == [2, a, ma, 3]
    assert result["offset_mapping"] == [(0, 0), (1, 3), (3, 6), (0, 0)]


def test_tensors_and_pairs(hf, model):
    arrays = hf(["Ala ma", "Ala"], padding=True, return_tensors="np")
    assert arrays["input_ids"].shape == arrays["attention_mask"].shape == (2, 5)
    assert hf("Ala", return_tensors="np")["input_ids"].tolist() == [[2, A, a, 3]]
    pair = hf("Ala", "ma", return_offsets_mapping=True)
    assert pair["input_ids"] == [2, A, a, 3, *model.encode_text("ma"), 3]
    assert pair["offset_mapping"][-2] == (0, 2)


@pytest.mark.parametrize(
    ("template", "single", "pair"),
    [
        ("bos_eos", [2, A, a, 3], [2, A, a, 3, A, a, 3]),
        ("bos", [2, A, a], [2, A, a, 2, A, a]),
        ("eos", [A, a, 3], [A, a, 3, A, a, 3]),
        ("none", [A, a], [A, a, A, a]),
    ],
)
def test_templates_chosen_at_save_time(model, tmp_path, template, single, pair):
    model.save_pretrained(tmp_path, template=template, model_max_length=8)
    hf = transformers.AutoTokenizer.from_pretrained(tmp_path, trust_remote_code=True)
    assert hf("Ala")["input_ids"] == single
    assert hf("Ala", "Ala")["input_ids"] == pair
    assert hf("Ala", add_special_tokens=False)["input_ids"] == [A, a]
    assert hf.model_max_length == 8
    # truncation=True alone cuts to model_max_length.
    assert len(hf(TEXTS[0], truncation=True)["input_ids"]) == 8


def test_special_tokens_written_in_the_text_are_those_tokens_unless_split(hf, model):
    text = "<s>Ala</s>"
    assert hf(text, add_special_tokens=False)["input_ids"] == [2, A, a, 3]
    assert hf(text, add_special_tokens=False, split_special_tokens=True)["input_ids"] == model.encode_text(text)
    spans = hf(text, add_special_tokens=False, return_offsets_mapping=True)["offset_mapping"]
    assert spans == [(0, 0), (3, 4), (4, 6), (0, 0)]


def test_len_is_the_largest_id_plus_one_and_added_tokens_take_the_next(holed):
    model, saved = holed
    assert max(model.vocab.values()) == 16000 and 8039 not in model.vocab.values()
    assert len(model.vocab) == 16000
    assert len(model) == 16001
    hf = transformers.AutoTokenizer.from_pretrained(saved, trust_remote_code=True)
    assert len(hf) == hf.vocab_size == 16001
    assert hf.add_tokens(["<extra>", "<more>", "<s>"]) == 2
    assert [hf.convert_tokens_to_ids(token) for token in ["<extra>", "<more>", "<s>"]] == [16001, 16002, 2]
    assert hf.convert_ids_to_tokens(16000) == model.id_to_token(16000)
    assert len(hf) == 16003
    assert hf("Ala<extra>", add_special_tokens=False)["input_ids"] == [A, a, 16001]
    assert hf.decode([A, a, 16002]) == "Ala<more>"


@pytest.mark.parametrize(
    ("vocab", "expected"),
    [
        ({}, 0),
        ({"a": 0}, 1),
        ({"a": 7}, 8),
        ({**EXAMPLE_VOCAB, "zz": 40}, 41),
    ],
)
def test_len_of_vocabularies_with_holes(vocab, expected):
    assert len(morfex.Tokenizer(vocab, [])) == expected


def test_saving_the_loaded_tokenizer_round_trips(hf, model, tmp_path):
    hf.save_pretrained(tmp_path)
    assert {path.name for path in tmp_path.iterdir()} >= {
        "model.morfex.json", "special_tokens_map.json", "tokenization_morfex.py", "tokenizer.json",
        "tokenizer_config.json",
    }
    again = transformers.AutoTokenizer.from_pretrained(tmp_path, trust_remote_code=True)
    assert again(TEXTS)["input_ids"] == hf(TEXTS)["input_ids"]
    assert again.model_max_length == 64
    assert morfex.load(tmp_path) == model


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"template": "cls_sep"}, ValueError, "template must be one of 'bos_eos', 'bos', 'eos', 'none', not 'cls_sep'"),
        ({"template": b"bos"}, ValueError, "template must be one of 'bos_eos', 'bos', 'eos', 'none', not b'bos'"),
        ({"model_max_length": 0}, ValueError, "model_max_length must be at least 1, not 0"),
        ({"model_max_length": 1.5}, TypeError, "model_max_length must be an int, not float"),
        ({"model_max_length": True}, TypeError, "model_max_length must be an int, not bool"),
    ],
)
def test_bad_options_write_nothing(model, tmp_path, options, error, message):
    target = tmp_path / "out"
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        model.save_pretrained(target, **options)
    assert not target.exists()


def test_a_template_needs_its_tokens(tmp_path):
    plain = morfex.Tokenizer({"<unk>": 0, "a": 1}, [])
    with pytest.raises(ValueError, match="^template 'bos_eos' needs a bos token, which the model lacks$"):
        plain.save_pretrained(tmp_path / "out")
    assert not (tmp_path / "out").exists()
    plain.save_pretrained(tmp_path / "out", template="none")
    hf = transformers.AutoTokenizer.from_pretrained(tmp_path / "out", trust_remote_code=True)
    assert hf("aa")["input_ids"] == plain.encode_text("aa")


def test_saving_onto_a_file_is_refused(model, tmp_path):
    target = tmp_path / "file"
    target.write_text("kept", encoding="utf-8")
    with pytest.raises(NotADirectoryError, match="is a file, not a directory$"):
        model.save_pretrained(target)
    assert target.read_text(encoding="utf-8") == "kept"


def test_a_model_without_segmenter_or_usual_special_names(tmp_path):
    vocab = {"[PAD]": 0, "[UNK]": 1, "[BOS]": 2, "[EOS]": 3, **{k: v + 10 for k, v in EXAMPLE_VOCAB.items() if v >= 4}}
    special = {"pad": "[PAD]", "unk": "[UNK]", "bos": "[BOS]", "eos": "[EOS]"}
    tokenizer = morfex.Tokenizer(vocab, EXAMPLE_MERGES, special_tokens=special)
    with pytest.warns(UserWarning, match="^no tokenizer.json written: the merge 'k' 'u' needs 'ku'"):
        tokenizer.save_pretrained(tmp_path)
    assert not (tmp_path / "tokenizer.json").exists()
    hf = transformers.AutoTokenizer.from_pretrained(tmp_path, trust_remote_code=True)
    assert (hf.pad_token, hf.unk_token, hf.bos_token, hf.eos_token) == ("[PAD]", "[UNK]", "[BOS]", "[EOS]")
    text = f"k{MARKER}um{MARKER}ain bc"
    assert hf(text)["input_ids"] == [2, *tokenizer.encode_text(text), 3]
    assert hf.decode(hf(text)["input_ids"], skip_special_tokens=True) == tokenizer.decode_text(tokenizer.encode_text(text))
    assert len(hf) == len(tokenizer) == max(vocab.values()) + 1


def test_tokenizer_json_alone_takes_pre_segmented_text(saved, model):
    tokenizers = pytest.importorskip("tokenizers")
    fast = tokenizers.Tokenizer.from_file(str(saved / "tokenizer.json"))
    # The first line that holds a word the segmenter cuts, so marker ids come into it.
    line = next(line for line in TEXT_LINES if model.encode_text(line, markers=True) != model.encode_text(line))
    assert fast.encode(line).ids != model.encode_text(line)
    words = model.segmenter.segment_batch([piece.strip() for piece in line.split()])
    segmented = " ".join(words)
    # tokenizers cannot leave the marker ids out: they are kept, as markers=True keeps them.
    assert fast.encode(segmented).ids == model.encode_text(segmented, segmenter=None, markers=True)


def test_info_reports_holes_segmenter_byte_fallback_and_roles(holed, capsys):
    from morfex import cli

    assert cli.main(["info", "-m", str(holed[1])]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[1:4] == ["tokens: 16000", "merges: 15344", "ids: 0 to 16000"]
    assert lines[-4:] == [
        "unused ids: 1 (8039)",
        "byte fallback: yes",
        "segmenter: Morfessor Baseline, 63109 morphs from 239670 words, saved in the model",
        "special roles: pad=<pad> unk=<unk> bos=<s> eos=</s>",
    ]


@pytest.mark.parametrize(
    ("files", "chosen", "message"),
    [
        (["model.morfex.json", "tokenizer.json"], "model.morfex.json", None),
        (["tokenizer.json"], "tokenizer.json", None),
        (["a.morfex.json"], "a.morfex.json", None),
        (["a.morfex.json", "b.morfex.json"], None, "{dir}: a directory with more than one *.morfex.json (a.morfex.json, b.morfex.json): name the file"),
        ([], None, "{dir}: a directory with no *.morfex.json, tokenizer.json, or vocab.json and merges.txt"),
    ],
)
def test_load_reads_a_directory(tmp_path, files, chosen, message):
    # Each file holds a different model, so the one loaded names itself.
    for number, name in enumerate(files):
        vocab = {"<unk>": 0, "a": 1, f"t{number}": 2}
        model = morfex.Tokenizer(vocab, [])
        if name == "tokenizer.json":
            model.save_hf(tmp_path)
        else:
            model.save(tmp_path / name)
    if message is None:
        assert morfex.load(tmp_path).token_to_id(f"t{files.index(chosen)}") == 2
    else:
        with pytest.raises(morfex.ModelFileError, match=f"^{re.escape(message.format(dir=tmp_path))}$"):
            morfex.load(tmp_path)


def test_info_of_a_plain_model(tmp_path, capsys):
    from morfex import cli

    morfex.Tokenizer({"<unk>": 0, "a": 1, "b": 4, "c": 9}, []).save(tmp_path / "plain.json")
    assert cli.main(["info", "-m", str(tmp_path / "plain.json")]) == 0
    assert capsys.readouterr().out.splitlines()[-4:] == [
        "unused ids: 6 (2, 3, 5, 6, 7, 8)",
        "byte fallback: no",
        "segmenter: none (words are encoded as written)",
        "special roles: unk=<unk>",
    ]


def test_saving_without_transformers_says_what_is_missing(model, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "transformers", None)
    monkeypatch.delitem(sys.modules, "morfex.hf.transformers_tokenizer")
    with pytest.raises(ModuleNotFoundError, match="^save_pretrained needs transformers 5 or later: pip install transformers$"):
        model.save_pretrained(tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_words_given_apart_are_encoded_as_given_with_offsets_within_each(hf, model):
    words = ["Ala", " ma", " kota"]
    result = hf(words, is_split_into_words=True, return_offsets_mapping=True, add_special_tokens=False)
    assert result["input_ids"] == [token_id for word in words for token_id in model.encode_text(word)]
    assert result["offset_mapping"] == [span for word in words for span in model.encode_text(word, offsets=True)[1]]
    batch = hf([["Ala", " ma"], ["kot"]], is_split_into_words=True, padding=True)
    kot = [2, *model.encode_text("kot"), 3]
    assert batch["input_ids"] == [[2, A, a, ma, 3], kot + [0] * (5 - len(kot))]
    assert hf([[A, M], [a]], padding=True)["input_ids"] == [[2, A, M, 3], [2, a, 3, 0]]


@pytest.mark.parametrize(
    ("text", "options", "message"),
    [
        ([1.5], {}, "not a list of float"),
        ([[1, "a"]], {}, "not a list of int, str"),
        (5, {}, "not int"),
        ("Ala", {"text_pair": ["ma", "kot"]}, "^text_pair is a batch but text is a single sequence$"),
        (["Ala", "ma"], {"text_pair": ["kot"]}, "^text has 2 sequences but text_pair has 1$"),
    ],
)
def test_inputs_it_cannot_take(hf, text, options, message):
    prefix = "^each input must be a str, a list of str with is_split_into_words=True, or a list of ids, "
    with pytest.raises(ValueError, match=message if message.startswith("^") else prefix + re.escape(message) + "$"):
        hf(text, **options)


@pytest.mark.parametrize("side", ["right", "left"])
@pytest.mark.parametrize("max_length", [None, 1, 2, 3, 7, 64])
@pytest.mark.parametrize("add_special_tokens", [True, False])
def test_the_short_framing_agrees_with_transformers_own(hf, side, max_length, add_special_tokens):
    # Asking for lengths takes transformers' general framing; without it a
    # single sequence is framed by morfex's short path.
    texts = TEXTS[:300]
    options = {"add_special_tokens": add_special_tokens, "return_offsets_mapping": True, "padding": True}
    if max_length is not None:
        options.update(truncation=True, max_length=max_length)
    hf.truncation_side = side
    try:
        short = hf(texts, **options)
        general = dict(hf(texts, return_length=True, **options))
    finally:
        hf.truncation_side = "right"
    del general["length"]
    assert dict(short) == general

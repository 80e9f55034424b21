"""A real client: examples/train_tiny_lm.py trains a tiny GPT-2 on morfex's ids and serves it again.

Skipped where torch, transformers or datasets is missing (torch is in no test
install: from PyPI it brings gigabytes of GPU libraries).
"""

import importlib
from pathlib import Path

import pytest

import morfex

pytest.importorskip("torch")
pytest.importorskip("transformers", minversion="5")
pytest.importorskip("datasets")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_a_tiny_language_model_trains_on_morfex_ids_and_is_served_with_them(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    example = importlib.import_module("train_tiny_lm")
    result = example.run(tmp_path, steps=40)
    lines = example.training_lines(example.DEFAULT_TEXT)
    assert len(lines) >= 250
    model = morfex.default_model()
    # datasets.map went through the saved directory: <s>, encode_text's ids, </s>, cut to the context.
    assert result["ids"] == [framed(model, line, example.CONTEXT) for line in lines]
    assert result["reloaded_ids"] == result["ids"]
    losses = result["losses"]
    assert len(losses) == 40
    # From about ln(16000) = 9.7 at the start; the mean of the last steps is well below the first ones.
    assert sum(losses[-5:]) / 5 < sum(losses[:5]) / 5 - 1.0, losses
    assert result["new_tokens"] and isinstance(result["generated"], str)
    assert result["generated"].startswith(result["prompt"])
    assert (tmp_path / "model" / "model.morfex.json").is_file()
    assert morfex.load(tmp_path / "model") == model


def framed(model, line, context):
    """<s>, the line's first ids and </s>: at most `context` ids."""
    return [2, *model.encode_text(line)[:context - 2], 3]

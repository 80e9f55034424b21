"""`morfex info` and `morfex evaluate`."""

from __future__ import annotations

import argparse
import json
from collections.abc import Mapping

from morfex.cli.common import EXIT_OK, STDIO, CliError, chosen_model
from morfex.cli.files import Output
from morfex.evaluation import EvaluationError, evaluate
from morfex.formats.files import DEFAULT_MODEL, default_model
from morfex.segmenter import Segmenter
from morfex.tokenizer import Tokenizer
from morfex.vocabulary import MARKER


def run_info(args: argparse.Namespace) -> int:
    name, tokenizer = chosen_model(args)
    vocab = tokenizer.vocab
    special = tokenizer.special_tokens
    specials = " ".join(f"{token}={vocab[token]}" for token in dict.fromkeys(special.values())) or "none"
    ordinary = [token for token in vocab if token not in special.values() and token != MARKER]
    characters = sum(1 for token in ordinary if len(token) == 1)
    longest = max(ordinary, key=len, default="")
    mean = sum(map(len, ordinary)) / len(ordinary) if ordinary else 0.0
    lines = [
        f"model: {name}",
        f"tokens: {len(vocab)}",
        f"merges: {len(tokenizer.merges)}",
        f"ids: {min(vocab.values(), default=0)} to {max(vocab.values(), default=0)}",
        f"special tokens: {specials}",
        f"marker: {'id ' + str(vocab[MARKER]) if MARKER in vocab else 'absent'}",
        f"single characters: {characters}",
        f"longest token: {longest!r} ({len(longest)} characters)",
        f"mean token length: {mean:.2f} characters",
        f"unused ids: {holes(vocab)}",
        f"byte fallback: {'yes' if tokenizer.byte_fallback else 'no'}",
        f"segmenter: {segmenter_summary(tokenizer.segmenter)}",
        "special roles: " + (" ".join(f"{role}={token}" for role, token in special.items()) or "none"),
    ]
    with Output(STDIO) as out:
        out.write("\n".join(lines) + "\n")
    return EXIT_OK


def run_evaluate(args: argparse.Namespace) -> int:
    if not args.text and not args.gold:
        args.usage_error("give text files (--text), gold files (--gold) or both")
    models = list(args.model or ())
    for model in models:
        if models.count(model) > 1:
            args.usage_error(f"-m {model} is given twice")
    if args.shipped or not models:
        models.insert(0, default_model())
    names = [f"shipped model ({DEFAULT_MODEL})" if isinstance(model, Tokenizer) else model for model in models]
    try:
        result = evaluate(dict(zip(names, models)), texts=args.text or (), gold=args.gold or ())
    except EvaluationError as error:
        raise CliError(str(error)) from None
    with Output(STDIO) as out:
        out.write(json.dumps(result.to_dict(), ensure_ascii=False, indent=2) + "\n" if args.json else str(result))
    return EXIT_OK


def holes(vocab: Mapping[str, int]) -> str:
    """The ids below the largest that no token has: a model's len() counts them too."""
    taken = set(vocab.values())
    holes = [token_id for token_id in range(max(taken, default=-1) + 1) if token_id not in taken]
    if not holes:
        return "none"
    shown = ", ".join(map(str, holes[:10])) + (", ..." if len(holes) > 10 else "")
    return f"{len(holes)} ({shown})"


def segmenter_summary(segmenter: object) -> str:
    if segmenter is None:
        return "none (words are encoded as written)"
    if isinstance(segmenter, Segmenter):
        state = segmenter.to_state()
        return f"Morfessor Baseline, {len(state['morphs'])} morphs from {state['words']} words, saved in the model"
    return f"{type(segmenter).__name__} (set in this process, not saved)"

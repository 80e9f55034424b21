"""Train a tiny GPT-2 on morfex's ids through transformers, save it and serve it again.

    python examples/train_tiny_lm.py OUTPUT [--steps N] [--text FILE]

Saves the shipped model as a transformers tokenizer directory, loads it with
AutoTokenizer, tokenizes the lines of FILE (tests/data/polish_text.txt, cut
into sentences and clauses as well, by default) with datasets.map, trains a
two-layer GPT-2 of 64 dimensions on the CPU for N steps of 8 texts of at most
32 tokens with a plain loop, then saves
model and tokenizer into OUTPUT, loads both back and generates from a prompt.
Needs torch, transformers and datasets.
"""

from __future__ import annotations

import argparse
import re
import time
from pathlib import Path
from typing import Any

import datasets
import torch
from transformers import AutoModelForCausalLM, AutoTokenizer, GPT2Config, GPT2LMHeadModel

import morfex

DEFAULT_TEXT = Path(__file__).resolve().parent.parent / "tests" / "data" / "polish_text.txt"
# Short texts and small batches keep a step well under a second on a busy CPU.
CONTEXT = 32
BATCH = 8


def training_lines(path: Path) -> list[str]:
    """The lines of `path`, their sentences and their clauses, each once: a few hundred short texts."""
    lines = [line for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
    sentences = [sentence for line in lines for sentence in re.split(r"(?<=[.!?]) ", line)]
    clauses = [clause for sentence in sentences for clause in re.split(r"(?<=[,;:]) ", sentence)]
    return list(dict.fromkeys(text for text in lines + sentences + clauses if text))


def batches(dataset: datasets.Dataset, tokenizer: Any, size: int, steps: int, seed: int) -> Any:
    """`steps` padded batches of `size` rows, the dataset shuffled again each time it runs out."""
    epoch = 0
    while True:
        shuffled = dataset.shuffle(seed=seed + epoch)
        for start in range(0, len(shuffled) - size + 1, size):
            rows = shuffled[start:start + size]
            batch = tokenizer.pad({"input_ids": rows["input_ids"]}, return_tensors="pt")
            labels = batch["input_ids"].masked_fill(batch["attention_mask"] == 0, -100)
            yield {**batch, "labels": labels}
            steps -= 1
            if steps == 0:
                return
        epoch += 1


def run(output: Path, *, steps: int = 40, text: Path = DEFAULT_TEXT, seed: int = 0) -> dict[str, Any]:
    """Trains, saves and reloads; returns the losses, the times and what the reloaded pair gives."""
    torch.manual_seed(seed)
    # A model this small gains nothing from more threads, and on a busy
    # machine torch's threads spend most of a step waiting for each other.
    torch.set_num_threads(1)
    lines = training_lines(text)
    tokenizer_dir = output / "tokenizer"
    morfex.default_model().save_pretrained(tokenizer_dir, model_max_length=CONTEXT)
    started = time.perf_counter()
    tokenizer = AutoTokenizer.from_pretrained(tokenizer_dir, trust_remote_code=True)
    load_seconds = time.perf_counter() - started

    dataset = datasets.Dataset.from_dict({"text": lines}).map(
        lambda rows: tokenizer(rows["text"], truncation=True), batched=True, remove_columns=["text"]
    )
    config = GPT2Config(
        vocab_size=len(tokenizer), n_positions=CONTEXT, n_embd=64, n_layer=2, n_head=2,
        bos_token_id=tokenizer.bos_token_id, eos_token_id=tokenizer.eos_token_id, pad_token_id=tokenizer.pad_token_id,
    )
    model = GPT2LMHeadModel(config)
    optimizer = torch.optim.AdamW(model.parameters(), lr=3e-3)
    model.train()
    losses = []
    started = time.perf_counter()
    for batch in batches(dataset, tokenizer, BATCH, steps, seed):
        loss = model(**batch).loss
        loss.backward()
        optimizer.step()
        optimizer.zero_grad()
        losses.append(loss.item())
    train_seconds = time.perf_counter() - started

    served = output / "model"
    model.save_pretrained(served)
    tokenizer.save_pretrained(served)
    reloaded_model = AutoModelForCausalLM.from_pretrained(served)
    reloaded = AutoTokenizer.from_pretrained(served, trust_remote_code=True)
    reloaded_model.eval()
    prompt = "Poniższa tabela"
    ids = [reloaded.bos_token_id, *reloaded(prompt, add_special_tokens=False)["input_ids"]]
    # Greedy decoding of a model this young repeats its commonest token;
    # sampling, seeded, shows more of what it learnt.
    torch.manual_seed(seed)
    with torch.no_grad():
        generated = reloaded_model.generate(
            torch.tensor([ids]), attention_mask=torch.ones(1, len(ids), dtype=torch.long), max_new_tokens=12,
            do_sample=True, top_k=50, pad_token_id=reloaded.pad_token_id,
        )
    return {
        "losses": losses,
        "load_seconds": load_seconds,
        "train_seconds": train_seconds,
        "ids": dataset["input_ids"],
        "reloaded_ids": reloaded(lines, truncation=True)["input_ids"],
        "prompt": prompt,
        "new_tokens": reloaded.convert_ids_to_tokens(generated[0].tolist()[len(ids):]),
        "generated": reloaded.decode(generated[0].tolist(), skip_special_tokens=True),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", type=Path, help="the directory to write the tokenizer and the trained model into")
    parser.add_argument("--steps", type=int, default=40, help=f"training steps of {BATCH} texts (default: 40)")
    parser.add_argument("--text", type=Path, default=DEFAULT_TEXT, help="a UTF-8 file of lines to train on")
    args = parser.parse_args()
    result = run(args.output, steps=args.steps, text=args.text)
    losses = result["losses"]
    print(f"tokenizer loaded in {result['load_seconds']:.2f} s; {len(losses)} steps in {result['train_seconds']:.1f} s")
    print(f"loss {losses[0]:.2f} at the first step, {losses[-1]:.2f} at the last")
    print(f"reloaded tokenizer gives the same ids: {result['reloaded_ids'] == result['ids']}")
    print(f"{result['prompt']!r} -> {result['generated']!r} (new tokens: {' '.join(result['new_tokens'])})")


if __name__ == "__main__":
    main()

"""Polish morphology and tokens per word: the shipped model against peers trained on the same text.

The shipped model learnt from the Polish man pages of the pinned manpages-pl
package but every tenth (scripts/build_default_model.py). sentencepiece BPE and unigram and
tokenizers' BPE with a Metaspace pre-tokenizer learn from the same pages at
the same vocabulary size, with byte fallback (sentencepiece with identity
normalization and full character coverage), so all of them give back every
character. Then `morfex.evaluate` measures all four: MorphyNet derivational
boundaries of the bare word (the shipped model's segmenter alone and its
final tokens) and tokens per word on the held-out pages, line by line,
as groff lays them out and with runs of whitespace collapsed.

    bash bench/morphology_vs_peers.sh [--gold FILE] [--json]

The peers' models are left in build/bench/morphology/, so the same table
comes from `morfex evaluate` too (the command is printed).
"""

import argparse
import json
import shlex
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))

from build_default_model import man_pages, pinned_man_pages, split_pages, write_text  # noqa: E402

import morfex  # noqa: E402

OUTPUT = ROOT / "build" / "bench" / "morphology"
GOLD = ROOT.parent / "shared" / "gold" / "pol.derivational.dev.tsv"
SHIPPED = "morfex, shipped model"


def train_sentencepiece(text: Path, prefix: Path, model_type: str, size: int) -> Path:
    import sentencepiece as spm

    spm.SentencePieceTrainer.train(
        input=str(text), model_prefix=str(prefix), model_type=model_type, vocab_size=size, byte_fallback=True,
        normalization_rule_name="identity", character_coverage=1.0, max_sentence_length=1 << 16,
        num_threads=2, minloglevel=2)
    return prefix.with_suffix(".model")


def train_tokenizers(text: Path, path: Path, size: int) -> Path:
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    tokenizer = Tokenizer(models.BPE(byte_fallback=True, unk_token="<unk>"))
    tokenizer.pre_tokenizer = pre_tokenizers.Metaspace()
    tokenizer.decoder = decoders.Sequence([decoders.ByteFallback(), decoders.Metaspace()])
    tokenizer.train([str(text)], trainers.BpeTrainer(vocab_size=size, special_tokens=["<unk>"], show_progress=False))
    # Byte tokens for every byte, as sentencepiece's byte fallback has them, so no character is lost.
    tokenizer.add_tokens([f"<0x{byte:02X}>" for byte in range(256) if tokenizer.token_to_id(f"<0x{byte:02X}>") is None])
    tokenizer.save(str(path))
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gold", type=Path, default=GOLD, help=f"MorphyNet gold file (default: {GOLD})")
    parser.add_argument("--json", action="store_true", help="print JSON instead of tables")
    args = parser.parse_args()
    if not args.gold.is_file():
        sys.exit(f"{args.gold}: no such gold file; give the MorphyNet file as --gold FILE")

    shipped = morfex.default_model()
    size = len(shipped)
    OUTPUT.mkdir(parents=True, exist_ok=True)
    training_text, held_out_text = OUTPUT / "training.txt", OUTPUT / "held-out.txt"
    with tempfile.TemporaryDirectory() as scratch:
        training, held_out = split_pages(man_pages(pinned_man_pages(Path(scratch) / "deb")))
        write_text(training, training_text)
        write_text(held_out, held_out_text)
    # The pages as groff lays them out are indented with runs of spaces, which
    # sentencepiece drops and tokenizers' Metaspace spends a token each on;
    # with the runs collapsed, every system is measured on words alone.
    collapsed_text = OUTPUT / "held-out-collapsed.txt"
    lines = (" ".join(line.split()) for line in held_out_text.read_text(encoding="utf-8").splitlines())
    collapsed_text.write_text("".join(line + "\n" for line in lines if line), encoding="utf-8")
    peers = {
        "sentencepiece BPE": train_sentencepiece(training_text, OUTPUT / "sentencepiece-bpe", "bpe", size),
        "sentencepiece unigram": train_sentencepiece(training_text, OUTPUT / "sentencepiece-unigram", "unigram", size),
        "tokenizers BPE, Metaspace": train_tokenizers(training_text, OUTPUT / "tokenizers-bpe.json", size),
    }
    print(f"{len(training)} man pages to learn from ({training_text.stat().st_size:,} bytes), {len(held_out)} held out; "
          f"vocabulary size {size} for every model", file=sys.stderr)
    result = morfex.evaluate({SHIPPED: shipped, **{name: str(path) for name, path in peers.items()}},
                             texts=[str(held_out_text), str(collapsed_text)], gold=[str(args.gold)])
    print(json.dumps(result.to_dict(), ensure_ascii=False, indent=2) if args.json else str(result).rstrip("\n"))
    models = [arg for path in peers.values() for arg in ("-m", str(path.relative_to(ROOT)))]
    texts = [str(path.relative_to(ROOT)) for path in (held_out_text, collapsed_text)]
    command = ["morfex", "evaluate", "--shipped", *models, "--text", *texts, "--gold", str(args.gold)]
    print(f"the same measures from the command line: {shlex.join(command)}", file=sys.stderr)


if __name__ == "__main__":
    main()

"""Tokens per word on held-out Polish running text: morfex against sentencepiece and tokenizers.

The shipped model learnt from the Polish man pages of the pinned manpages-pl
package but every tenth (scripts/build_default_model.py); the peers learn from the same pages, to
the same vocabulary size: sentencepiece as BPE (byte fallback, identity
normalization, full character coverage), and tokenizers' BPE with a
Metaspace pre-tokenizer and byte fallback (so both, like morfex, give back
every text). Each encodes the held-out pages line by line; a word is a word
piece of morfex's splitter (letters and marks). morfex is counted with and
without the marker's ids, which encode_text leaves out unless markers=True.

    bash bench/tokens_per_word.sh
"""

import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "scripts"))

from build_default_model import man_pages, pinned_man_pages, split_pages, write_text  # noqa: E402

import morfex  # noqa: E402
from morfex.text import pieces as text_pieces  # noqa: E402


def main() -> None:
    import sentencepiece as spm
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers

    tok = morfex.default_model()
    size = len(tok)
    with tempfile.TemporaryDirectory() as scratch:
        training, held_out = split_pages(man_pages(pinned_man_pages(Path(scratch) / "deb")))
        train_path, test_path = Path(scratch) / "train.txt", Path(scratch) / "test.txt"
        write_text(training, train_path)
        write_text(held_out, test_path)
        lines = test_path.read_text(encoding="utf-8").splitlines(keepends=True)
        spm.SentencePieceTrainer.train(
            input=str(train_path), model_prefix=str(Path(scratch) / "sp"), model_type="bpe", vocab_size=size,
            byte_fallback=True, normalization_rule_name="identity", character_coverage=1.0,
            max_sentence_length=1 << 16, minloglevel=2)
        sp = spm.SentencePieceProcessor(model_file=str(Path(scratch) / "sp.model"))
        hf = Tokenizer(models.BPE(byte_fallback=True, unk_token="<unk>"))
        hf.pre_tokenizer = pre_tokenizers.Metaspace()
        hf.decoder = decoders.Sequence([decoders.ByteFallback(), decoders.Metaspace()])
        alphabet = [f"<0x{byte:02X}>" for byte in range(256)]
        hf.train([str(train_path)], trainers.BpeTrainer(vocab_size=size, special_tokens=["<unk>"],
                                                        initial_alphabet=[], show_progress=False))
        hf.add_tokens([token for token in alphabet if hf.token_to_id(token) is None])

    words = sum(1 for line in lines for piece in text_pieces.split(line) if text_pieces.is_word(piece))
    text = "".join(lines)
    with_markers = tok.encode_text_batch(lines, markers=True)
    without = tok.encode_text_batch(lines, markers=False)
    assert tok.decode_text_batch(with_markers) == lines and tok.decode_text_batch(without) == lines
    sp_ids = sp.encode(lines)
    hf_ids = [encoding.ids for encoding in hf.encode_batch(lines)]
    sp_back = sum(sp.decode(ids) == line.rstrip("\n") for ids, line in zip(sp_ids, lines))
    rows = [
        ("morfex, marker ids kept", sum(map(len, with_markers)), len(lines)),
        ("morfex, marker ids left out", sum(map(len, without)), len(lines)),
        ("sentencepiece BPE", sum(map(len, sp_ids)), sp_back),
        ("tokenizers BPE, Metaspace", sum(map(len, hf_ids)), None),
    ]
    print(f"held-out text: {len(held_out)} man pages, {len(text):,} characters, {len(lines):,} lines, "
          f"{words:,} words; vocabulary size {size} for every model")
    print(f"{'model':<32}{'tokens':>12}{'tokens/word':>14}{'lines back':>14}")
    for name, tokens, back in rows:
        shown = "-" if back is None else f"{back / len(lines):.2%}"
        print(f"{name:<32}{tokens:>12,}{tokens / words:>14.3f}{shown:>14}")
    print("(line breaks count as tokens for morfex, which encodes them; sentencepiece drops them)")


if __name__ == "__main__":
    main()

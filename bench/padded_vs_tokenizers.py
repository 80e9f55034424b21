"""Padded training batches from morfex and from tokenizers, side by side.

The words are those of the Polish man pages, segmented by the shipped model's
own segmenter (so both sides get the same pre-segmented words), and lines of
12 of them joined by spaces. tokenizers gets a BPE model of the shipped
vocabulary and merges (byte fallback on, as the model has it), a template
that puts <s> and </s> around each sequence, enable_truncation and
enable_padding; words go one a sequence (is_pretokenized), lines through a
pre-tokenizer that cuts them where morfex's running-text splitter does on such
lines (before each space). Before any timing the matrices and masks of both
are checked equal; the unframed flat forms are timed too, to show what
framing and padding add. Each round then times every peer once, in a rotating
order, and the figures are medians over rounds of ratios of two times from
the same round.

    bash bench/padded_vs_tokenizers.sh [--rounds N] [--words N] [--lines N]
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

os.environ.setdefault("RAYON_NUM_THREADS", "2")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
from polish_corpora import running_text_words  # noqa: E402
from tokenizers import Regex, Tokenizer, models, pre_tokenizers, processors  # noqa: E402

import morfex  # noqa: E402
from morfex.vocabulary import SPECIAL_TOKENS  # noqa: E402

THREADS = 2
WORDS_PER_LINE = 12
# A row length that cuts some sequences of each kind, rows padded to a multiple of 8.
WORD_MAX_LENGTH = 8
LINE_MAX_LENGTH = 32
MULTIPLE_OF = 8


def hf_peer(tok, max_length, split):
    hf = Tokenizer(models.BPE(vocab=dict(tok.vocab), merges=list(tok.merges), unk_token="<unk>", byte_fallback=True))
    hf.add_special_tokens(list(SPECIAL_TOKENS))
    if split:
        hf.pre_tokenizer = pre_tokenizers.Split(Regex(" ?[^ ]+"), behavior="isolated")
    hf.post_processor = processors.TemplateProcessing(
        single="<s> $A </s>", special_tokens=[("<s>", tok.vocab["<s>"]), ("</s>", tok.vocab["</s>"])]
    )
    hf.enable_truncation(max_length=max_length)
    hf.enable_padding(pad_id=tok.vocab["<pad>"], pad_token="<pad>", pad_to_multiple_of=MULTIPLE_OF)
    return hf


def hf_matrix(encodings):
    """What a training loop needs from tokenizers' Encodings: the ids and the mask as arrays."""
    ids = np.array([e.ids for e in encodings], dtype=np.int64)
    mask = np.array([e.attention_mask for e in encodings], dtype=np.uint8)
    return ids, mask


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--words", type=int, default=200_000)
    parser.add_argument("--lines", type=int, default=20_000)
    args = parser.parse_args()

    tok = morfex.default_model()
    plain = [w for w in running_text_words() if w.isalpha()]
    needed = max(args.words, args.lines * WORDS_PER_LINE)
    plain = (plain * (needed // len(plain) + 1))[:needed]
    segmented = tok.segmenter.segment_batch(plain, threads=THREADS)
    words = segmented[: args.words]
    lines = [" ".join(segmented[i : i + WORDS_PER_LINE]) for i in range(0, args.lines * WORDS_PER_LINE, WORDS_PER_LINE)]
    pretokenized = [[w] for w in words]
    hf_words = hf_peer(tok, WORD_MAX_LENGTH, split=False)
    hf_lines = hf_peer(tok, LINE_MAX_LENGTH, split=True)
    framing = {"bos": True, "eos": True, "multiple_of": MULTIPLE_OF, "threads": THREADS}

    def morfex_words():
        return tok.encode_padded(words, max_length=WORD_MAX_LENGTH, **framing)

    def morfex_lines():
        return tok.encode_text_padded(lines, segmenter=None, max_length=LINE_MAX_LENGTH, **framing)

    peers = {
        "morfex encode_flat": lambda: tok.encode_flat(words, threads=THREADS),
        "morfex encode_text_flat": lambda: tok.encode_text_flat(lines, segmenter=None, threads=THREADS),
        "morfex encode_padded": morfex_words,
        "tokenizers, words": lambda: hf_words.encode_batch(pretokenized, is_pretokenized=True),
        "tokenizers + arrays, words": lambda: hf_matrix(hf_words.encode_batch(pretokenized, is_pretokenized=True)),
        "morfex encode_text_padded": morfex_lines,
        "tokenizers, lines": lambda: hf_lines.encode_batch(lines),
        "tokenizers + arrays, lines": lambda: hf_matrix(hf_lines.encode_batch(lines)),
    }

    checks = [
        ("morfex encode_padded", "tokenizers + arrays, words", WORD_MAX_LENGTH),
        ("morfex encode_text_padded", "tokenizers + arrays, lines", LINE_MAX_LENGTH),
    ]
    for ours, theirs, max_length in checks:
        matrix, mask = peers[ours]()
        hf_ids, hf_mask = peers[theirs]()
        assert np.array_equal(matrix, hf_ids), f"{ours} and tokenizers disagree on the ids"
        assert np.array_equal(mask, hf_mask), f"{ours} and tokenizers disagree on the mask"
        longest = int((mask.sum(axis=1) == max_length).sum())
        print(f"{ours}: {matrix.shape[0]:,} rows of {matrix.shape[1]} ids, {longest:,} of them max_length long;"
              " equal to tokenizers", file=sys.stderr)

    times = {name: [] for name in peers}
    names = list(peers)
    for round_ in range(args.rounds):
        for name in names[round_ % len(names):] + names[:round_ % len(names)]:
            start = time.perf_counter()
            peers[name]()
            times[name].append(time.perf_counter() - start)

    def ratio(slow, fast):
        return statistics.median(x / y for x, y in zip(times[slow], times[fast]))

    for name in names:
        print(f"{name:28} {statistics.median(times[name]) * 1e3:9.1f} ms (median of {args.rounds})")
    print(f"words, {THREADS} threads: tokenizers / encode_padded time: "
          f"{ratio('tokenizers, words', 'morfex encode_padded'):.1f}x, "
          f"with its arrays {ratio('tokenizers + arrays, words', 'morfex encode_padded'):.1f}x")
    print(f"lines, {THREADS} threads: tokenizers / encode_text_padded time: "
          f"{ratio('tokenizers, lines', 'morfex encode_text_padded'):.1f}x, "
          f"with its arrays {ratio('tokenizers + arrays, lines', 'morfex encode_text_padded'):.1f}x")
    print(f"what framing and padding add: encode_padded / encode_flat time {ratio('morfex encode_padded', 'morfex encode_flat'):.2f}, "
          f"encode_text_padded / encode_text_flat {ratio('morfex encode_text_padded', 'morfex encode_text_flat'):.2f}")


if __name__ == "__main__":
    main()

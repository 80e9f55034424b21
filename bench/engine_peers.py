"""One thread count's side of the batch benchmark (see engine_vs_peers.py).

Started as a subprocess with RAYON_NUM_THREADS already set, so that
tokenizers' thread pool has the same number of threads as the batch calls
here. It loads the model, the sentencepiece model and the corpora, checks
every peer against morfex's own per-word encode and decode, then answers
timing requests read from standard input, one JSON object a line:
{"corpus": NAME, "peer": NAME} gets {"seconds": S}.

Every timed run builds its peer afresh (untimed), so a word cache starts
empty and helps only within the one pass, and gets a fresh copy of the
words, so no str arrives with its UTF-8 form already cached.
"""

import gc
import json
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
import sentencepiece  # noqa: E402
from core_vs_peers import SPECIAL_TOKENS, hf_tokenizer  # noqa: E402
from segmented_words import MARKER  # noqa: E402
from tokenizers import decoders, models  # noqa: E402

import morfex  # noqa: E402

# Words per input of tokenizers' encode_batch: enough to amortize its per-input work.
CHUNK = 100
ENCODERS = [
    "morfex encode_flat",
    "morfex encode_flat, no cache",
    "morfex encode_batch",
    "per-word loop",
    "floor encode_flat, no cache",
    "tokenizers",
    "tokenizers, no cache",
    "sentencepiece",
]
DECODERS = ["morfex decode_flat", "morfex decode_batch", "tokenizers decode_batch"]


def uncached_tokenizer(vocab, merges):
    """The one place that knows how to turn the engine's word cache off."""
    tokenizer = morfex.Tokenizer(vocab, merges)
    tokenizer.cache_size = 0
    return tokenizer


def floor_vocab(vocab):
    """The alphabet and the special tokens, with their ids in the model: what no merge can go below."""
    return {token: token_id for token, token_id in vocab.items() if len(token) == 1 or token in SPECIAL_TOKENS}


def hf_peer(vocab, merges, cache):
    """tokenizers on the same model; its decoder joins tokens and drops markers, as ours does."""
    tokenizer = hf_tokenizer(vocab, merges)
    if not cache:
        tokenizer.model = models.BPE(vocab=dict(vocab), merges=list(merges), unk_token="<unk>", cache_capacity=0)
    tokenizer.decoder = decoders.Sequence([decoders.Fuse(), decoders.Replace(MARKER, "")])
    return tokenizer


def fresh_words(words):
    """New str objects equal to `words`, made in one pass."""
    return "\n".join(words).split("\n")


def chunks(words):
    return [words[start:start + CHUNK] for start in range(0, len(words), CHUNK)]


def flat(lists):
    lengths = np.fromiter(map(len, lists), dtype=np.int64, count=len(lists))
    offsets = np.zeros(len(lists) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    ids = np.fromiter((token_id for ids in lists for token_id in ids), dtype=np.uint32, count=int(offsets[-1]))
    return ids, offsets


def hf_flat(encodings, words):
    """The ids of tokenizers' pre-split chunks, laid out as encode_flat lays out ours."""
    ids, lengths = [], []
    for encoding, chunk in zip(encodings, chunks(words)):
        ids.extend(encoding.ids)
        lengths.append(np.bincount(np.asarray(encoding.word_ids, dtype=np.int64), minlength=len(chunk)))
    offsets = np.zeros(len(words) + 1, dtype=np.int64)
    np.cumsum(np.concatenate(lengths), out=offsets[1:])
    return np.asarray(ids, dtype=np.uint32), offsets


def first_difference(words, expected, got):
    """None when the flat results are equal, else a message naming the first word that differs."""
    (expected_ids, expected_offsets), (got_ids, got_offsets) = expected, got
    if np.array_equal(expected_ids, got_ids) and np.array_equal(expected_offsets, got_offsets):
        return None
    if got_offsets.shape != expected_offsets.shape:
        return f"{len(got_offsets) - 1} words instead of {len(words)}"
    for i, word in enumerate(words):
        want = expected_ids[expected_offsets[i]:expected_offsets[i + 1]].tolist()
        have = got_ids[got_offsets[i]:got_offsets[i + 1]].tolist()
        if want != have:
            return f"word {i} {word!r}: {have} instead of {want}"
    return "same ids per word, but laid out differently"


class Mismatch(Exception):
    """A peer's output is not what it should be; nothing gets timed."""


class Worker:
    def __init__(self, threads, model_path, sentencepiece_path, corpus_dir):
        self.threads = threads
        model = morfex.load(model_path)
        self.vocab, self.merges = dict(model.vocab), list(model.merges)
        self.sentencepiece_path = str(sentencepiece_path)
        self.corpora = {path.stem: path.read_text(encoding="utf-8").splitlines()
                        for path in sorted(Path(corpus_dir).glob("*.txt"))}
        self.flat = {}
        self.lists = {}

    def model(self):
        return morfex.Tokenizer(self.vocab, self.merges)

    def sentencepiece(self):
        return sentencepiece.SentencePieceProcessor(model_file=self.sentencepiece_path)

    def encoder(self, peer):
        """A fresh peer's call that encodes a list of words (pre-split chunks for tokenizers)."""
        threads = self.threads
        if peer in ("tokenizers", "tokenizers, no cache"):
            hf = hf_peer(self.vocab, self.merges, cache=peer == "tokenizers")
            return lambda pieces: hf.encode_batch(pieces, is_pretokenized=True, add_special_tokens=False)
        if peer == "sentencepiece":
            sp = self.sentencepiece()
            return lambda words: sp.encode(words, num_threads=threads)
        if peer == "per-word loop":
            encode = self.model().encode
            return lambda words: [encode(word) for word in words]
        tok = {
            "morfex encode_flat": self.model,
            "morfex encode_flat, no cache": lambda: uncached_tokenizer(self.vocab, self.merges),
            "morfex encode_batch": self.model,
            "floor encode_flat, no cache": lambda: uncached_tokenizer(floor_vocab(self.vocab), []),
        }[peer]()
        if peer == "morfex encode_batch":
            return lambda words: tok.encode_batch(words, threads=threads)
        return lambda words: tok.encode_flat(words, threads=threads)

    def decoder(self, peer, corpus):
        """A fresh peer's call that decodes the corpus' ids."""
        threads = self.threads
        ids, offsets = self.flat[corpus]
        lists = self.lists[corpus]
        if peer == "tokenizers decode_batch":
            hf = hf_peer(self.vocab, self.merges, cache=True)
            return lambda: hf.decode_batch(lists, skip_special_tokens=True)
        tok = self.model()
        if peer == "morfex decode_batch":
            return lambda: tok.decode_batch(lists, threads=threads)
        return lambda: tok.decode_flat(ids, offsets, threads=threads)

    def check(self):
        """Every peer against the per-word encode and decode, on every corpus; returns what was counted."""
        facts = {}
        tok = self.model()
        floor = uncached_tokenizer(floor_vocab(self.vocab), [])
        for corpus, words in self.corpora.items():
            where = f"{corpus} corpus, {self.threads} threads"
            lists = [tok.encode(word) for word in words]
            expected = flat(lists)
            self.flat[corpus], self.lists[corpus] = expected, lists
            for name in ENCODERS:
                if name == "sentencepiece":
                    continue
                if name.startswith("tokenizers"):
                    got = hf_flat(self.encoder(name)(chunks(words)), words)
                else:
                    got = self.encoder(name)(words)
                if isinstance(got, list):
                    got = flat(got)
                want = flat([floor.encode(word) for word in words]) if name.startswith("floor") else expected
                fault = first_difference(words, want, got)
                if fault:
                    raise Mismatch(f"{where}: {name} differs from encoding word by word: {fault}")

            texts = [tok.decode(ids) for ids in lists]
            for name in DECODERS:
                decoded = self.decoder(name, corpus)()
                if decoded != texts:
                    i = next((i for i, (a, b) in enumerate(zip(decoded, texts)) if a != b),
                             min(len(decoded), len(texts)))
                    raise Mismatch(f"{where}: {name} differs from decoding one by one at sequence {i}: "
                                   f"{decoded[i:i + 1]} instead of {texts[i:i + 1]}")
            facts[corpus] = {"words": len(words), "morfex tokens": int(len(expected[0])),
                             "morfex <unk>": int(np.count_nonzero(expected[0] == self.vocab["<unk>"]))}
            facts[corpus] |= self.sentencepiece_sanity(words)
        return facts

    def sentencepiece_sanity(self, words):
        """sentencepiece has its own model, so its output is only counted and round-tripped."""
        sp = self.sentencepiece()
        pieces = sp.encode(words, num_threads=self.threads)
        if pieces[:1000] != [sp.encode(word) for word in words[:1000]]:
            raise Mismatch(f"sentencepiece with {self.threads} threads differs from one word at a time")
        back = sp.decode(pieces)
        # sentencepiece spells its boundary, the same U+2581, as a space.
        exact = sum(text == word.replace(MARKER, " ") for text, word in zip(back, words))
        if any(not ids for ids, word in zip(pieces, words) if word) or exact < 0.9 * len(words):
            raise Mismatch(f"sentencepiece is not sane: {exact:,} of {len(words):,} words round-trip")
        return {"sentencepiece tokens": sum(map(len, pieces)),
                "sentencepiece <unk>": sum(ids.count(sp.unk_id()) for ids in pieces),
                "sentencepiece round trips": exact}

    def time(self, corpus, peer):
        words = self.corpora[corpus]
        if peer in DECODERS:
            run = self.decoder(peer, corpus)
        else:
            encode = self.encoder(peer)
            inputs = fresh_words(words)
            if peer.startswith("tokenizers"):
                inputs = chunks(inputs)
            run = lambda: encode(inputs)  # noqa: E731
        gc.collect()
        start = time.perf_counter()
        result = run()
        seconds = time.perf_counter() - start
        del result
        return seconds


def main():
    threads, model_path, sentencepiece_path, corpus_dir = int(sys.argv[1]), *sys.argv[2:5]
    worker = Worker(threads, model_path, sentencepiece_path, corpus_dir)
    try:
        facts = worker.check()
    except Mismatch as error:
        print(json.dumps({"error": str(error)}), flush=True)
        return 1
    print(json.dumps({"ready": facts}), flush=True)
    for line in sys.stdin:
        request = json.loads(line)
        print(json.dumps({"seconds": worker.time(request["corpus"], request["peer"])}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

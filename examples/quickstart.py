"""Build a small tokenizer and encode and decode a few segmented words."""

from _morfex import CoreBPE
from morfex import MARKER  # the morpheme boundary, "\u2581"

vocab = {
    "<pad>": 0, "<unk>": 1, "<s>": 2, "</s>": 3, MARKER: 4,
    "k": 5, "u": 6, "m": 7, "a": 8, "i": 9, "n": 10,
    "um": 11, "ai": 12, "ain": 13, "t": 14, "l": 15, "ul": 16, "tul": 17,
}
# Earlier pairs merge first; none contains the boundary marker.
merges = [("u", "m"), ("a", "i"), ("ai", "n"), ("u", "l"), ("t", "ul")]

bpe = CoreBPE(vocab, merges)
for word in ["k▁um▁ain", "k▁um▁tul", "tul▁ain", "kaxi"]:
    ids = bpe.encode(word)
    print(f"{word:>10} -> {ids} -> {bpe.decode(ids)!r}")

"""The three real Polish corpora of the batch benchmark, cached under build/bench/.

- "segmented": Morfessor-segmented dictionary words (segmented_words.py), each once.
- "text": the words of Debian's Polish man pages (package manpages-pl) in text
  order, rendered to plain text by groff; split on whitespace, with
  punctuation and symbols stripped at both edges of a word (kept inside it,
  as in "bytes=LISTA") and pieces left empty dropped. Case is kept.
- "dictionary": raw words of /usr/share/dict/polish (package wpolish),
  shuffled with a fixed seed, each once, so no word cache can help.
"""

import gzip
import random
import subprocess
import sys
import unicodedata
from collections import Counter
from pathlib import Path

from segmented_words import CACHE, WORD_LIST, segmented_words

MAN_PAGES = Path("/usr/share/man/pl")
# No hyphenation, and long lines, so that no word is split across lines;
# continuous rendering, so that page headers are not repeated.
GROFF = ["groff", "-k", "-Kutf8", "-t", "-Tutf8", "-mandoc", "-P-cbou", "-rHY=0", "-rcR=1", "-rLL=200n"]
CORPUS_NAMES = {
    "segmented": "(a) Morfessor-segmented dictionary words",
    "text": "(b) words of Polish man pages, in text order",
    "dictionary": "(c) dictionary words, shuffled",
}


def edge_stripped(word):
    """`word` without punctuation and symbols at its edges."""
    start, end = 0, len(word)
    while start < end and unicodedata.category(word[start])[0] in "PS":
        start += 1
    while end > start and unicodedata.category(word[end - 1])[0] in "PS":
        end -= 1
    return word[start:end]


def man_page_text(path):
    roff = gzip.decompress(path.read_bytes())
    rendered = subprocess.run(GROFF, input=roff, capture_output=True, check=True).stdout
    return rendered.decode("utf-8", errors="replace")


def running_text_words():
    """Every word of every Polish man page (symbolic links skipped), pages in path order."""
    cache = CACHE / "polish-manpages-words.txt"
    if cache.exists():
        return cache.read_text(encoding="utf-8").splitlines()
    pages = sorted(path for path in MAN_PAGES.rglob("*.gz") if path.is_file() and not path.is_symlink())
    if not pages:
        sys.exit(f"no man pages under {MAN_PAGES}; install Debian's manpages-pl")
    words = []
    for number, page in enumerate(pages, start=1):
        words.extend(word for word in map(edge_stripped, man_page_text(page).split()) if word)
        if number % 50 == 0 or number == len(pages):
            print(f"rendered {number}/{len(pages)} man pages, {len(words):,} words", file=sys.stderr, flush=True)
    CACHE.mkdir(parents=True, exist_ok=True)
    cache.write_text("\n".join(words) + "\n", encoding="utf-8")
    return words


def shuffled_dictionary_words(count, seed=3):
    words = sorted({line.strip() for line in WORD_LIST.read_text(encoding="utf-8").splitlines() if line.strip()})
    random.Random(seed).shuffle(words)
    return words[:count]


def corpora(dictionary_words, corpus_weight):
    return {
        "segmented": segmented_words(corpus_weight=corpus_weight),
        "text": running_text_words(),
        "dictionary": shuffled_dictionary_words(dictionary_words),
    }


def training_items(corpora):
    """What both trained models learn from: each segmented word once, and each
    word of the text with its count there, so the text's alphabet is covered."""
    counts = Counter(corpora["text"])
    return corpora["segmented"] + [f"{word}\t{count}" for word, count in sorted(counts.items())]

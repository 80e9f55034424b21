"""Builds the Polish model shipped in python/morfex/data/, the same bytes every time.

Inputs, each pinned by version and SHA-256 (the constants below); any other
input is refused with the constant to change:

- wordfreq's Polish word list (the wordfreq package from PyPI, data under
  CC BY-SA 4.0): its most frequent letters-only words are the word types the
  segmenter learns from.
- MorphyNet's Polish derivational words (pol.derivational.dev.tsv of the
  shared gold data, CC BY-SA 3.0): the rows at even line numbers annotate the
  segmenter with their one boundary; the rows at odd line numbers are never
  trained on, so recall measured on them (--measure-gold) is honest.
- Debian's manpages-pl (GPL-3+), fetched as its .deb, rendered to plain text
  by groff as the benchmarks render it (bench/polish_corpora.py). Every tenth
  page is held out for the benchmarks' tokens-per-word figures.

Steps:

1. morfex.train_segmenter learns a Morfessor Baseline segmenter from the word
   types and the annotations, with the weights its own tuning chose on a
   tenth of the annotations held out (CORPUS_WEIGHT, ANNOTATION_WEIGHT).
2. The words of the training pages join its lexicon whole, with their counts,
   so the words BPE learns from stay whole; only words the text lacks are cut
   into morphs.
3. morfex.train_text learns BPE, with byte fallback, from the training pages
   twice: as groff lays them out (indented) and with runs of whitespace
   collapsed, so words are learnt both after a space and at the start of a
   line.
"""

import argparse
import hashlib
import subprocess
import sys
import tempfile
import time
from collections import Counter
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from polish_corpora import MAN_PAGES, man_page_text  # noqa: E402

import morfex  # noqa: E402
from morfex.evaluation.gold import read_gold  # noqa: E402
from morfex.text import pieces as text_pieces  # noqa: E402
from morfex.vocabulary import MARKER  # noqa: E402

HERE = "scripts/build_default_model.py"
WORDFREQ_VERSION = "3.1.1"
WORDFREQ_DATA = "data/large_pl.msgpack.gz"
WORDFREQ_SHA256 = "fac63e49c49ea2e39dd8a48152d7e54cec0920abbc59993088063ed5d9b528c2"
MORPHYNET = ROOT.parent / "shared" / "gold" / "pol.derivational.dev.tsv"
MORPHYNET_SHA256 = "e8a10edbd7b412c2e011f64d2fdbb7e9778a1a3245cb14a7cd3d024afe4472c5"
MANPAGES_VERSION = "1:4.18.1-1"
MANPAGES_SHA256 = "31e518ea8331b5204d4fd0032037f96af1ba94a5afa4f0585dca1996b270cdf9"
GROFF_VERSION = "1.22.4-10"
DOWNLOADS = ROOT / "build" / "default-model"

WORD_TYPES = 200_000
CORPUS_WEIGHT = 1.0
ANNOTATION_WEIGHT = 30.0
SEGMENTER_SEED = 0
VOCAB_SIZE = 16_000
HELD_OUT_EVERY = 10


def log(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def require(what: str, got: str, wanted: str, constant: str) -> None:
    if got != wanted:
        sys.exit(f"{what}: got {got}, the model is pinned to {wanted}; to build from this input, "
                 f"set {constant} in {HERE} to {got} and say so in python/morfex/data/polish.morfex.NOTICE")


def word_types() -> list[str]:
    """The most frequent letters-only words of wordfreq's Polish list, most frequent first."""
    try:
        import wordfreq
    except ImportError:
        sys.exit(f"wordfreq is not installed; install wordfreq=={WORDFREQ_VERSION}")
    require("wordfreq's version", metadata.version("wordfreq"), WORDFREQ_VERSION, "WORDFREQ_VERSION")
    data = Path(wordfreq.__file__).parent / WORDFREQ_DATA
    require(f"SHA-256 of {data}", sha256(data), WORDFREQ_SHA256, "WORDFREQ_SHA256")
    words = [word for word in wordfreq.iter_wordlist("pl", "large") if word.isalpha()]
    return words[:WORD_TYPES]


def annotations(gold: Path, measure: Path | None) -> dict[str, str]:
    """The MorphyNet words of even line numbers with their boundary; the odd rows go to `measure`."""
    require(f"SHA-256 of {gold}", sha256(gold), MORPHYNET_SHA256, "MORPHYNET_SHA256")
    if measure is not None:
        lines = gold.read_text(encoding="utf-8").splitlines(keepends=True)
        measure.write_text("".join(lines[0::2]), encoding="utf-8")
    annotated = {}
    for entry in read_gold(gold).words:
        # Multi-word entries ("pojawiać się") are no single word to segment.
        if entry.line % 2 == 0 and not any(character.isspace() for character in entry.word):
            (cut,) = entry.cuts
            annotated[entry.word] = entry.word[:cut] + MARKER + entry.word[cut:]
    return annotated


def pinned_man_pages(scratch: Path) -> Path:
    """The man pages of the pinned manpages-pl .deb, unpacked under `scratch`."""
    groff = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "groff-base"], capture_output=True, text=True)
    require("groff-base's version", groff.stdout or "not installed", GROFF_VERSION, "GROFF_VERSION")
    DOWNLOADS.mkdir(parents=True, exist_ok=True)
    deb = DOWNLOADS / f"manpages-pl_{MANPAGES_VERSION.replace(':', '%3a')}_all.deb"
    if not deb.exists():
        # Fetched aside and moved in whole, so a failed download leaves no file to be read next time.
        with tempfile.TemporaryDirectory(dir=DOWNLOADS) as fetching:
            fetched = subprocess.run(["apt-get", "download", f"manpages-pl={MANPAGES_VERSION}"], cwd=fetching)
            if fetched.returncode:
                sys.exit(f"apt-get could not fetch manpages-pl {MANPAGES_VERSION}; to build from a version Debian "
                         f"still has, set MANPAGES_VERSION and MANPAGES_SHA256 in {HERE}")
            (Path(fetching) / deb.name).replace(deb)
    require(f"SHA-256 of {deb}", sha256(deb), MANPAGES_SHA256, "MANPAGES_SHA256")
    subprocess.run(["dpkg-deb", "-x", str(deb), str(scratch)], check=True)
    return scratch / MAN_PAGES.relative_to("/")


def man_pages(root: Path) -> list[Path]:
    pages = sorted(path for path in root.rglob("*.gz") if path.is_file() and not path.is_symlink())
    if not pages:
        sys.exit(f"no man pages under {root}; install Debian's manpages-pl")
    return pages


def split_pages(pages: list[Path]) -> tuple[list[Path], list[Path]]:
    """The training pages and the held-out pages."""
    return ([page for i, page in enumerate(pages) if i % HELD_OUT_EVERY],
            [page for i, page in enumerate(pages) if not i % HELD_OUT_EVERY])


def write_text(pages: list[Path], path: Path) -> None:
    path.write_text("".join(man_page_text(page) for page in pages), encoding="utf-8")


def collapse(source: Path, path: Path) -> None:
    """`source` with each line's runs of whitespace made one space, blank lines dropped."""
    lines = (" ".join(line.split()) for line in source.read_text(encoding="utf-8").splitlines())
    path.write_text("".join(line + "\n" for line in lines if line), encoding="utf-8")


def text_words(path: Path) -> Counter:
    counts: Counter = Counter()
    for piece in text_pieces.split(path.read_text(encoding="utf-8")):
        if text_pieces.is_word(piece):
            counts[piece.removeprefix(" ")] += 1
    return counts


def with_whole_words(segmenter: morfex.Segmenter, words: Counter) -> morfex.Segmenter:
    """`segmenter` with `words` in its lexicon as morphs of their own, counted as often as they occur."""
    state = segmenter.to_state()
    morphs = dict(state["morphs"])
    for word, count in words.items():
        morphs[word] = morphs.get(word, 0) + count
    state["morphs"] = morphs
    state["words"] += len(words)
    return morfex.Segmenter.from_state(state)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument("--gold", type=Path, default=MORPHYNET, help=f"the MorphyNet file (default: {MORPHYNET})")
    parser.add_argument("--measure-gold", type=Path, help="write the MorphyNet rows never annotated here")
    parser.add_argument("--held-out", type=Path, help="also write the held-out pages' text here")
    args = parser.parse_args()

    words = word_types()
    annotated = annotations(args.gold, args.measure_gold)
    with tempfile.TemporaryDirectory() as scratch_name:
        scratch = Path(scratch_name)
        training, held_out = split_pages(man_pages(pinned_man_pages(scratch / "deb")))
        laid_out, collapsed = scratch / "text.txt", scratch / "collapsed.txt"
        write_text(training, laid_out)
        collapse(laid_out, collapsed)
        if args.held_out is not None:
            write_text(held_out, args.held_out)
        counts = text_words(laid_out)
        log(f"{len(words):,} word types, {len(annotated):,} annotated words; {len(training)} pages "
            f"({laid_out.stat().st_size:,} bytes, {len(counts):,} distinct words) to learn from, {len(held_out)} held out")
        segmenter = morfex.train_segmenter(words, annotations=annotated, corpus_weight=CORPUS_WEIGHT,
                                           annotation_weight=ANNOTATION_WEIGHT, seed=SEGMENTER_SEED, threads=1)
        segmenter = with_whole_words(segmenter, Counter({word: n for word, n in counts.items() if MARKER not in word}))
        log(f"segmenter: {segmenter!r}; e.g. "
            + ", ".join(segmenter.segment(word) for word in ("kotami", "uniwersytetach", "nauczycielka", "książeczka")))
        tokenizer = morfex.train_text([laid_out, collapsed], segment=segmenter, vocab_size=VOCAB_SIZE,
                                      min_frequency=2, byte_fallback=True)
    ids = sorted(tokenizer.vocab.values())
    if ids != list(range(len(ids))):
        sys.exit("the trained model's ids are not dense from 0")
    tokenizer.save(args.output)
    log(f"wrote {args.output}: {len(tokenizer)} tokens, {len(tokenizer.merges)} merges, "
        f"{args.output.stat().st_size:,} bytes, SHA-256 {sha256(args.output)}")


if __name__ == "__main__":
    main()

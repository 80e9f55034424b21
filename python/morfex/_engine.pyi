from collections.abc import Buffer, Callable, Iterable, Mapping, Sequence
from typing import final

# A native Segmenter runs on the workers; a callable is called under the lock.
_TextSegmenter = Segmenter | Callable[[str], str] | None

@final
class OwnedBuffer:
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

@final
class Engine:
    cache_size: int
    def __new__(
        cls,
        vocab: Mapping[str, int],
        merges: Sequence[tuple[str, str]],
        cache_size: int,
        byte_ids: Sequence[int] | None = None,
        special_ids: Sequence[int] | None = None,
        unk_token: str | None = None,
    ) -> Engine: ...
    def encode(self, word: str, /) -> list[int]: ...
    def decode(self, ids: Iterable[int], /) -> str: ...
    def encode_flat(
        self, words: Iterable[str], threads: int, dropout: float = 0.0, seed: int = 0
    ) -> tuple[OwnedBuffer, OwnedBuffer]: ...
    def encode_lists(
        self, words: Iterable[str], threads: int, dropout: float = 0.0, seed: int = 0
    ) -> list[list[int]]: ...
    def decode_lists(self, batch: Iterable[Iterable[int]], threads: int) -> list[str]: ...
    def decode_flat(self, ids: Buffer, offsets: Buffer, threads: int) -> list[str]: ...
    def encode_chunk(self, data: Buffer, threads: int) -> tuple[OwnedBuffer, OwnedBuffer]: ...
    def encode_text(
        self, text: str, markers: bool, offsets: bool, segmenter: _TextSegmenter
    ) -> list[int] | tuple[list[int], list[tuple[int, int]]]: ...
    def encode_text_lists(
        self,
        texts: Iterable[str],
        threads: int,
        markers: bool,
        segmenter: _TextSegmenter,
        dropout: float = 0.0,
        seed: int = 0,
    ) -> list[list[int]]: ...
    def encode_text_flat(
        self,
        texts: Iterable[str],
        threads: int,
        markers: bool,
        segmenter: _TextSegmenter,
        dropout: float = 0.0,
        seed: int = 0,
    ) -> tuple[OwnedBuffer, OwnedBuffer]: ...
    def encode_text_chunk(
        self, data: Buffer, threads: int, markers: bool, segmenter: _TextSegmenter
    ) -> tuple[OwnedBuffer, OwnedBuffer]: ...
    def decode_text_lists(self, batch: Iterable[Iterable[int]], threads: int) -> list[str]: ...
    def decode_text_flat(self, ids: Buffer, offsets: Buffer, threads: int) -> list[str]: ...

def format_lines(ids: Buffer, offsets: Buffer) -> bytes: ...
def split_text(text: str) -> list[tuple[int, int, str]]: ...
def char_classes() -> bytes: ...

UNICODE_VERSION: str

@final
class Segmenter:
    words: int
    corpus_weight: float
    @classmethod
    def from_segmentations(cls, data: Buffer, name: str, separator: str) -> Segmenter: ...
    @classmethod
    def from_counts(cls, counts: Iterable[tuple[str, int]]) -> Segmenter: ...
    @classmethod
    def from_morphs(cls, morphs: dict[str, int], words: int, corpus_weight: float = 1.0) -> Segmenter: ...
    def segment(self, word: str, /) -> str: ...
    def segment_batch(self, words: Iterable[str], threads: int) -> list[str]: ...
    def morphs(self) -> dict[str, int]: ...

# The bounds the engine checks and the spellings the core gives tokens.
MAX_ID: int
MAX_THREADS: int
MAX_CACHE_SIZE: int
MAX_SEED: int
MARKER: str
UNK_ID: int
UNK_TOKEN: str
SPECIAL_TOKENS: tuple[str, str, str, str]
BYTE_TOKENS: tuple[str, ...]

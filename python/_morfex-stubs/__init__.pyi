from collections.abc import Sequence
from typing import Final, final

__all__: Final[list[str]]

@final
class CoreBPE:
    """Morphology-aware BPE encoder/decoder over a vocabulary and an ordered merge list."""

    def __new__(cls, vocab: dict[str, int], merges: Sequence[tuple[str, str]]) -> CoreBPE: ...
    def encode(self, text: str) -> list[int]: ...
    def decode(self, ids: Sequence[int]) -> str: ...

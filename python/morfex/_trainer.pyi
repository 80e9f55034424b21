from collections.abc import Callable

def train(
    corpus: str,
    vocab_size: int,
    min_frequency: int,
    alphabet_limit: int,
    byte_fallback: bool,
    progress: Callable[[int, int], object] | None,
) -> tuple[list[str], list[tuple[str, str]]]: ...
def train_counts(
    units: dict[str, int],
    vocab_size: int,
    min_frequency: int,
    alphabet_limit: int,
    byte_fallback: bool,
    progress: Callable[[int, int], object] | None,
) -> tuple[list[str], list[tuple[str, str]]]: ...
def train_segmenter(
    words: list[tuple[str, int]],
    annotations: list[tuple[str, list[list[str]]]],
    dampening: str,
    corpus_weight: float,
    annotation_weight: float | None,
    seed: int,
    max_epochs: int,
    finish_threshold: float,
    progress: Callable[[int, int, int], object] | None,
) -> tuple[tuple[dict[str, int], int, float], int, float]: ...
def segmentation_cost(
    segmentations: list[tuple[str, int, list[str]]],
    annotations: list[tuple[str, list[list[str]]]],
    dampening: str,
    corpus_weight: float,
    annotation_weight: float | None,
) -> float: ...

# The bounds the trainers check.
MAX_VOCAB_SIZE: int
MAX_COUNT: int
MAX_UNIT_COUNT: int
MAX_SEGMENTER_SEED: int

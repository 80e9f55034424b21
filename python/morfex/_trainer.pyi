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

"""morfex: BPE tokenization of morpheme-segmented words.

Words carry their morpheme boundaries as "▁" ("k▁um▁ain"); trained models
never merge across them. `train` and `train_file` make a `Tokenizer` from
segmented words, `train_counts` from counted ones and `train_text` from
running text; `train_segmenter` makes a `Segmenter` from a word list
and optional gold segmentations; `load` reads a model file, `Tokenizer.save` writes one and
`default_model` is the model shipped with the package; `pad` and `unpad`
turn flat batches into padded matrices and back; `evaluate` measures
models against gold segmentations and on running text. `TokenizeBatch`
tokenizes table batches for Ray Data, Dask, pandas and datasets. Each name
is imported on first use.
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from morfex.evaluation import Evaluation, EvaluationError, evaluate
    from morfex.formats.files import ModelFileError, default_model, load
    from morfex.formats.special_roles import SPECIAL_ROLES
    from morfex.formats.writing import FORMAT_NAME, FORMAT_VERSION, dumps, save
    from morfex.integrations.tables import TokenizeBatch
    from morfex.segment.training import train_segmenter
    from morfex.segmenter import Segmenter
    from morfex.sequences import pad, unpad
    from morfex.tokenizer import Tokenizer
    from morfex.training import CorpusError, CorpusWarning, train, train_bytes, train_counts, train_file, train_text
    from morfex.vocabulary import MARKER, SPECIAL_TOKENS

# The module that defines each public name. Names are imported on first use,
# so that `import morfex` costs little and the command line starts under its
# own handling of Ctrl-C before numpy and the engine load.
_HOMES = {
    "TokenizeBatch": "integrations.tables",
    **dict.fromkeys(["Evaluation", "EvaluationError", "evaluate"], "evaluation"),
    **dict.fromkeys(["ModelFileError", "default_model", "load"], "formats.files"),
    **dict.fromkeys(["FORMAT_NAME", "FORMAT_VERSION", "dumps", "save"], "formats.writing"),
    "Segmenter": "segmenter",
    "train_segmenter": "segment.training",
    **dict.fromkeys(["pad", "unpad"], "sequences"),
    "SPECIAL_ROLES": "formats.special_roles",
    "Tokenizer": "tokenizer",
    **dict.fromkeys(
        ["CorpusError", "CorpusWarning", "train", "train_bytes", "train_counts", "train_file", "train_text"], "training"
    ),
    **dict.fromkeys(["MARKER", "SPECIAL_TOKENS"], "vocabulary"),
}

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "MARKER",
    "SPECIAL_ROLES",
    "SPECIAL_TOKENS",
    "CorpusError",
    "CorpusWarning",
    "Evaluation",
    "EvaluationError",
    "ModelFileError",
    "Segmenter",
    "TokenizeBatch",
    "Tokenizer",
    "default_model",
    "dumps",
    "evaluate",
    "load",
    "pad",
    "save",
    "train",
    "train_bytes",
    "train_counts",
    "train_file",
    "train_segmenter",
    "train_text",
    "unpad",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(f"morfex.{home}"), name)
    else:
        # A submodule, as `import morfex` used to make every one reachable.
        try:
            value = importlib.import_module(f"morfex.{name}")
        except ModuleNotFoundError as error:
            if error.name != f"morfex.{name}":
                raise
            raise AttributeError(f"module 'morfex' has no attribute {name!r}") from None
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})

"""morfex: BPE tokenization of morpheme-segmented words.

Words carry their morpheme boundaries as "▁" ("k▁um▁ain"); trained models
never merge across them. `train` and `train_file` make a `Tokenizer` from
segmented words, `train_counts` from counted ones and `train_text` from
running text; `train_segmenter` makes a `Segmenter` from a word list
and optional gold segmentations; `load` reads a model file, `Tokenizer.save` writes one and
`default_model` is the model shipped with the package; `pad` and `unpad`
turn flat batches into padded matrices and back. `TokenizeBatch`
tokenizes table batches for Ray Data, Dask, pandas and datasets; it is
imported on first use.
"""

from typing import TYPE_CHECKING, Any

from morfex.model_files import ModelFileError, default_model, load
from morfex.model_writer import FORMAT_NAME, FORMAT_VERSION, dumps, save
from morfex.segmenter import Segmenter
from morfex.segmenter_training import train_segmenter
from morfex.sequences import pad, unpad
from morfex.special_roles import SPECIAL_ROLES
from morfex.tokenizer import Tokenizer
from morfex.text_training import train_text
from morfex.training import CorpusError, CorpusWarning, train, train_bytes, train_counts, train_file
from morfex.vocabulary import MARKER, SPECIAL_TOKENS

if TYPE_CHECKING:
    from morfex.batches import TokenizeBatch

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "MARKER",
    "SPECIAL_ROLES",
    "SPECIAL_TOKENS",
    "CorpusError",
    "CorpusWarning",
    "ModelFileError",
    "Segmenter",
    "TokenizeBatch",
    "Tokenizer",
    "default_model",
    "dumps",
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
    # The table-batch glue is loaded on first use: most programs never touch it.
    if name == "TokenizeBatch":
        from morfex.batches import TokenizeBatch

        return TokenizeBatch
    raise AttributeError(f"module 'morfex' has no attribute {name!r}")

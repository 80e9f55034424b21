"""morfex in Hugging Face transformers.

`MorfexTokenizer` is a transformers tokenizer that encodes on morfex's
engine, segmenter included, so that a model trained on `encode_text`'s ids
is served with the same ids. `save_pretrained` writes a directory that
`transformers.AutoTokenizer.from_pretrained` loads (with
`trust_remote_code=True`, or after `register()` without it). transformers is
imported on first use: `import morfex.hf` alone does not need it.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from morfex.hf.directory import MODEL_FILE, MODULE_FILE, TEMPLATES

if TYPE_CHECKING:
    from morfex.hf.transformers_tokenizer import MorfexTokenizer
    from morfex.tokenizer import Tokenizer

__all__ = ["MODEL_FILE", "MODULE_FILE", "TEMPLATES", "MorfexTokenizer", "register", "save_pretrained"]


def save_pretrained(
    tokenizer: Tokenizer,
    path: str | os.PathLike[str],
    *,
    model_max_length: int | None = None,
    template: str | None = None,
) -> None:
    """Writes `tokenizer` as a transformers tokenizer directory, all files or none (see Tokenizer.save_pretrained)."""
    try:
        from morfex.hf.transformers_tokenizer import save_pretrained as save
    except ModuleNotFoundError as error:
        if error.name != "transformers":
            raise
        message = "save_pretrained needs transformers 5 or later: pip install transformers"
        raise ModuleNotFoundError(message, name=error.name) from None
    save(tokenizer, path, model_max_length=model_max_length, template=template)


def register() -> None:
    """Lets `AutoTokenizer.from_pretrained` load saved morfex directories without trust_remote_code.

    The class is then taken from this installed morfex, never from the directory's module file."""
    from morfex.hf.transformers_tokenizer import register as register_class

    register_class()


def __getattr__(name: str) -> Any:
    if name == "MorfexTokenizer":
        from morfex.hf.transformers_tokenizer import MorfexTokenizer

        return MorfexTokenizer
    raise AttributeError(f"module 'morfex.hf' has no attribute {name!r}")

"""The `morfex` command: train, encode, decode and inspect models.

One module a command (`train`, `encode`, `decode`, `info`), with `files`
for the inputs and outputs they share and `common` for exit statuses,
errors, signals and options; `main` parses the arguments and runs them.
"""

from morfex.cli.main import main

__all__ = ["main"]

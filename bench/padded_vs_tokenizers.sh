#!/usr/bin/env bash
# Installs morfex, tokenizers and the Polish man pages (with groff to render
# them), then runs bench/padded_vs_tokenizers.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages manpages-pl groff-base
python=$(prepare_venv 3.12)
"$python" -m pip install -q tokenizers numpy >&2
exec "$python" bench/padded_vs_tokenizers.py "$@"

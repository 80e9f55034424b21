#!/usr/bin/env bash
# Installs morfex, sentencepiece and tokenizers, and groff to render the pinned
# Polish man pages (fetched by scripts/build_default_model.py), then runs
# bench/morphology_vs_peers.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages groff-base
python=$(prepare_venv 3.12)
"$python" -m pip install -q tokenizers sentencepiece >&2
exec "$python" bench/morphology_vs_peers.py "$@"

#!/usr/bin/env bash
# Installs morfex and the batch benchmark's peers and inputs (tokenizers,
# sentencepiece, numpy, matplotlib, Morfessor from PyPI; Debian's Polish word
# list and Polish man pages, and groff to render them), then runs
# bench/engine_vs_peers.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages wpolish manpages-pl groff-base
python=$(prepare_venv 3.12)
"$python" -m pip install -q tokenizers sentencepiece numpy matplotlib morfessor >&2
exec "$python" bench/engine_vs_peers.py "$@"

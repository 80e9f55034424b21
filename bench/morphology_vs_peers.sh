#!/usr/bin/env bash
# Installs morfex, sentencepiece, tokenizers and Morfessor (for the page split
# of scripts/build_default_model.py) and the Polish man pages, then runs
# bench/morphology_vs_peers.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages manpages-pl groff-base
python=$(prepare_venv 3.12)
"$python" -m pip install -q tokenizers sentencepiece "morfessor==2.0.6" >&2
exec "$python" bench/morphology_vs_peers.py "$@"

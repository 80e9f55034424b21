#!/usr/bin/env bash
# Installs morfex and the benchmark's peers and inputs (tokenizers, matplotlib,
# Morfessor from PyPI; Debian's Polish word list), then runs
# bench/core_vs_peers.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages wpolish
python=$(prepare_venv 3.12)
"$python" -m pip install -q tokenizers matplotlib morfessor >&2
exec "$python" bench/core_vs_peers.py "$@"

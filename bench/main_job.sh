#!/usr/bin/env bash
# Installs morfex and the main job's peers (tokenizers, sentencepiece, numpy,
# matplotlib from PyPI; Debian's Polish man pages, groff to render them and
# GNU time), then runs bench/main_job.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages manpages-pl groff-base time
python=$(prepare_venv 3.12)
"$python" -m pip install -q tokenizers sentencepiece numpy matplotlib >&2
exec "$python" bench/main_job.py "$@"

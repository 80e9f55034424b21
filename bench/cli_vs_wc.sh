#!/usr/bin/env bash
# Installs morfex and the Polish man pages (and groff to render them) and GNU time, then
# runs bench/cli_vs_wc.py on CPython 3.12. Arguments pass through.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_debian_packages manpages-pl groff-base time
python=$(prepare_venv 3.12)
exec "$python" bench/cli_vs_wc.py "$@"

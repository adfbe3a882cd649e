#!/usr/bin/env bash
# Installs what is missing, builds and installs the module into a venv, and
# bakes the bundled example schemas into out/ (or the arguments' input).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
[[ -x build/venv/bin/python ]] || /usr/bin/python3 -m venv --system-site-packages build/venv
build/venv/bin/pip install -q --no-build-isolation --no-deps . >/dev/null
exec build/venv/bin/python examples/bake.py "$@"

#!/bin/sh
# Creates .venv-thin: the package installed the way an analyst installs it,
# from the wheel that `make build` made, with its runtime dependencies resolved
# from their declared ranges and without cx_Oracle (python-oracledb in thin
# mode is the Oracle driver there), plus what its tests need.
set -eu
cd "$(dirname "$0")/.."

python=$(command -v python3.11 || command -v python3)
[ -x .venv-thin/bin/python ] || "$python" -m venv .venv-thin
pip="./.venv-thin/bin/python -m pip"
$pip install -q --upgrade pip
wheel=$(ls -t dist/velmora-*.whl | head -n 1)
$pip install -q --force-reinstall --no-deps "$wheel"
$pip install -q "$wheel" "$(grep '^pytest==' requirements-dev.txt)"
$pip install -q --no-deps -e tools/qzdb
if ./.venv-thin/bin/python -c 'import cx_Oracle' 2>/dev/null; then
  echo "setup-thin-venv: cx_Oracle must not be installed in .venv-thin" >&2
  exit 1
fi

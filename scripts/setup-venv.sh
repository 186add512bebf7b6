#!/bin/sh
# Creates the development environment at .venv with the pinned dependencies.
set -eu
cd "$(dirname "$0")/.."

python=$(command -v python3.11 || command -v python3)
"$python" -c 'import sys; assert sys.version_info[:2] == (3, 11), sys.version' \
  || { echo "Python 3.11 is required" >&2; exit 1; }

[ -x .venv/bin/python ] || "$python" -m venv .venv
pip="./.venv/bin/python -m pip"
$pip install -q --upgrade pip
# cx_Oracle 8.3.0 has no wheel for Python 3.11 and its setup.py still imports
# pkg_resources, which setuptools 82 removed: build it without isolation on an
# older setuptools.
$pip install -q "setuptools<82" wheel
$pip install -q -r requirements-dev.txt
$pip install -q --no-build-isolation "cx_Oracle==8.3.0"
# The database stand-ins the tests, the demo and the benchmarks use.
$pip install -q --no-build-isolation -e tools/qzdb

#!/bin/sh
# Creates a development environment with pinned dependencies:
#   scripts/setup-venv.sh                  .venv from requirements-dev.txt
#                                          (pandas 1.5, numpy 1, SQLAlchemy 1.4, cx_Oracle)
#   scripts/setup-venv.sh DIR REQUIREMENTS DIR from REQUIREMENTS, without cx_Oracle
#                                          (the second stack: requirements-current.txt)
set -eu
cd "$(dirname "$0")/.."
venv=${1:-.venv}
requirements=${2:-requirements-dev.txt}

python=$(command -v python3.11 || command -v python3)
"$python" -c 'import sys; assert sys.version_info[:2] == (3, 11), sys.version' \
  || { echo "Python 3.11 is required" >&2; exit 1; }

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
pip="./$venv/bin/python -m pip"
$pip install -q --upgrade pip
# cx_Oracle 8.3.0 has no wheel for Python 3.11 and its setup.py still imports
# pkg_resources, which setuptools 82 removed: it is built without isolation on
# an older setuptools, as is the editable install of the stand-ins below.
$pip install -q "setuptools<82" wheel
$pip install -q -r "$requirements"
if [ "$venv" = .venv ]; then
  $pip install -q --no-build-isolation "cx_Oracle==8.3.0"
fi
# The database stand-ins the tests, the demo and the benchmarks use; their
# dependencies are those the requirements file pinned.
$pip install -q --no-build-isolation --no-deps -e tools/qzdb

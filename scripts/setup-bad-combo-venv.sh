#!/bin/sh
# Creates .venv-badcombo: pandas and SQLAlchemy releases that cannot work
# together (pandas 2.2 with SQLAlchemy 1.4, which pip installs without
# complaint), with the 3.11 wheel of wheelhouse/ (`make wheels`) installed beside them, so
# that the tests can see velmora.fetching refuse them at import while
# velmora.bisource and velmora.cleaning, which need no SQLAlchemy, load.
set -eu
cd "$(dirname "$0")/.."

python=$(command -v python3.11 || command -v python3)
[ -x .venv-badcombo/bin/python ] || "$python" -m venv .venv-badcombo
pip="./.venv-badcombo/bin/python -m pip"
$pip install -q --upgrade pip
$pip install -q "pandas==2.2.3" "numpy==2.2.6" "SQLAlchemy==1.4.54" \
  "$(grep '^PyMySQL==' requirements-py312.txt)" "$(grep '^oracledb==' requirements-dev.txt)" \
  "$(grep '^pytest==' requirements-dev.txt)"
wheel=$(ls wheelhouse/velmora-*-cp311-cp311-manylinux*.whl)
$pip install -q --force-reinstall --no-deps "$wheel"

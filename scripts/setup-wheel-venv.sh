#!/bin/sh
# Creates an environment in which velmora comes from its binary wheel in
# wheelhouse/ (`make wheels`), installed as an analyst without a compiler
# installs it:
#   scripts/setup-wheel-venv.sh DIR VERSION [REQUIREMENTS]
# DIR gets CPython VERSION (scripts/find-python.sh). With REQUIREMENTS its
# dependencies are pinned by that file (a stack we test); without it pip
# resolves them from the package's declared ranges and installs pytest only
# beside them. pip runs with no compiler, CMake or Ninja on PATH
# (scripts/no-compiler-path.sh), so a dependency without a wheel for VERSION,
# or a velmora wheel pip cannot take, fails here instead of being built.
# The database stand-ins (tools/qzdb, pure Python) are installed editable.
set -eu
cd "$(dirname "$0")/.."
[ $# -ge 2 ] || { echo "usage: $0 DIR VERSION [REQUIREMENTS]" >&2; exit 2; }
venv=$1
version=$2
requirements=${3:-}
tag=cp$(echo "$version" | tr -d .)

python=$(scripts/find-python.sh "$version")
set -- wheelhouse/velmora-*-"$tag"-"$tag"-manylinux*.whl
[ -f "$1" ] || { echo "setup-wheel-venv: no $tag wheel in wheelhouse/ (make wheels)" >&2; exit 1; }
wheel=$1
bare_path=$(scripts/no-compiler-path.sh)

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
pip() { PATH=$bare_path "$venv/bin/python" -m pip "$@"; }
pip install -q --upgrade pip
if [ -n "$requirements" ]; then
  pip install -q --only-binary :all: -r "$requirements"
else
  pip install -q --only-binary :all: "$wheel" "$(grep '^pytest==' requirements-dev.txt)"
fi
pip install -q --force-reinstall --no-deps "$wheel"
# the stand-ins' own build backend, then the stand-ins
pip install -q --only-binary :all: "setuptools>=61,<82"
pip install -q --no-build-isolation --no-deps -e tools/qzdb
if [ -z "$requirements" ] && "$venv/bin/python" -c 'import cx_Oracle' 2>/dev/null; then
  echo "setup-wheel-venv: cx_Oracle must not be installed in $venv" >&2
  exit 1
fi
# pip check: the wheel's declared ranges admit the stack installed beside it
pip check >/dev/null || { pip check >&2; exit 1; }

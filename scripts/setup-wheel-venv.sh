#!/bin/sh
# Creates an environment in which velmora comes from its binary wheel in
# wheelhouse/ (`make wheels`), installed as an analyst without a compiler
# installs it:
#   scripts/setup-wheel-venv.sh DIR VERSION [REQUIREMENTS]
# DIR is made afresh with CPython VERSION (scripts/find-python.sh). pip
# installs the wheel with its dependencies resolved from the wheel's declared
# ranges; REQUIREMENTS, where given, constrains them to the versions of a stack
# we test and adds the test tools, else pip takes the newest releases the
# ranges admit and pytest beside them. pip runs with no compiler, CMake or Ninja on PATH
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

rm -rf "$venv"
"$python" -m venv "$venv"
pip() { PATH=$bare_path "$venv/bin/python" -m pip "$@"; }
pip install -q --upgrade pip
if [ -n "$requirements" ]; then
  # constraints name no extras
  mkdir -p build
  constraints=$(pwd)/build/constraints-$tag.txt
  sed 's/\[[^]]*\]//' "$requirements" > "$constraints"
  pip install -q --only-binary :all: -c "$constraints" -r "$requirements" "$wheel"
else
  pip install -q --only-binary :all: "$wheel" "$(grep '^pytest==' requirements-dev.txt)"
fi
# the stand-ins' own build backend, then the stand-ins
# (ensurepip gives 3.11 a setuptools without bdist_wheel, so upgrade past 70.1)
pip install -q --only-binary :all: --upgrade "setuptools>=70.1,<82"
pip install -q --no-build-isolation --no-deps -e tools/qzdb
if [ -z "$requirements" ] && "$venv/bin/python" -c 'import cx_Oracle' 2>/dev/null; then
  echo "setup-wheel-venv: cx_Oracle must not be installed in $venv" >&2
  exit 1
fi
# pip check: the wheel's declared ranges admit the stack installed beside it
pip check >/dev/null || { pip check >&2; exit 1; }

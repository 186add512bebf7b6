#!/bin/sh
# Builds velmora with AddressSanitizer and UndefinedBehaviorSanitizer (gcc) and
# runs the C++ unit tests and the whole pytest suite under them. Any memory
# error, any undefined behaviour and (in the unit tests) any leak fails the run.
#
# The sanitized package goes to build/sanitize/site and is put ahead of the
# development environment's own copy with PYTHONPATH, so .venv keeps its normal
# build. Build trees: build/sanitize/wheel (extensions), build/sanitize/unit.
#
# Environment: JOBS (parallel compile jobs, default 2), VELMORA_LEAK_CALLS
# (calls per memory-growth test, default 1000 here). Extra arguments are pytest
# options for both pytest runs.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

make -s venv
PY=$root/.venv/bin/python
CMAKE=$root/.venv/bin/cmake
CTEST=$root/.venv/bin/ctest
NINJA=$root/.venv/bin/ninja
export CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}"

out=$root/build/sanitize
site=$out/site

# gcc's runtimes. The interpreter itself is not instrumented, so the ASan
# runtime must come first in the process; libstdc++ must be there from the
# start too, or ASan cannot find the real __cxa_throw it wraps.
libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
for lib in "$libasan" "$libubsan" "$libstdcxx"; do
  [ -e "$lib" ] || { echo "sanitize: $lib not found (gcc's sanitizer runtimes)" >&2; exit 1; }
done
libasan=$(readlink -f "$libasan")
libubsan=$(readlink -f "$libubsan")
libstdcxx=$(readlink -f "$libstdcxx")

ubsan_options=halt_on_error=1:print_stacktrace=1:report_error_type=1

echo "== C++ unit tests under ASan, LeakSanitizer and UBSan"
"$CMAKE" -S . -B "$out/unit" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
  -DVELMORA_PYTHON_MODULES=OFF -DVELMORA_UNIT_TESTS=ON -DVELMORA_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$CMAKE" --build "$out/unit"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=$ubsan_options \
  "$CTEST" --test-dir "$out/unit" --output-on-failure -j2

echo "== building the sanitized extension modules into $site"
# LTO off: sanitizer reports then name the real source lines.
"$PY" -m pip install -q --no-build-isolation --no-deps --upgrade --target "$site" \
  -C build-dir="$out/wheel" \
  -C cmake.build-type=RelWithDebInfo \
  -C cmake.define.VELMORA_SANITIZE=ON \
  -C cmake.define.VELMORA_STATIC_RUNTIME=OFF \
  -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
  .

export PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
export LD_PRELOAD="$libasan:$libubsan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
# CPython does not free everything at exit: no leak detection in Python.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=$ubsan_options
# Python objects from malloc rather than pymalloc's arenas, so that ASan also
# catches reads and writes past the end of an object.
export PYTHONMALLOC=malloc

# The tests must run the sanitized modules, not the development build.
"$PY" - "$site" <<'EOF'
import os, sys
import velmora.cleaning, velmora.fetching, velmora.bisource
for m in (velmora.cleaning, velmora.fetching, velmora.bisource):
    where = os.path.realpath(m.__file__)
    assert where.startswith(os.path.realpath(sys.argv[1]) + os.sep), where
print("sanitized modules:", os.path.dirname(os.path.realpath(velmora.cleaning.__file__)))
EOF

echo "== pytest under ASan and UBSan"
"$PY" -m pytest -n 2 --ignore=tests/test_leaks.py "$@"

# The memory-growth tests read resident memory, and ASan's quarantine of freed
# blocks (kept back to catch use after free) alone adds hundreds of MiB: run
# them without the quarantine, with Python's own allocator (they also count its
# blocks), and on fewer calls, the sanitizers being slow.
if [ -f tests/test_leaks.py ]; then
  echo "== memory-growth tests under ASan and UBSan, without the quarantine"
  ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0 \
  VELMORA_LEAK_CALLS="${VELMORA_LEAK_CALLS:-1000}" \
    env -u PYTHONMALLOC "$PY" -m pytest -n 2 tests/test_leaks.py "$@"
fi

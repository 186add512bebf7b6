#!/bin/sh
# Builds and runs the fuzz targets for a bounded time; fails on any finding.
#
#  - fuzz/packed_text_fuzz.cc: libFuzzer (clang) on the packed-text kernel,
#    with AddressSanitizer and UndefinedBehaviorSanitizer;
#  - fuzz/split_lines_fuzz.py: atheris on velmora.cleaning.split_lines against
#    the pandas formulation in tests/split_reference.py, on extensions built
#    with ASan and UBSan too.
#
# Environment:
#   FUZZ_KERNEL_SECONDS   libFuzzer run time (default 120; 0 skips it)
#   FUZZ_KERNEL_RUNS      stop each libFuzzer process after this many executions
#   FUZZ_KERNEL_JOBS      parallel libFuzzer processes (default 1), each with
#                         its own log, build/fuzz/fuzz-N.log
#   FUZZ_SPLIT_SECONDS    atheris run time (default 60; 0 skips it)
#   FUZZ_SPLIT_RUNS       stop atheris after this many executions instead
#   FUZZ_SPLIT_SANITIZED  1 (default): atheris runs extensions built with ASan,
#                         UBSan and coverage (build/fuzz/ext-site); 0: the
#                         development build in .venv
#   JOBS                  parallel compile jobs (default 2)
# Findings go to build/fuzz/findings/; the corpus grown by a run stays in
# build/fuzz/corpus/ (add what is worth keeping to fuzz/corpus/ by hand).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

kernel_seconds=${FUZZ_KERNEL_SECONDS:-120}
kernel_runs=${FUZZ_KERNEL_RUNS:--1}
kernel_jobs=${FUZZ_KERNEL_JOBS:-1}
split_seconds=${FUZZ_SPLIT_SECONDS:-60}
split_runs=${FUZZ_SPLIT_RUNS:--1}
split_sanitized=${FUZZ_SPLIT_SANITIZED:-1}

out=$root/build/fuzz
findings=$out/findings
mkdir -p "$out/obj" "$out/corpus/packed_text" "$out/corpus/split_lines" "$findings"

# clang with its libFuzzer runtime, and the development environment
scripts/setup-system.sh clang libclang-rt-14-dev
make -s venv
PY=$root/.venv/bin/python

status=0

# ---- libFuzzer on the packed-text kernel
if [ "$kernel_seconds" != 0 ] || [ "$kernel_runs" != -1 ]; then
  echo "== building fuzz/packed_text_fuzz.cc"
  cxx="clang++ -std=c++20 -O1 -g -pthread -Isrc -fno-omit-frame-pointer"
  sanitize="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
  # The kernel: every plain C++ source of src/cleaning (not the Python
  # bindings, not the unit tests). The parser gets full coverage feedback
  # (comparisons included), the rest edge counters only, and the checking code
  # in the target none, so that the comparisons it makes on large inputs cost
  # nothing extra.
  objects=""
  for source in src/cleaning/*.cc; do
    case $source in
      *.test.cc|*.pybind.cc|*/module.cc) continue ;;
      */packed_text.cc) coverage=-fsanitize=fuzzer-no-link ;;
      *) coverage=-fsanitize-coverage=inline-8bit-counters,pc-table ;;
    esac
    object=$out/obj/$(basename "$source" .cc).o
    $cxx $sanitize $coverage -c "$source" -o "$object"
    objects="$objects $object"
  done
  $cxx $sanitize -Wall -Wextra -Werror -c fuzz/packed_text_fuzz.cc -o "$out/obj/packed_text_fuzz.o"
  # shellcheck disable=SC2086
  clang++ -pthread -fsanitize=fuzzer,address,undefined "$out/obj/packed_text_fuzz.o" $objects \
    -o "$out/packed_text_fuzz"

  echo "== libFuzzer: packed-text kernel (${kernel_seconds}s, runs ${kernel_runs} per process, jobs ${kernel_jobs})"
  log=$out/packed_text_fuzz.log
  set -- -max_total_time="$kernel_seconds" -runs="$kernel_runs" -print_final_stats=1 \
    -timeout=30 -rss_limit_mb=4096 -artifact_prefix="$findings/" -dict="$root/fuzz/packed_text.dict" \
    "$out/corpus/packed_text" "$root/fuzz/corpus/packed_text"
  if [ "$kernel_jobs" -gt 1 ]; then
    # each process writes fuzz-N.log into the working directory: build/fuzz
    set -- -jobs="$kernel_jobs" -workers="$kernel_jobs" "$@"
  fi
  rm -f "$out"/fuzz-*.log
  if (cd "$out" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$out/packed_text_fuzz" "$@") >"$log" 2>&1; then
    if [ "$kernel_jobs" -gt 1 ]; then
      grep -H -E '^stat::number_of_executed_units' "$out"/fuzz-*.log || true
      awk '/^stat::number_of_executed_units/ { total += $2 }
        END { printf "executions in all processes: %d\n", total }' "$out"/fuzz-*.log
    else
      grep -E '^(stat::number_of_executed_units|Done )' "$log" || true
    fi
  else
    echo "libFuzzer found a problem: see $log and $findings" >&2
    tail -40 "$log" >&2
    if [ "$kernel_jobs" -gt 1 ]; then
      tail -n 40 "$out"/fuzz-*.log >&2 || true
    fi
    status=1
  fi
fi

# ---- atheris on split_lines
if [ "$split_seconds" != 0 ] || [ "$split_runs" != -1 ]; then
  # atheris beside the development environment, not in it
  atheris=3.0.0
  [ -d "$out/site/atheris-$atheris.dist-info" ] ||
    "$PY" -m pip install -q --upgrade --target "$out/site" "atheris==$atheris"
  pythonpath=$out/site
  preload=
  if [ "$split_sanitized" = 1 ]; then
    # The extensions built by clang with ASan and UBSan and with coverage for
    # libFuzzer, run under the ASan runtime that atheris ships (libFuzzer
    # included). That runtime has no C++ part of UBSan: no vptr checks, and
    # clang 14's function-type check is unknown to it.
    echo "== building the sanitized extension modules for atheris"
    CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} \
    "$PY" -m pip install -q --no-build-isolation --no-deps --upgrade --target "$out/ext-site" \
      -C build-dir="$out/ext-build" \
      -C cmake.build-type=RelWithDebInfo \
      -C cmake.define.CMAKE_CXX_COMPILER=clang++ \
      -C cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
      -C cmake.define.VELMORA_SANITIZE=ON \
      -C cmake.define.VELMORA_STATIC_RUNTIME=OFF \
      -C "cmake.define.VELMORA_SANITIZE_EXTRA_FLAGS=-fno-sanitize=vptr,function;-fsanitize=fuzzer-no-link" \
      .
    pythonpath=$out/ext-site:$pythonpath
    preload=$out/site/asan_with_fuzzer.so
  else
    make -s build  # velmora as it is now, in .venv
  fi

  echo "== atheris: split_lines against the pandas formulation (${split_seconds}s, runs ${split_runs})"
  log=$out/split_lines_fuzz.log
  set -- -max_total_time="$split_seconds" -runs="$split_runs" -print_final_stats=1 \
    -timeout=60 -rss_limit_mb=4096 -artifact_prefix="$findings/" -dict=fuzz/packed_text.dict \
    "$out/corpus/split_lines" fuzz/corpus/split_lines
  if PYTHONPATH="$pythonpath${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="$preload" \
      ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$PY" fuzz/split_lines_fuzz.py "$@" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|Done )' "$log" || true
  else
    echo "atheris found a problem: see $log and $findings" >&2
    tail -60 "$log" >&2
    status=1
  fi
fi

exit $status

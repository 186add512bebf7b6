#!/bin/sh
# Prints a PATH on which no compiler and no build tool can be found: a folder
# (build/no-compiler-bin) of links to the system's programs but C and C++
# compilers, CMake and Ninja, and pyenv's shims left out. What an analyst's
# machine without a compiler offers pip and the tests. Fails when one of the
# tools is still reachable.
set -eu
cd "$(dirname "$0")/.."
bin=$(pwd)/build/no-compiler-bin
rm -rf "$bin"
mkdir -p "$bin"
for dir in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
  [ -d "$dir" ] || continue
  for program in "$dir"/*; do
    [ -x "$program" ] && [ ! -d "$program" ] || continue
    name=$(basename "$program")
    case $name in
      cc|c++|cpp|c89|c99|gcc|g++|gcc-*|g++-*|cpp-*|*-gcc|*-g++|*-gcc-*|*-g++-*|*-cc|*-c++|*-cpp|*-cpp-*) continue ;;
      clang|clang++|clang-*|clang++-*|*-clang|*-clang++|tcc|icc|icx|nvcc) continue ;;
      cmake|cmake-*|ctest|cpack|ccmake|ninja|meson|scons) continue ;;
    esac
    [ -e "$bin/$name" ] || ln -s "$program" "$bin/$name"
  done
done
for tool in cc c++ gcc g++ clang clang++ cmake ninja nvcc; do
  if PATH=$bin command -v "$tool" >/dev/null 2>&1; then
    echo "no-compiler-path: $tool is still reachable on $bin" >&2
    exit 1
  fi
done
echo "$bin"

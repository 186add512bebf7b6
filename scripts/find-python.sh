#!/bin/sh
# Prints the path of a CPython interpreter of one minor version:
#   scripts/find-python.sh 3.13
# pyenv's newest installation of that version where pyenv has one (the
# machines carry 3.12 and 3.13 there), else a python3.X on PATH that runs
# (Debian's python3.11). Fails, naming the interpreter, when neither has it.
set -eu
want=$1
case $want in 3.[0-9]|3.[0-9][0-9]) ;; *) echo "find-python: expected a version such as 3.12, not '$want'" >&2; exit 2 ;; esac

runs() { "$1" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$want'" >/dev/null 2>&1; }

if command -v pyenv >/dev/null 2>&1; then
  version=$(pyenv versions --bare --skip-aliases 2>/dev/null | grep -E "^${want}\.[0-9]+$" | sort -t. -k3,3n | tail -n 1 || true)
  if [ -n "$version" ]; then
    candidate=$(pyenv prefix "$version")/bin/python$want
    if runs "$candidate"; then echo "$candidate"; exit 0; fi
  fi
fi
for candidate in "/usr/bin/python$want" "$(command -v "python$want" 2>/dev/null || true)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ] && runs "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "find-python: CPython $want is needed and was not found: pyenv lists no $want.x installation" \
  "(pyenv versions; pyenv install $want) and no python$want on PATH runs" >&2
exit 1

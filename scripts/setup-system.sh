#!/bin/sh
# Installs the Debian packages the build and the tests use, when missing.
# Runs as root on Debian bookworm; a no-op when everything is present.
set -eu

need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

command -v python3.11 >/dev/null 2>&1 || need="$need python3 python3-venv python3-dev"
command -v g++ >/dev/null 2>&1 || need="$need g++"
command -v make >/dev/null 2>&1 || need="$need make"
have libgtest-dev || need="$need libgtest-dev"
# the demo plot's Chinese station and item names
have fonts-wqy-zenhei || need="$need fonts-wqy-zenhei"
command -v mariadbd >/dev/null 2>&1 || [ -x /usr/sbin/mariadbd ] || need="$need mariadb-server"
for extra in "$@"; do
  have "$extra" || need="$need $extra"
done

if [ -n "$need" ]; then
  echo "installing Debian packages:$need"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

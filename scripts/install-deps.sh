#!/usr/bin/env bash
# Installs the Debian packages Brevant needs to build, test and run, when they
# are missing. Quiet when everything is there. Runs apt-get as root directly,
# otherwise through sudo.
set -euo pipefail

PACKAGES=(
  # build
  g++ clang libclang-rt-14-dev clang-format cmake ninja-build pkg-config git
  # libraries
  qt6-base-dev libcurl4-openssl-dev libmicrohttpd-dev libdw-dev libelf-dev
  # the report collector: its two databases and its password hashes
  libsqlite3-dev libpq-dev libsodium-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libboost-stacktrace-dev libx11-dev xvfb xauth xdotool openbox curl
  binutils elfutils nginx openssl
  # the report collector's tests: a PostgreSQL server of their own, its pages in a real browser
  postgresql chromium
  # the Debian packages (scripts/package.sh): the builder's tools, their checks,
  # and a clean Debian 12 root to install them into
  dpkg-dev file lintian desktop-file-utils debootstrap
  # run time: the fonts the windows are laid out for, the desktop opener
  fonts-wine fonts-liberation xdg-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal
# build (g++) and one with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, which also builds the fuzz targets with libFuzzer). Then builds the
# Debian packages and installs them into a clean Debian 12 root
# (scripts/package.sh --check; skipped where the machine cannot make one).
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in default sanitize; do
  echo "== $preset build =="
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs"; then
    ctest --preset "$preset" -j "$jobs" || status=1
  else
    echo "the $preset build failed"
    status=1
  fi
done
echo "== packages =="
scripts/package.sh --check || status=1
exit $status

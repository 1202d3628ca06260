#!/usr/bin/env bash
# Builds the Debian packages brevant, brevant-update-server, vek-dev and
# vek-report-server from
# this checkout into dist/, and checks them with lintian.
#   scripts/package.sh           build the packages
#   scripts/package.sh --check   then also install them into a clean Debian 12
#                                root and use them (tests/package), through ctest
# Installs what is missing first, as scripts/test.sh does.
set -euo pipefail
cd "$(dirname "$0")/.."
check=OFF
[ "${1:-}" = --check ] && check=ON
scripts/install-deps.sh

build=build/package
jobs=$(nproc 2>/dev/null || echo 2)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ -DBREVANT_WERROR=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DBREVANT_WIZARD_DIR=/opt/quellmark \
  -DBREVANT_TESTS=OFF -DBREVANT_BENCH=OFF -DBREVANT_PACKAGING=ON -DBREVANT_PACKAGE_TEST=$check >/dev/null
cmake --build "$build" -j "$jobs"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB)
rm -rf dist
mkdir -p dist
cp "$build"/packages/*.deb dist/
echo "== the packages"
ls -l dist
echo "== lintian"
# Errors fail the build; warnings are listed.
lintian --fail-on error --tag-display-limit 0 dist/*.deb
if [ "$check" = ON ]; then
  echo "== installed on a clean Debian 12 root"
  ctest --test-dir "$build/packaging" --output-on-failure
fi

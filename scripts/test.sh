#!/bin/sh
# Installs what is missing, builds and runs every test. With "asan" as the
# first argument the sanitizer build runs instead of the default one.
set -e
cd "$(dirname "$0")/.."
preset="${1:-default}"
[ -d "build/$preset" ] || echo "Building the $preset preset; the first build takes several minutes." >&2
./scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"

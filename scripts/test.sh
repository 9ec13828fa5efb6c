#!/bin/sh
# Installs what is missing, builds and runs every test. With "asan" as the
# first argument the sanitizer build runs instead of the default one.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
preset="${1:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"

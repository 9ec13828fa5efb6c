#!/bin/sh
# Installs what is missing, builds and starts the wizard window.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x build/default/varnowe ]; then
  exec build/default/varnowe "$@"
else
  echo "The wizard window is not built yet; use build/default/varnowe-batch --help" >&2
fi

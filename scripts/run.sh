#!/bin/sh
# Installs what is missing, builds the wizard window and varnowe-batch (only
# those), and starts the window. Arguments go to the window.
set -e
cd "$(dirname "$0")/.."

has_display=yes
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  has_display=no
  echo "Note: no display here (DISPLAY is not set); building anyway, the window cannot be shown." >&2
fi
if [ ! -x build/default/varnowe ] || [ ! -x build/default/varnowe-batch ]; then
  echo "Building Varnowe; the first build takes a few minutes." >&2
fi

./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target varnowe varnowe-batch

if [ "$has_display" = no ]; then
  cat >&2 <<'MSG'

Varnowe is built, but its window needs a display and there is none here.
  With a virtual display:  Xvfb :99 & DISPLAY=:99 ./scripts/run.sh
  Without a window:        build/default/varnowe-batch --help
MSG
  exit 1
fi
exec build/default/varnowe "$@"

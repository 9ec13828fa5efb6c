#!/bin/sh
# Installs every build, test and benchmark dependency from Debian packages.
# Safe to run again: it only calls apt-get when something is missing.
set -e
PKGS="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config zlib1g-dev \
  nettle-dev libisal-dev qt6-base-dev libgl-dev libcli11-dev libfreetype-dev libfontconfig-dev \
  libharfbuzz-dev libfribidi-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  python3 xvfb xauth fonts-dejavu-core fonts-liberation2 \
  fonts-droid-fallback fonts-symbola fonts-lohit-deva fonts-tlwg-garuda-ttf"
# Tools that tests and benchmarks use to check our output independently.
if [ "${VARNOWE_WITH_CHECKERS:-1}" = 1 ]; then
  PKGS="$PKGS unzip libreoffice-calc-nogui gnumeric python3-xlrd python3-openpyxl python3-pandas python3-pdfminer python3-msoffcrypto-tool qpdf poppler-utils parallel \
    desktop-file-utils appstream dpkg-dev file"
fi
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  echo "installing:$missing"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

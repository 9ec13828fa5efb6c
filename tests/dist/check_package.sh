#!/bin/sh
# The desktop entry and AppStream data validate, and cpack builds a .deb
# holding the programs (stripped), their man pages and completions, with
# dependencies found by dpkg-shlibdeps. Exit 77 (skipped) without the tools.
# $1: source dir, $2: build dir.
set -e
src="$1" build="$2"
for tool in desktop-file-validate appstreamcli dpkg-shlibdeps cpack file; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
desktop-file-validate "$src/dist/varnowe.desktop"
appstreamcli validate --no-net --pedantic "$src/dist/varnowe.metainfo.xml" >/dev/null || appstreamcli validate --no-net "$src/dist/varnowe.metainfo.xml"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$(ls "$out"/*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || { echo "no Qt dependency found"; exit 1; }
list=$(dpkg-deb -c "$deb")
for f in usr/bin/varnowe usr/bin/varnowe-batch usr/share/man/man1/varnowe.1.gz usr/share/man/man1/varnowe-batch.1.gz \
         usr/share/bash-completion/completions/varnowe-batch usr/share/zsh/vendor-completions/_varnowe-batch \
         usr/share/applications/varnowe.desktop usr/share/metainfo/varnowe.metainfo.xml usr/share/doc/varnowe/copyright; do
  echo "$list" | grep -q " ./$f\$" || { echo "missing from the package: $f"; exit 1; }
done
mkdir "$out/x" && dpkg-deb -x "$deb" "$out/x"
file "$out/x/usr/bin/varnowe-batch" | grep -q ', stripped' || { echo "varnowe-batch is not stripped"; exit 1; }
"$out/x/usr/bin/varnowe-batch" --version | grep -q '^varnowe-batch '
"$out/x/usr/bin/varnowe" --version | grep -q '^varnowe '
if command -v lintian >/dev/null; then lintian --fail-on error,warning "$deb"; fi
echo "package ok: $(basename "$deb")"

#!/usr/bin/env bash
# Installs the build into a throw-away DESTDIR with the prefix /usr and checks
# the tree a service manager and an operator rely on.
# Arguments: the cmake program and the build folder.
set -euo pipefail
cmake_program=$1
build=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" "$cmake_program" --install "$build" --prefix /usr >/dev/null

failures=0
expect() {
  if ! "$@"; then
    echo "install tree: failed: $*" >&2
    failures=$((failures + 1))
  fi
}
has_line() { grep -qxE "$1" "$2"; }

unit="$root/usr/lib/systemd/system/korvex.service"
expect test -x "$root/usr/bin/korvex"
expect test -d "$root/usr/share/korvex/templates"
expect test -s "$root/usr/share/doc/korvex/korvex.json"
# An operator's configuration is never installed over.
expect test ! -e "$root/etc"
expect has_line 'ExecStart=/usr/bin/korvex' "$unit"
expect has_line 'Restart=always' "$unit"
expect has_line 'RestartSec=[1-5]' "$unit"
expect has_line 'KillSignal=SIGTERM' "$unit"
expect has_line 'WantedBy=multi-user.target' "$unit"
exit $((failures > 0))

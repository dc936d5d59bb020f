#!/usr/bin/env bash
# Runs the plug-in's main job on the sample driver package in a fresh private Wine prefix, through
# zyhost, and shows the plug-in's log lines.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zyhok_configure_and_build --target helperZYHOKDriver zyhost fixtures
zyhok_wine_prefix "$BUILD/wineprefix-demo"

BIN="$BUILD/bin"
PKG="$(zyhok_winpath "$BUILD/packages/v1/20019/1.6.1195/1.6.1195")"
LOG="$BUILD/demo-journal.log"
rm -f "$LOG"
export ZYJOURNAL_FILE="$(zyhok_winpath "$LOG")" ZYJOURNAL_LEVELS="*=2"

zyhost() {
  echo "\$ zyhost $*"
  wine "$BIN/zyhost.exe" "$@" </dev/null | tr -d '\r'
  echo
}

echo "== sample package: $PKG"
echo
zyhost info
echo "== before the driver is installed"
zyhost status || true
echo "== DefaultInstall of the sample package's INF, then the service is started"
wine rundll32 setupapi.dll,InstallHinfSection DefaultInstall 128 "$PKG\\zyhok.inf" </dev/null >/dev/null 2>&1
wine sc start zyhok </dev/null >/dev/null 2>&1
zyhost status
echo "== the plug-in's log ($LOG)"
cut -f2- "$LOG"

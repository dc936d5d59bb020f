#!/usr/bin/env bash
# Measures the plug-in and prints the figures (nothing is asserted): an install -> update -> uninstall
# cycle against the same operations done with Wine's tools, the DLL's load/unload cost against an
# empty DLL, and a suppressed log line against a written one. Uses its own private Wine prefix.
#   scripts/bench.sh [runs]      runs of the cycle (default 5)
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zyhok_configure_and_build --target zybench empty_plugin floor_plugin helperZYHOKDriver fixtures
zyhok_wine_prefix "$BUILD/wineprefix-bench"

V1="$(zyhok_winpath "$BUILD/packages/v1/20019/1.6.1195/1.6.1195")"
V2="$(zyhok_winpath "$BUILD/packages/v2/20019/1.6.1200/1.6.1200")"
# A machine with the platform installed records its install folder; the plug-in reads it when it loads.
wine reg add 'HKLM\SOFTWARE\Velmora\ZEFA' /v InstallDir /t REG_SZ /d 'C:\Program Files\Velmora\ZEFA\' /f \
  >/dev/null 2>&1 </dev/null
# The plug-in's own lines go to a file in the prefix, as on the platform.
export ZYJOURNAL_FILE="$(zyhok_winpath "$BUILD/bench-journal.log")" ZYJOURNAL_LEVELS="*=2"
rm -f "$BUILD/bench-journal.log"
wine "$BUILD/bin/zybench.exe" "$V1" "$V2" "${1:-5}" </dev/null | tr -d '\r'

#!/usr/bin/env bash
# Builds everything and runs every test under Wine in a fresh private prefix.
#   scripts/test.sh              the whole suite
#   scripts/test.sh -L quick     extra arguments go to ctest
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zyhok_configure_and_build
zyhok_wine_prefix "$BUILD/wineprefix-test"
ctest --test-dir "$BUILD" --output-on-failure "$@"

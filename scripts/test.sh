#!/usr/bin/env bash
# Builds everything and runs every test under Wine in a fresh private prefix.
#   scripts/test.sh              the whole suite
#   scripts/test.sh -L quick     extra arguments go to ctest, and the two long source and signing checks
#                                after it (clang-tidy, a few minutes; the signing proof) are left out
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zyhok_configure_and_build
zyhok_wine_prefix "$BUILD/wineprefix-test"
ctest --test-dir "$BUILD" --output-on-failure "$@"
if [ "$#" -eq 0 ]; then
  "$ROOT/scripts/check-signing.sh" "$BUILD"
  "$ROOT/scripts/check-source.sh" tidy "$BUILD"
fi

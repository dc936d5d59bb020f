#!/usr/bin/env bash
# Builds everything and runs every test under Wine in fresh private prefixes (two, one per ctest job).
#   scripts/test.sh              the whole suite
#   scripts/test.sh -L quick     extra arguments go to ctest, and the two long source and signing checks
#                                after it (clang-tidy, a few minutes; the signing proof) are left out
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zyhok_configure_and_build
# Two machines, so that ctest runs two test programs at once (see tests/CMakeLists.txt).
zyhok_wine_prefix "$BUILD/wineprefix-test" "$BUILD/wineprefix-test-b"
export ZYHOK_WINEPREFIX_B="$BUILD/wineprefix-test-b"
ctest --test-dir "$BUILD" --output-on-failure -j2 "$@"
if [ "$#" -eq 0 ]; then
  "$ROOT/scripts/check-signing.sh" "$BUILD"
  "$ROOT/scripts/check-source.sh" tidy "$BUILD"
fi

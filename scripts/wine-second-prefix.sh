#!/bin/sh
# Runs a test program under Wine in the second machine that scripts/test.sh sets up, so that ctest can run
# two test programs at once, each on a machine of its own ($ZYHOK_WINEPREFIX_B); without one (ctest run by
# hand, one program at a time) in $WINEPREFIX like every other test program.
WINEPREFIX="${ZYHOK_WINEPREFIX_B:-$WINEPREFIX}" exec wine "$@"

#!/usr/bin/env bash
# Runs the plug-in's whole lifecycle on the sample driver package in a fresh private Wine prefix,
# through zyhost as the platform's service host drives it: check both packages, install package v1,
# status, update to package v2, status, uninstall, status, with the plug-in's log lines of every step
# and what each step left on the machine.
#
# Exit status 0 when every step gave the expected result and driver state, 1 otherwise (the summary
# at the end names the steps that did not).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zyhok_configure_and_build --target helperZYHOKDriver zyhost fixtures
zyhok_wine_prefix "$BUILD/wineprefix-demo"

BIN="$BUILD/bin"
PKG1="$(zyhok_winpath "$BUILD/packages/v1/20019/1.6.1195/1.6.1195")"
PKG2="$(zyhok_winpath "$BUILD/packages/v2/20019/1.6.1200/1.6.1200")"
LOG="$BUILD/demo-journal.log"
rm -f "$LOG"
export ZYJOURNAL_FILE="$(zyhok_winpath "$LOG")" ZYJOURNAL_LEVELS="*=2"

failures=()
OUT=""
log_seen=0

# zyhost <args>: runs zyhost, shows its output (kept in OUT) and the log lines the call added.
zyhost() {
  echo "\$ zyhost $*"
  local rc=0
  OUT="$(wine "$BIN/zyhost.exe" "$@" </dev/null | tr -d '\r')" || rc=$?
  printf '%s\n' "$OUT"
  if [ -f "$LOG" ]; then
    local total
    total=$(wc -l <"$LOG")
    if [ "$total" -gt "$log_seen" ]; then
      echo "  plug-in log:"
      tail -n +"$((log_seen + 1))" "$LOG" | tr -d '\r' | cut -f2- | sed 's/^/  | /'
    fi
    log_seen=$total
  fi
  echo
  return "$rc"
}

# expect <step> <text>: notes a failure when the last output lacks the text.
expect() {
  if ! grep -qF -- "$2" <<<"$OUT"; then
    failures+=("$1: expected '$2'")
  fi
}

# step <name> <zyhost args>: a lifecycle step, which must end with a success code.
step() {
  local name="$1"
  shift
  if ! zyhost "$@"; then
    failures+=("$name: $(grep '^result:' <<<"$OUT" || echo 'no result')")
  fi
}

echo "== the packages"
zyhost check "$PKG1" || failures+=("check v1: problems found")
zyhost check "$PKG2" || failures+=("check v2: problems found")
zyhost info

echo "== install package v1"
step "install v1" install "$PKG1"
zyhost status || true
expect "status after install" "0xE01A0004 (the driver service is running)"
expect "status after install" "version:         1.6.1195"

echo "== update to package v2"
step "update to v2" update "$PKG2"
zyhost status || true
expect "status after update" "0xE01A0004 (the driver service is running)"
expect "status after update" "version:         1.6.1200"
zyhost diagnose

echo "== uninstall"
step "uninstall" uninstall "$PKG2"
zyhost status || true
expect "status after uninstall" "0xE01A0009 (the driver service status could not be read)"
zyhost diagnose
expect "diagnose after uninstall" "state:                      not installed (error 1060"
# The rest of that machine, read from diagnose's JSON: no service key nor AddOn sub-key, no staging folder, no
# action journal and no problem.
if ! wine "$BIN/zyhost.exe" --json diagnose </dev/null | tr -d '\r' | python3 -c '
import json, sys
d = json.load(sys.stdin)
left = [k["path"] for k in d["service_keys"] if k["values"] is not None]
left += [s["root"] for s in d["staging"] if s["folders"]] + d["problems"]
left += ["action journal"] if d["action_journal"]["present"] else []
print("\n".join("  left after the uninstall: " + item for item in left))
sys.exit(1 if left else 0)'; then
  failures+=("diagnose after uninstall: something of the plug-in's is left (see above)")
fi

echo "== the whole log: $LOG"
if [ "${#failures[@]}" -eq 0 ]; then
  echo "demo: every step gave the expected result"
else
  echo "demo: ${#failures[@]} step(s) did not give the expected result:"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi

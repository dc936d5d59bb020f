#!/usr/bin/env bash
# Source checks, run by ctest (clang-tidy and clang-format of clang 15, the compiler of the build):
#   scripts/check-source.sh format           every line of the C/C++ files (tests too) changed since .clang-format
#                                            last changed is as clang-format writes it; the differences are shown.
#                                            Older lines keep their hand layout until they are changed.
#   scripts/check-source.sh tidy [<build>]   clang-tidy (.clang-tidy) over every file of the build's compile
#                                            database outside tests/ and the build folder: no finding
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
tmp="$(mktemp)"
trap 'rm -f "$tmp"' EXIT
tool() { command -v "$1-15" || command -v "$1" || { echo "check-source: $1 is not installed" >&2; exit 1; }; }

case "${1:-}" in
  format)
    format="$(tool clang-format)" git_format="$(tool git-clang-format)"
    base="$(git log -1 --format=%H -- .clang-format 2>/dev/null)" \
      || { echo "check-source: the format check needs the git history" >&2; exit 1; }
    base="${base:-HEAD}"
    rc=0
    "$git_format" --binary "$format" --diff "$base" -- '*.c' '*.cc' '*.cpp' '*.h' >"$tmp" || rc=$?
    if [ "$rc" -ne 0 ]; then
      cat "$tmp"
      echo "check-source: the lines above differ from clang-format's layout; git add them, then run" \
        "$(basename "$git_format") --binary $(basename "$format") $base" >&2
      exit 1
    fi
    echo "check-source: every C/C++ line changed since ${base:0:12} (.clang-format) is as clang-format writes it" ;;
  tidy)
    tidy="$(tool clang-tidy)"
    build="$(cd "${2:-build}" && pwd)"
    log="$build/clang-tidy.log"
    python3 -c '
import json, sys
root, build = sys.argv[1] + "/", sys.argv[2] + "/"
files = {e["file"] for e in json.load(open(build + "compile_commands.json"))}
print("\n".join(sorted(f for f in files if f.startswith(root) and not f.startswith((root + "tests/", build)))))
' "$root" "$build" >"$build/clang-tidy.files"
    rc=0
    tr '\n' '\0' <"$build/clang-tidy.files" | xargs -0 -P"$(nproc)" -n1 "$tidy" -p "$build" --quiet >"$log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ] || grep -qE '(warning|error):' "$log"; then
      grep -E -A3 '(warning|error):' "$log" || tail -n 30 "$log"
      echo "check-source: clang-tidy found $(grep -cE '(warning|error):' "$log") problem(s) (its output: $log)" >&2
      exit 1
    fi
    echo "check-source: clang-tidy finds nothing in the $(wc -l <"$build/clang-tidy.files") source files and their headers" ;;
  *) echo "usage: scripts/check-source.sh format | tidy [<build folder>]" >&2; exit 2 ;;
esac

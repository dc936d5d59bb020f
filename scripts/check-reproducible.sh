#!/usr/bin/env bash
# Builds the shipped binaries twice, from two copies of the sources in two different folders, and checks
# that helperZYHOKDriver.dll, zyhost.exe, their PDBs and the two test stand-ins are byte-identical. When a file differs it names
# the differing byte offsets (the first ones) and the sizes.
#
#   scripts/check-reproducible.sh
#
# The copies hold the working tree's files that git tracks or would track (committed or not) and live under
# build/reproducible/. Each copy builds into its own <copy>/build, the layout the project's scripts use.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

"$ROOT/scripts/install-deps.sh"

# The release's binaries and PDBs, and the test stand-ins that travel in the same ZIP.
FILES=(helperZYHOKDriver.dll helperZYHOKDriver.pdb zyhost.exe zyhost.pdb journalsink.dll setupkit.dll)
TARGETS=(helperZYHOKDriver zyhost journalsink setupkit)
work="$BUILD/reproducible"
# Two folders of different names and depths, so that no length or name of a path can hide.
copies=("$work/first/zyhok" "$work/second-copy/nested/zyhok")

rm -rf "$work"
start=$SECONDS
for copy in "${copies[@]}"; do
  mkdir -p "$copy"
  if git -C "$ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
       [ -e "$f" ] && printf '%s\0' "$f"; done | tar --null -T - -cf -) | tar -xf - -C "$copy"
  else
    tar -C "$ROOT" --exclude=./build -cf - . | tar -xf - -C "$copy"
  fi
  echo "check-reproducible: building in $copy"
  cmake -S "$copy" -B "$copy/build" -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/clang-mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$DEPS_DIR/boost-1.81-mingw64" -DZYHOK_BUILD_TESTS=OFF >"$copy/configure.log" 2>&1 \
    || { cat "$copy/configure.log"; exit 1; }
  cmake --build "$copy/build" -j"$(nproc)" --target "${TARGETS[@]}" >"$copy/build.log" 2>&1 \
    || { tail -n 40 "$copy/build.log"; exit 1; }
done
echo "check-reproducible: two builds in $((SECONDS - start)) s"

status=0
for f in "${FILES[@]}"; do
  a="${copies[0]}/build/bin/$f" b="${copies[1]}/build/bin/$f"
  ha="$(sha256sum "$a" | cut -d' ' -f1)" hb="$(sha256sum "$b" | cut -d' ' -f1)"
  if [ "$ha" = "$hb" ]; then
    printf 'same      %s  %s\n' "$ha" "$f"
  else
    status=1
    printf 'DIFFERENT %s\n  first:  %s (%s bytes)\n  second: %s (%s bytes)\n' "$f" "$ha" "$(stat -c %s "$a")" \
      "$hb" "$(stat -c %s "$b")"
    count="$(cmp -l "$a" "$b" 2>/dev/null | wc -l || true)"
    echo "  $count differing bytes; first offsets (hex offset: first second, octal):"
    cmp -l "$a" "$b" 2>/dev/null | head -n 20 | awk '{ printf "    0x%08x: %s %s\n", $1 - 1, $2, $3 }' || true
  fi
done
if [ "$status" -ne 0 ]; then
  echo "check-reproducible: FAILED, the builds differ (copies kept in $work)" >&2
  exit 1
fi
rm -rf "$work"
echo "check-reproducible: the two builds are byte-identical"

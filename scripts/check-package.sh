#!/usr/bin/env bash
# Makes the release ZIP with CPack from a build folder whose shipped binaries are built, and checks it:
# its name carries the project's version, it holds exactly the files of the release layout (no import
# library, no stray file), its SHA256SUMS covers every other file and matches them, its binaries are the
# ones in the build folder (less their signatures, when signed) and pass scripts/check-binaries.py there (PDBs
# beside them, matching). Signed binaries (both or neither) must verify against $ZYHOK_SIGN_CA, else the
# system's CA bundle. With $ZYHOK_SIGN set, the package is made from signed binaries (cmake/release.cmake).
#
#   scripts/check-package.sh [<build folder> [<output folder>]]   (default: build/ and <build folder>/package/)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
[ -n "$version" ] || { echo "check-package: no project version in $build/CMakeCache.txt" >&2; exit 1; }
name="helperZYHOKDriver-$version-win64"
out="${2:-$build/package}"
rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G ZIP -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }

fail=0
check() { # check <condition result 0/1> <text>
  if [ "$1" -eq 0 ]; then echo "ok      $2"; else echo "FAILED  $2"; fail=1; fi
}

zip="$out/$name.zip"
[ -f "$zip" ]; check $? "the package is $name.zip"
[ -f "$zip" ] || { ls "$out" >&2; exit 1; }

mkdir -p "$out/unpacked"
(cd "$out/unpacked" && cmake -E tar xf "$zip")
expected="$(printf '%s\n' README.md SHA256SUMS helperZYHOKDriver.dll helperZYHOKDriver.pdb zyhost.exe zyhost.pdb \
  docs/benchmark.md docs/reliability-and-security.md docs/shipping.md docs/tests.md docs/zyhost.md \
  test-stand-ins-not-for-shipping/README.txt test-stand-ins-not-for-shipping/journalsink.dll \
  test-stand-ins-not-for-shipping/setupkit.dll | sort)"
actual="$(cd "$out/unpacked" && find . -type f | sed 's#^\./##' | sort)"
want_top="$(printf '%s\n' "$expected" | sed "s#^#$name/#")"
[ "$actual" = "$want_top" ]
check $? "it holds exactly: $(printf '%s\n' "$expected" | tr '\n' ' ')"
[ "$actual" = "$want_top" ] || diff <(printf '%s\n' "$want_top") <(printf '%s\n' "$actual") | sed 's/^/        /' || true

pkg="$out/unpacked/$name"
listed="$(cut -d' ' -f3- "$pkg/SHA256SUMS" | sort)"
[ "$listed" = "$(printf '%s\n' "$expected" | grep -vx SHA256SUMS)" ]
check $? "SHA256SUMS lists every other file"
(cd "$pkg" && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1)
check $? "SHA256SUMS matches the files"

# Every relative link of the package's pages ("](path)" or "](path#anchor)") names a file the package holds.
dead=""
for page in README.md docs/*.md; do
  [ -f "$pkg/$page" ] || continue
  for target in $(grep -o '](\([^)#:]*\)[^):]*)' "$pkg/$page" | sed 's/^](//; s/[#)].*//' | sort -u); do
    [ -n "$target" ] && [ ! -e "$(dirname "$pkg/$page")/$target" ] && dead="$dead $page->$target"
  done
done
[ -z "$dead" ]
check $? "every relative link of README.md and docs/ names a file of the package${dead:+ (dead:$dead)}"

for f in helperZYHOKDriver.pdb zyhost.pdb; do
  cmp -s "$pkg/$f" "$build/bin/$f"
  check $? "$f is the one built in $build/bin"
done
for f in journalsink.dll setupkit.dll; do
  cmp -s "$pkg/test-stand-ins-not-for-shipping/$f" "$build/bin/$f"
  check $? "test-stand-ins-not-for-shipping/$f is the stand-in built in $build/bin"
done

"$here/check-binaries.py" --def "$root/plugin/helperZYHOKDriver.def" --version "$version" --built "$build/bin" \
  "$pkg/helperZYHOKDriver.dll" "$pkg/zyhost.exe" | sed 's/^/package: /'
check "${PIPESTATUS[0]}" "the packaged binaries are the built ones and pass check-binaries.py beside their PDBs"

states="$("$here/check-binaries.py" --signed-state "$pkg/helperZYHOKDriver.dll" "$pkg/zyhost.exe" | sed 's/.* //' | sort -u)"
[ "$states" = signed ] || [ "$states" = unsigned ]
check $? "the binaries are all signed or all unsigned ($(echo $states))"
if [ "$states" = signed ]; then
  roots="the system's CA bundle"
  [ -z "${ZYHOK_SIGN_CA:-}" ] || roots="$ZYHOK_SIGN_CA"
  for f in helperZYHOKDriver.dll zyhost.exe; do
    osslsigncode verify ${ZYHOK_SIGN_CA:+-CAfile "$ZYHOK_SIGN_CA"} -in "$pkg/$f" >"$out/verify-$f.log" 2>&1 </dev/null
    check $? "$f: its Authenticode signature verifies against $roots"
  done
fi

if [ "$fail" -ne 0 ]; then
  echo "check-package: FAILED ($zip)" >&2
  exit 1
fi
echo "check-package: $zip is complete"

# Shared by the project's scripts: configure and build, and a private Wine prefix with a persistent
# server. Source it; it sets ROOT and BUILD.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian's Wine has no preloader: it maps a new process's fixed pages (the shared user data at 0x7ffe0000)
# after the Linux loader has placed the process's heap, which address-space randomisation puts anywhere in
# the gigabyte above the loader. Now and then (about one start in a few thousand) the heap lies on that
# page, the process dies before it starts ("failed to map the shared user data: c0000018"), and
# CreateProcessW reports ERROR_INTERNAL_ERROR (1359): a host the tests start, or the winedevice.exe that
# Wine's service manager starts for each start of the driver. So the script runs again without
# randomisation (setarch -R), which every process it starts inherits, Wine's service manager included
# (it is started by the prefix set-up below).
if [ $(( 0x$(cat /proc/self/personality 2>/dev/null || echo 0) & 0x0040000 )) -eq 0 ] &&
   setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R "${BASH:-bash}" "$0" "$@"
fi

BUILD="${ZYHOK_BUILD_DIR:-$ROOT/build}"
DEPS_DIR="${ZYHOK_DEPS_DIR:-/opt/zyhok-deps}"

zyhok_configure_and_build() {
  "$ROOT/scripts/install-deps.sh"
  mkdir -p "$BUILD"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/clang-mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$DEPS_DIR/boost-1.81-mingw64" >"$BUILD/configure.log" 2>&1 \
    || { cat "$BUILD/configure.log"; return 1; }
  cmake --build "$BUILD" -j"$(nproc)" "$@"
}

# zyhok_wine_prefix <dir>...: creates a fresh prefix in each folder (at the same time), starts a
# persistent server for each and warms it, so later programs start quickly and background Wine processes
# do not hold our pipes open. WINEPREFIX names the first; every server is stopped when the script ends.
zyhok_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all
  local prefix pid pids=()
  for prefix in "$@"; do
    (
      export WINEPREFIX="$prefix"
      if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
      fi
      mkdir -p "$WINEPREFIX"
      wineboot -i >/dev/null 2>&1 </dev/null
      wineserver -w
    ) &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid"; done
  ZYHOK_WINE_PREFIXES=("$@")
  trap 'for p in "${ZYHOK_WINE_PREFIXES[@]}"; do WINEPREFIX="$p" wineserver -k 2>/dev/null || true; done' EXIT
  for prefix in "$@"; do
    WINEPREFIX="$prefix" wineserver -p
    WINEPREFIX="$prefix" wine cmd /c exit >/dev/null 2>&1 </dev/null
  done
}

# Windows form of a Linux path (Wine maps / to Z:).
zyhok_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

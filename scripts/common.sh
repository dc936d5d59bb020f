# Shared by the project's scripts: configure and build, and a private Wine prefix with a persistent
# server. Source it; it sets ROOT and BUILD.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
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

# zyhok_wine_prefix <dir>: creates a fresh prefix there, starts a persistent server for it and warms
# it, so later programs start quickly and background Wine processes do not hold our pipes open.
zyhok_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
  wineserver -p
  wine cmd /c exit >/dev/null 2>&1 </dev/null
  trap 'wineserver -k 2>/dev/null || true' EXIT
}

# Windows form of a Linux path (Wine maps / to Z:).
zyhok_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

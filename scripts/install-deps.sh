#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, as root, from Debian's
# packages only. Idempotent: on a machine that is already set up it checks and returns quickly.
#
#   scripts/install-deps.sh
#
# Boost.Filesystem for mingw-w64 is built from Debian's boost1.81 source package and cached in
# $ZYHOK_DEPS_DIR (default /opt/zyhok-deps), outside the source tree, so later runs skip it.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

DEPS_DIR="${ZYHOK_DEPS_DIR:-/opt/zyhok-deps}"
BOOST_PREFIX="$DEPS_DIR/boost-1.81-mingw64"
PACKAGES=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 clang-15 lld-15 llvm-15 wine wine64 googletest dpkg-dev xz-utils python3)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

apt_updated=0
apt_update() {
  if [ "$apt_updated" -eq 0 ]; then
    # A source outside Debian's mirrors may be unreachable here; its failure must not stop the set-up.
    $SUDO apt-get update -qq || true
    apt_updated=1
  fi
}

if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ -f "$BOOST_PREFIX/.complete" ]; then
  exit 0
fi

echo "install-deps: building Boost.Filesystem 1.81 for x86_64-w64-mingw32 into $BOOST_PREFIX"
SRC_LIST=/etc/apt/sources.list.d/zyhok-deb-src.sources
if [ ! -f "$SRC_LIST" ]; then
  $SUDO tee "$SRC_LIST" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt_updated=0
fi
apt_update

work="$DEPS_DIR/boost-build"
$SUDO mkdir -p "$work"
$SUDO chown "$(id -u):$(id -g)" "$DEPS_DIR" "$work"
cd "$work"
if ! ls boost1.81_*.orig.tar.* >/dev/null 2>&1; then
  apt-get source --download-only boost1.81 2>&1 | grep -v -e NOTICE -e salsa -e "^Please use" -e "^git clone" -e "^to retrieve" || true
  ls boost1.81_*.orig.tar.* >/dev/null
fi
tarball="$(ls boost1.81_*.orig.tar.* | head -n1)"
rm -rf src build
mkdir src
tar -xf "$tarball" -C src --strip-components=1
cmake -S src -B build -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBOOST_INCLUDE_LIBRARIES=filesystem -DBUILD_SHARED_LIBS=OFF \
  -DCMAKE_INSTALL_PREFIX="$BOOST_PREFIX" -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
cmake --install build >/dev/null
rm -rf src build
touch "$BOOST_PREFIX/.complete"
echo "install-deps: Boost.Filesystem ready in $BOOST_PREFIX"

#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, as root, from Debian's
# packages only. Idempotent: on a machine that is already set up it checks and returns quickly, silently.
#
#   scripts/install-deps.sh
#
# Prints one line per step it carries out; the full output of every step goes to build/install-deps.log
# ($ZYHOK_BUILD_DIR/install-deps.log), and when a step fails its last lines are shown and the script
# exits 1. apt-get waits for another apt or dpkg run (another user's) to finish instead of failing.
#
# Boost.Filesystem for mingw-w64 is built from Debian's boost1.81 source package and cached in
# $ZYHOK_DEPS_DIR (default /opt/zyhok-deps), outside the source tree, so later runs skip it. The source
# package comes through deb-src entries derived from the machine's own APT sources (same archive URIs and
# suites, so mirrors and proxies keep working; see scripts/debian-source-entries.sh).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
BUILD="${ZYHOK_BUILD_DIR:-$root/build}"
DEPS_DIR="${ZYHOK_DEPS_DIR:-/opt/zyhok-deps}"
BOOST_PREFIX="$DEPS_DIR/boost-1.81-mingw64"
SRC_LIST=/etc/apt/sources.list.d/zyhok-deb-src.sources
# mingw-w64 GCC (its runtime, libstdc++ and the 32-bit fixtures), clang 15 and lld 15 (the shipped
# binaries and their PDBs), llvm 15 (llvm-objcopy), Wine, GoogleTest, python3 (the release checks),
# clang-tidy and clang-format of the same clang (the source checks), osslsigncode and openssl (Authenticode
# signing), SoftHSM and OpenSSL's PKCS#11 engine (the signing check's stand-in for a hardware token).
PACKAGES=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 clang-15 lld-15 llvm-15 wine wine64 googletest dpkg-dev xz-utils python3
          clang-tidy-15 clang-format-15 osslsigncode openssl softhsm2 libengine-pkcs11-openssl)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -eq 0 ] && [ -f "$BOOST_PREFIX/.complete" ]; then
  exit 0
fi

mkdir -p "$BUILD"
LOG="$BUILD/install-deps.log"
echo "install-deps $(date -u '+%Y-%m-%d %H:%M:%S UTC')" >"$LOG"
echo "install-deps: setting up this machine (full output in $LOG)"

# step <text> <command>...: one line on the terminal, the command's output in the log; on failure the
# log's tail and exit 1.
step() {
  local text="$1"
  shift
  echo "install-deps: $text"
  printf '\n=== %s\n$ %s\n' "$text" "$*" >>"$LOG"
  local rc
  # A subshell outside any condition, so that set -e stops the step at its first failing command.
  set +e
  (set -e; "$@") >>"$LOG" 2>&1 </dev/null
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    {
      echo "install-deps: FAILED while $text. Last lines of $LOG:"
      tail -n 30 "$LOG" | sed 's/^/  | /'
      echo "install-deps: the full output is in $LOG"
    } >&2
    exit 1
  fi
}

# apt_get <arguments>: apt-get that waits while another apt or dpkg run holds the package locks.
apt_get() {
  local tries=0 mark
  while :; do
    mark="$(wc -l <"$LOG")"
    if $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"; then
      return 0
    fi
    if tail -n "+$((mark + 1))" "$LOG" | grep -qE "Could not get lock|Unable to acquire|Unable to lock" \
       && [ "$tries" -lt 60 ]; then
      tries=$((tries + 1))
      echo "(another apt or dpkg run holds the lock; waiting 10 s, attempt $tries)"
      sleep 10
      continue
    fi
    return 1
  done
}

# An archive outside Debian that cannot be reached must not stop the set-up: the update's errors are
# logged, and a package that then cannot be installed fails the next step with its own message.
apt_update() {
  apt_get update || echo "(apt-get update reported errors; going on with the indexes it has)"
}

install_packages() {
  apt_update
  apt_get install -y --no-install-recommends "$@"
}

if [ "${#missing[@]}" -gt 0 ]; then
  step "installing ${#missing[@]} Debian packages: compilers (mingw-w64 GCC, clang 15, lld 15), Wine and tools" \
    install_packages "${missing[@]}"
fi

if [ -f "$BOOST_PREFIX/.complete" ]; then
  echo "install-deps: ready"
  exit 0
fi

# The deb-src entries for the Debian archives this machine already uses; written (and the indexes
# updated) only when they differ from what is there.
write_deb_src() {
  local entries
  entries="$("$here/debian-source-entries.sh")"
  printf '%s\n' "$entries"
  if [ -f "$SRC_LIST" ] && [ "$(cat "$SRC_LIST")" = "$entries" ]; then
    echo "($SRC_LIST is up to date)"
    return 0
  fi
  printf '%s\n' "$entries" | $SUDO tee "$SRC_LIST" >/dev/null
  apt_update
}
step "adding deb-src entries for this machine's Debian package sources ($SRC_LIST)" write_deb_src

work="$DEPS_DIR/boost-build"
fetch_boost_source() {
  $SUDO mkdir -p "$work"
  $SUDO chown "$(id -u):$(id -g)" "$DEPS_DIR" "$work"
  cd "$work"
  if ! ls boost1.81_*.orig.tar.* >/dev/null 2>&1; then
    apt-get source --download-only boost1.81
  fi
  ls -l boost1.81_*.orig.tar.*
}
step "downloading Debian's boost1.81 source package (74 MB, once)" fetch_boost_source

build_boost() {
  local tarball
  cd "$work"
  tarball="$(ls boost1.81_*.orig.tar.* | head -n1)"
  rm -rf src build
  mkdir src
  tar -xf "$tarball" -C src --strip-components=1
  # Boost is built with mingw-w64 GCC; the project's clang builds link it (see the toolchain files).
  cmake -S src -B build -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBOOST_INCLUDE_LIBRARIES=filesystem -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_INSTALL_PREFIX="$BOOST_PREFIX" -DBUILD_TESTING=OFF
  cmake --build build -j"$(nproc)"
  cmake --install build
  rm -rf src build
  touch "$BOOST_PREFIX/.complete"
}
step "building Boost.Filesystem 1.81 for mingw-w64 into $BOOST_PREFIX (once, about a minute)" build_boost
echo "install-deps: ready"

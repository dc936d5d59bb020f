#!/usr/bin/env bash
# Checks scripts/debian-source-entries.sh, which install-deps.sh uses to write its deb-src entries, on
# sample APT configurations (a mirror in one-line format, a proxy in deb822 with an inline key,
# third-party archives that must be left out, disabled and commented entries, none at all) and on this
# machine's own configuration.
#
#   scripts/check-debian-sources.sh
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
derive="$here/debian-source-entries.sh"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail=0

# sample <name>: a fresh root folder for a sample, with a bookworm os-release.
sample() {
  local dir="$tmp/$1"
  mkdir -p "$dir/etc/apt/sources.list.d" "$dir/var/lib/apt/lists"
  printf 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_CODENAME=bookworm\nID=debian\n' >"$dir/etc/os-release"
  printf '%s' "$dir"
}

# expect <name> <root> <expected stanzas>: the derived entries, without the comment header, are exactly these.
expect() {
  local name="$1" dir="$2" want="$3" got
  if ! got="$("$derive" "$dir" 2>"$tmp/stderr" | grep -v '^#' | sed '/./,$!d')"; then
    echo "FAILED  $name: no entries ($(cat "$tmp/stderr"))"
    fail=1
    return
  fi
  if [ "$got" = "$want" ]; then
    echo "ok      $name"
  else
    echo "FAILED  $name"
    diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | sed 's/^/        /' || true
    fail=1
  fi
}

# expect_none <name> <root>: the derivation fails with a message that says no Debian source is configured.
expect_none() {
  local name="$1" dir="$2"
  if "$derive" "$dir" >"$tmp/stdout" 2>"$tmp/stderr"; then
    echo "FAILED  $name: it gave entries:"
    sed 's/^/        /' "$tmp/stdout"
    fail=1
  elif grep -q "no Debian package source is configured\|no APT source files" "$tmp/stderr"; then
    echo "ok      $name ($(head -n1 "$tmp/stderr"))"
  else
    echo "FAILED  $name: unclear message: $(cat "$tmp/stderr")"
    fail=1
  fi
}

# 1. One-line format with a mirror, security, a deb-src line, a comment, and a third-party archive.
d="$(sample mirror-list)"
cat >"$d/etc/apt/sources.list" <<'EOF'
# deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm contrib main
deb http://ftp.mirror.example/debian/ bookworm main contrib non-free-firmware
deb-src http://ftp.mirror.example/debian/ bookworm main
deb http://security.mirror.example/debian-security bookworm-security main contrib
deb http://ftp.mirror.example/debian/ bookworm-updates main   # updates
EOF
cat >"$d/etc/apt/sources.list.d/thirdparty.list" <<'EOF'
deb [arch=amd64 signed-by=/etc/apt/keyrings/thirdparty.gpg] https://docker.example.org/linux/debian bookworm stable
EOF
expect "one-line mirror, security and a third-party archive" "$d" "Types: deb-src
URIs: http://ftp.mirror.example/debian/
Suites: bookworm bookworm-updates
Components: main

Types: deb-src
URIs: http://security.mirror.example/debian-security
Suites: bookworm-security
Components: main"

# 2. deb822 through an apt-cacher-ng style proxy URI, a disabled stanza and a third-party archive.
d="$(sample proxy-deb822)"
cat >"$d/etc/apt/sources.list.d/debian.sources" <<'EOF'
Types: deb
URIs: http://proxy.example.org:3142/mirror.example/debian
Suites: bookworm bookworm-updates
Components: main non-free-firmware
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://proxy.example.org:3142/mirror.example/debian
Suites: bookworm-backports
Components: main
Enabled: no

Types: deb
URIs: http://proxy.example.org:3142/security.mirror.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
cat >"$d/etc/apt/sources.list.d/thirdparty.sources" <<'EOF'
Types: deb
URIs: https://packages.example.org/node_20.x
Suites: nodistro
Components: main
Signed-By: /usr/share/keyrings/thirdparty.gpg
EOF
expect "deb822 through a proxy, disabled and third-party stanzas" "$d" "Types: deb-src
URIs: http://proxy.example.org:3142/mirror.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://proxy.example.org:3142/security.mirror.example/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"

# 3. deb822 with two URIs, an inline key, "deb deb-src" types; a third-party archive that calls its suite
#    bookworm with component main, told apart by the origin in APT's downloaded Release file.
d="$(sample inline-key)"
cat >"$d/etc/apt/sources.list.d/mirror.sources" <<'EOF'
# A company mirror of Debian.
Types: deb deb-src
URIs: https://mirror.example/debian https://mirror2.example/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mDMEZOXAMPLEKEYLINE
 =abcd
 -----END PGP PUBLIC KEY BLOCK-----
EOF
cat >"$d/etc/apt/sources.list.d/vendor.list" <<'EOF'
deb [signed-by=/usr/share/keyrings/vendor.gpg] https://apt.vendor.example/debian bookworm main
EOF
printf 'Origin: Debian\nLabel: Debian\nSuite: stable\nCodename: bookworm\n' \
  >"$d/var/lib/apt/lists/mirror.example_debian_dists_bookworm_InRelease"
printf 'Origin: Vendor\nLabel: Vendor\nCodename: bookworm\n' \
  >"$d/var/lib/apt/lists/apt.vendor.example_debian_dists_bookworm_InRelease"
expect "deb822 with an inline key, and a third-party 'bookworm main'" "$d" "Types: deb-src
URIs: https://mirror.example/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mDMEZOXAMPLEKEYLINE
 =abcd
 -----END PGP PUBLIC KEY BLOCK-----

Types: deb-src
URIs: https://mirror2.example/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 mDMEZOXAMPLEKEYLINE
 =abcd
 -----END PGP PUBLIC KEY BLOCK-----"

# 4. Debian archives of another release only, third-party archives, commented and deb-src-only lines.
d="$(sample no-debian)"
cat >"$d/etc/apt/sources.list" <<'EOF'
#deb http://mirror.example/debian bookworm main
deb-src http://mirror.example/debian bookworm main
deb http://mirror.example/debian trixie main
EOF
cat >"$d/etc/apt/sources.list.d/thirdparty.list" <<'EOF'
deb https://cloud.example.org/apt cloud-sdk-bookworm main
EOF
expect_none "no Debian archive of this release" "$d"

# 5. No source file at all.
d="$(sample empty)"
expect_none "no APT source file" "$d"

# 6. This machine: entries come out, each for a URI that the machine's own files name.
if out="$("$derive" 2>"$tmp/stderr")"; then
  bad=0
  while read -r uri; do
    grep -rqsF -- "$uri" /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
      || { echo "FAILED  this machine: $uri is in no source file"; bad=1; fail=1; }
  done < <(sed -n 's/^URIs: //p' <<<"$out")
  [ "$bad" -eq 0 ] && echo "ok      this machine: $(sed -n 's/^URIs: //p;s/^Suites: /  /p' <<<"$out" | paste -sd' ')"
else
  echo "FAILED  this machine: $(cat "$tmp/stderr")"
  fail=1
fi

if [ "$fail" -ne 0 ]; then
  echo "check-debian-sources: FAILED" >&2
  exit 1
fi
echo "check-debian-sources: all cases pass"

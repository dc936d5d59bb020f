#!/usr/bin/env bash
# Proves the release signing with a throwaway root CA and code-signing certificate that openssl makes here
# (in <build folder>/signing-check, never kept in the sources):
# - the release ZIP made from signed binaries ($ZYHOK_SIGN, scripts/check-package.sh) is complete, its
#   SHA256SUMS covers the signed files, the binaries pass scripts/check-binaries.py and verify against the root;
# - each signed binary fails to verify once one byte of it is changed;
# - signing the same binary again with the same key and time gives the same bytes, with the key in a PEM file,
#   in a password-protected PKCS#12 file and on a PKCS#11 token (SoftHSM stands in for the hardware);
# - scripts/sign.sh refuses a wrong or missing key, a wrong password or PIN, a certificate without the
#   code-signing purpose and a signed binary, and leaves the binary as it was, with no file beside it;
# - under Wine (the prefix in $WINEPREFIX), the signed zyhost loads the signed DLL, which reports the status,
#   installs the sample package and uninstalls it again.
#
#   scripts/check-signing.sh [<build folder>]      (default: build/)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/common.sh"
build="$(cd "${1:-$BUILD}" && pwd)"
[ -n "${WINEPREFIX:-}" ] || { echo "check-signing: set WINEPREFIX to a private prefix (scripts/test.sh does)" >&2; exit 1; }
work="$build/signing-check"
rm -rf "$work"
mkdir -p "$work/hsm"
cd "$work"
fail=0
check() { # check <condition result 0/1> <text>
  if [ "$1" -eq 0 ]; then echo "ok      $2"; else echo "FAILED  $2"; fail=1; fi
}
q() { "$@" >>"$work/openssl.log" 2>&1; }

q openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=zyhok throwaway root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
for name in codesign:codeSigning tls:serverAuth; do
  q openssl req -newkey rsa:2048 -nodes -keyout "${name%:*}.key" -out "${name%:*}.csr" -subj "/CN=zyhok ${name%:*}"
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "${name#*:}" >ext
  q openssl x509 -req -in "${name%:*}.csr" -CA root.pem -CAkey root.key -CAcreateserial -days 2 -extfile ext \
    -out "${name%:*}.pem"
done
q openssl pkcs12 -export -in codesign.pem -inkey codesign.key -out codesign.p12 -passout pass:p12-secret
export SOFTHSM2_CONF="$work/hsm/softhsm2.conf"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/hsm" >"$SOFTHSM2_CONF"
q softhsm2-util --init-token --free --label zyhok-release --pin 4711 --so-pin 0815
q softhsm2-util --import codesign.key --token zyhok-release --label signing --id 01 --pin 4711
token=(--key "pkcs11:token=zyhok-release;object=signing;type=private" --pkcs11-module /usr/lib/softhsm/libsofthsm2.so)
time=1765000000
export ZYHOK_SIGN_CA="$work/root.pem"

# The release ZIP from binaries signed with the token's key.
ZYHOK_SIGN="--cert $work/codesign.pem --key '${token[1]}' ${token[2]} ${token[3]} --time $time" \
  ZYHOK_SIGN_PASSWORD=4711 "$here/check-package.sh" "$build" "$work/package" >package.log 2>&1
check $? "the release ZIP made from signed binaries passes check-package.sh (its log: $work/package.log)"
grep -E '^(ok|FAILED) .*(signed|verifies)' package.log | sed 's/^/        /'
pkg="$(echo "$work"/package/unpacked/helperZYHOKDriver-*-win64)"

for f in helperZYHOKDriver.dll zyhost.exe; do
  osslsigncode verify -CAfile root.pem -in "$pkg/$f" >verify.log 2>&1
  check $? "$f: signed in the package, verifies against the throwaway root"
  cp "$pkg/$f" "changed-$f"
  python3 -c 'import sys; p = sys.argv[1]; d = bytearray(open(p, "rb").read()); d[len(d) // 2] ^= 0xFF
open(p, "wb").write(d)' "changed-$f"
  ! osslsigncode verify -CAfile root.pem -in "changed-$f" >verify.log 2>&1
  check $? "$f: with one byte changed, fails to verify"
  for way in pem pkcs12 token; do
    cp "$build/bin/$f" "$way-$f"
    case $way in
      pem) "$here/sign.sh" --cert codesign.pem --key codesign.key --time $time "$way-$f" ;;
      pkcs12) ZYHOK_SIGN_PASSWORD=p12-secret "$here/sign.sh" --pkcs12 codesign.p12 --time $time "$way-$f" ;;
      token) ZYHOK_SIGN_PASSWORD=4711 "$here/sign.sh" --cert codesign.pem "${token[@]}" --time $time "$way-$f" ;;
    esac >sign.log 2>&1 && cmp -s "$way-$f" "$pkg/$f"
    check $? "$f: signed again with the key from $way, the same bytes as in the package"
  done
done

# Refusals: each leaves the binary as built and nothing beside it.
mkdir refused
refuse() { # refuse <text> <expected message part> <sign.sh arguments...>
  local text="$1" want="$2" rc=0
  shift 2
  cp "$build/bin/zyhost.exe" refused/zyhost.exe
  "$@" refused/zyhost.exe >refused.log 2>&1 || rc=$?
  [ "$rc" -ne 0 ] && grep -qF -- "$want" refused.log && cmp -s refused/zyhost.exe "$build/bin/zyhost.exe" \
    && [ "$(ls -A refused)" = zyhost.exe ]
  check $? "sign.sh refuses $text: \"$(grep '^sign:' refused.log | tail -n1)\""
}
refuse "a key that is not the certificate's" "is not the key of the certificate" \
  "$here/sign.sh" --cert codesign.pem --key tls.key
refuse "a missing key file" "key file nope.key does not exist" "$here/sign.sh" --cert codesign.pem --key nope.key
refuse "a wrong PKCS#12 password" "wrong password" env ZYHOK_SIGN_PASSWORD=wrong "$here/sign.sh" --pkcs12 codesign.p12
refuse "a wrong token PIN" "wrong key URI or PIN" env ZYHOK_SIGN_PASSWORD=1234 "$here/sign.sh" --cert codesign.pem "${token[@]}"
refuse "a certificate without the code-signing purpose" "has no code-signing extended key usage" \
  "$here/sign.sh" --cert tls.pem --key tls.key
cp "$pkg/zyhost.exe" refused/signed.exe
"$here/sign.sh" --cert codesign.pem --key codesign.key refused/signed.exe >refused.log 2>&1 && rc=0 || rc=$?
[ "$rc" -ne 0 ] && grep -qF "is already signed" refused.log && cmp -s refused/signed.exe "$pkg/zyhost.exe" \
  && [ "$(ls -A refused)" = "$(printf 'signed.exe\nzyhost.exe')" ]
check $? "sign.sh refuses a signed binary: \"$(grep '^sign:' refused.log | tail -n1)\""

# The signed binaries at work under Wine, with the stand-ins beside them.
cp "$pkg"/test-stand-ins-not-for-shipping/*.dll "$pkg/"
export ZYJOURNAL_FILE="$(zyhok_winpath "$work/journal.log")" ZYJOURNAL_LEVELS="*=2"
package="$(zyhok_winpath "$build/packages/v1/20019/1.6.1195/1.6.1195")"
step() { # step <text zyhost must print> <zyhost arguments...>
  local want="$1"
  shift
  wine "$pkg/zyhost.exe" "$@" </dev/null 2>&1 | tr -d '\r' >zyhost.log || true
  grep -qF -- "$want" zyhost.log
  check $? "the signed zyhost $1 (with the signed DLL) prints \"$want\""
}
step "0xE01A0009 (the driver service status could not be read)" status
step "0x201A0001" install "$package"
step "0xE01A0004 (the driver service is running)" status
step "0x201A0001" uninstall "$package"
step "0xE01A0009 (the driver service status could not be read)" status

if [ "$fail" -ne 0 ]; then
  echo "check-signing: FAILED (files kept in $work)" >&2
  exit 1
fi
rm -rf "$work"
echo "check-signing: signing works, and the signed binaries pass every check"

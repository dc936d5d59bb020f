#!/usr/bin/env bash
# Signs Windows binaries in place with Authenticode (SHA-256 digests) through osslsigncode.
#
#   scripts/sign.sh --cert <chain.pem> --key <key.pem> [options] <binary>...          key in a file
#   scripts/sign.sh --pkcs12 <bundle.p12> [options] <binary>...                         key and chain in PKCS#12
#   scripts/sign.sh --cert <chain.pem> --key '<pkcs11: URI>' --pkcs11-module <module.so>
#                   [--pkcs11-engine <engine.so>] [options] <binary>...                key on a PKCS#11 token
# options:
#   --timestamp <url>  countersign through this RFC 3161 timestamp server
#   --time <seconds>   the signing time (Unix time) written into the signature; default $SOURCE_DATE_EPOCH when
#                      set, else now. With a fixed time and an RSA key, signing the same binary again with the
#                      same osslsigncode gives the same bytes (not with a timestamp server, whose answer differs).
#   --ca <file>        roots the signature must verify against (default: $ZYHOK_SIGN_CA, else the system's CA bundle)
#   --tsa-ca <file>    roots the timestamp must verify against (default: the system's CA bundle)
#   --env              take the options from $ZYHOK_SIGN, quoted as on a command line (cmake/release.cmake)
# The PKCS#12 password, the PEM key's passphrase or the token's PIN comes from $ZYHOK_SIGN_PASSWORD.
#
# Refused before anything is signed: a missing file, a key that is not the certificate's, a wrong password, a
# certificate without the code-signing purpose, a binary that is not a PE file or is already signed. Each binary
# is signed into a temporary file beside it and verified; only when every one is do they replace the binaries
# (by rename), so a failure leaves every binary as it was.
set -euo pipefail

die() { echo "sign: $*" >&2; exit 1; }
if [ "${1:-}" = --env ]; then shift; eval "set -- ${ZYHOK_SIGN:-} \"\$@\""; fi
cert="" key="" p12="" module="" engine="" tsa="" ca="${ZYHOK_SIGN_CA:-}" tsa_ca="" time="${SOURCE_DATE_EPOCH:-}"
while [ $# -gt 0 ]; do
  case "$1" in
    --cert) cert="$2" ;; --key) key="$2" ;; --pkcs12) p12="$2" ;; --pkcs11-module) module="$2" ;;
    --pkcs11-engine) engine="$2" ;; --timestamp) tsa="$2" ;; --time) time="$2" ;; --ca) ca="$2" ;;
    --tsa-ca) tsa_ca="$2" ;;
    -*) die "unknown option $1" ;;
    *) break ;;
  esac
  [ $# -ge 2 ] || die "$1 needs a value"
  shift 2
done
[ $# -gt 0 ] || die "no binary to sign (see the usage at the top of $0)"
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/install-deps.sh installs it)"
pass=(-passin pass:) readpass=()
if [ -n "${ZYHOK_SIGN_PASSWORD+set}" ]; then pass=(-passin env:ZYHOK_SIGN_PASSWORD); readpass=(-readpass /dev/fd/3); fi

need_file() { [ -f "$1" ] && [ -r "$1" ] || die "$2 $1 does not exist or cannot be read"; }
tmp="$(mktemp -d)"
temps=()
trap 'rm -rf "$tmp" "${temps[@]}"' EXIT

# The signer's certificate (the first of the chain, or PKCS#12's own) into $tmp/leaf.pem; the key is checked
# against it here for files, and by the signature's verification below for a token.
if [ -n "$p12" ]; then
  [ -z "$cert$key$module" ] || die "--pkcs12 holds the key and the certificates: no --cert, --key or --pkcs11-module"
  need_file "$p12" "PKCS#12 file"
  openssl pkcs12 -legacy -in "$p12" -clcerts -nokeys "${pass[@]}" -out "$tmp/leaf.pem" 2>"$tmp/err" \
    || die "cannot read $p12: wrong password (\$ZYHOK_SIGN_PASSWORD) or not a PKCS#12 file"
  signer=(-pkcs12 "$p12")
else
  [ -n "$cert" ] && [ -n "$key" ] || die "give --cert and --key, or --pkcs12"
  need_file "$cert" "certificate file"
  openssl x509 -in "$cert" -out "$tmp/leaf.pem" 2>"$tmp/err" || die "$cert holds no PEM certificate"
  signer=(-certs "$cert" -key "$key")
  if [ -n "$module" ]; then
    need_file "$module" "PKCS#11 module"
    [[ "$key" == pkcs11:* ]] || die "with --pkcs11-module, --key is the key's pkcs11: URI"
    signer+=(-pkcs11module "$module")
    if [ -n "$engine" ]; then need_file "$engine" "PKCS#11 engine"; signer+=(-pkcs11engine "$engine"); fi
  else
    need_file "$key" "key file"
    openssl pkey -in "$key" "${pass[@]}" -pubout -out "$tmp/key.pub" 2>"$tmp/err" \
      || die "cannot read the private key $key (a wrong or missing passphrase in \$ZYHOK_SIGN_PASSWORD?)"
    openssl x509 -in "$tmp/leaf.pem" -noout -pubkey >"$tmp/cert.pub"
    cmp -s "$tmp/key.pub" "$tmp/cert.pub" || die "the key $key is not the key of the certificate in $cert"
  fi
fi
openssl x509 -in "$tmp/leaf.pem" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" \
  || die "the certificate $(openssl x509 -in "$tmp/leaf.pem" -noout -subject) has no code-signing extended key usage"

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
for f in "$@"; do need_file "$f" "binary"; done
while read -r line; do
  f="${line% *}" state="${line##* }"
  [ "$state" != not-pe ] || die "$f is not a Windows PE binary"
  [ "$state" = unsigned ] || die "$f is already signed; sign the binary as built"
done < <("$here/check-binaries.py" --signed-state "$@")

opts=(-h sha256)
[ -z "$time" ] || opts+=(-time "$time")
[ -z "$tsa" ] || opts+=(-ts "$tsa")
verify=() system_ca="the system's CA bundle"
[ -z "$ca" ] || { need_file "$ca" "CA file"; verify+=(-CAfile "$ca"); }
[ -z "$tsa_ca" ] || { need_file "$tsa_ca" "timestamp CA file"; verify+=(-TSA-CAfile "$tsa_ca"); }
for f in "$@"; do
  out="$(mktemp "$(dirname "$f")/.$(basename "$f").signing.XXXXXX")"
  temps+=("$out")
  rm -f "$out"
  osslsigncode sign "${signer[@]}" "${readpass[@]}" "${opts[@]}" -in "$f" -out "$out" >"$tmp/log" 2>&1 \
    3< <(printf '%s' "${ZYHOK_SIGN_PASSWORD:-}") </dev/null \
    || { sed 's/^/  | /' "$tmp/log" >&2; die "osslsigncode could not sign $f${module:+ (wrong key URI or PIN?)}"; }
  osslsigncode verify "${verify[@]}" -in "$out" >"$tmp/log" 2>&1 </dev/null \
    || { sed 's/^/  | /' "$tmp/log" >&2; die "the signature made for $f does not verify against ${ca:-$system_ca (give the root with --ca)}"; }
  chmod --reference="$f" "$out"
done
i=0
for f in "$@"; do
  mv -f "${temps[$i]}" "$f"
  echo "sign: signed $f"
  i=$((i + 1))
done
temps=()

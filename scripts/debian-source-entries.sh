#!/usr/bin/env bash
# Prints a deb822 sources file with deb-src entries for the Debian archives that this machine's APT
# already uses: the same URIs (so a mirror or a proxy in the URI keeps working), the same suites, the
# same Signed-By, component main (where boost1.81 and the rest of the project's sources live).
#
#   scripts/debian-source-entries.sh [<root folder>]
#
# One stanza per URI (and Signed-By). Reads <root>/etc/apt/sources.list, <root>/etc/apt/sources.list.d/*.list (one-line format) and
# <root>/etc/apt/sources.list.d/*.sources (deb822), all "deb" entries that are enabled. An entry counts
# as Debian's when
#   - its suite is this release's codename (from <root>/etc/os-release) or a suite of it
#     (<codename>-updates, -security, -backports, ...), or stable/testing/unstable/sid alike,
#   - its components include main, and
#   - APT's downloaded Release file for it, when there is one, names Debian as its origin (so a
#     third-party archive that also calls its suite "bookworm" is left out).
# Exits 1 with a message on stderr when no such entry exists. The root argument lets the checks run the
# same code on sample configurations (scripts/check-debian-sources.sh).
set -euo pipefail
root="${1:-}"
root="${root%/}"

codename=""
if [ -r "$root/etc/os-release" ]; then
  codename="$(sed -n 's/^VERSION_CODENAME=//p' "$root/etc/os-release" | tr -d '"' | head -n1)"
fi
names="stable|oldstable|testing|unstable|sid${codename:+|$codename}"
suite_re="^($names)(-[a-z]+)?$"

files=()
[ -f "$root/etc/apt/sources.list" ] && files+=("$root/etc/apt/sources.list")
for f in "$root"/etc/apt/sources.list.d/*.list "$root"/etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && files+=("$f")
done
if [ "${#files[@]}" -eq 0 ]; then
  echo "debian-source-entries: no APT source files in $root/etc/apt" >&2
  exit 1
fi

# One record per (entry, suite): URI <TAB> suite <TAB> components <TAB> Signed-By, where the Signed-By
# value has its line breaks (an inline key) written as \x01.
records="$(awk '
  function flush(   n, i, j, nu, ns, u, s) {
    if (types ~ /(^|[ \t])deb([ \t]|$)/ && tolower(enabled) != "no") {
      nu = split(uris, u, /[ \t]+/); ns = split(suites, s, /[ \t]+/)
      for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++)
        if (u[i] != "" && s[j] != "") printf "%s\t%s\t%s\t%s\n", u[i], s[j], comps, signed
    }
    types = uris = suites = comps = signed = enabled = field = ""
  }
  function trim(x) { sub(/^[ \t]+/, "", x); sub(/[ \t]+$/, "", x); return x }
  FNR == 1 { if (deb822) flush(); deb822 = (FILENAME ~ /\.sources$/) }
  deb822 {
    if ($0 ~ /^#/) next
    if ($0 ~ /^[ \t]*$/) { flush(); next }
    if ($0 ~ /^[ \t]/) {                     # continuation line
      if (field == "signed-by") signed = signed "\001" $0
      else if (field == "uris") uris = uris " " trim($0)
      else if (field == "suites") suites = suites " " trim($0)
      else if (field == "components") comps = comps " " trim($0)
      next
    }
    i = index($0, ":"); if (!i) next
    field = tolower(trim(substr($0, 1, i - 1))); value = trim(substr($0, i + 1))
    if (field == "types") types = value
    else if (field == "uris") uris = value
    else if (field == "suites") suites = value
    else if (field == "components") comps = value
    else if (field == "signed-by") signed = value
    else if (field == "enabled") enabled = value
    next
  }
  {
    line = $0; sub(/#.*/, "", line); line = trim(line)
    if (line == "") next
    opts = ""
    if (match(line, /\[[^]]*\]/)) { opts = substr(line, RSTART + 1, RLENGTH - 2); line = substr(line, 1, RSTART - 1) " " substr(line, RSTART + RLENGTH) }
    n = split(line, w, /[ \t]+/)
    if (w[1] != "deb" || n < 3) next
    sb = ""
    m = split(opts, o, /[ \t]+/)
    for (k = 1; k <= m; k++) if (tolower(o[k]) ~ /^signed-by=/) sb = substr(o[k], 11)
    c = ""; for (k = 4; k <= n; k++) c = c (c == "" ? "" : " ") w[k]
    printf "%s\t%s\t%s\t%s\n", w[2], w[3], c, sb
  }
  END { if (deb822) flush() }
' "${files[@]}")"

# APT's file name for a downloaded index of <uri>: scheme and credentials dropped, "/" as "_".
release_file() {
  local uri="$1" suite="$2" base
  base="${uri#*://}"
  base="${base#*@}"
  base="${base%/}"
  base="${base//\//_}"
  for f in "$root/var/lib/apt/lists/${base}_dists_${suite//\//_}_InRelease" \
           "$root/var/lib/apt/lists/${base}_dists_${suite//\//_}_Release"; do
    [ -f "$f" ] && { printf '%s' "$f"; return 0; }
  done
  return 0
}

# One stanza per URI and Signed-By, holding that entry's Debian suites in the order they came.
declare -A suites_of=()
order=()
while IFS=$'\t' read -r uri suite comps signed; do
  [ -n "$uri" ] || continue
  [[ "$suite" =~ $suite_re ]] || continue
  [[ " $comps " == *" main "* ]] || continue
  rel="$(release_file "$uri" "$suite")"
  if [ -n "$rel" ] && ! grep -qE '^Origin: Debian' "$rel"; then
    continue
  fi
  key="$uri"$'\t'"$signed"
  if [ -z "${suites_of[$key]+set}" ]; then
    order+=("$key")
    suites_of[$key]=""
  fi
  case " ${suites_of[$key]} " in *" $suite "*) ;; *) suites_of[$key]="${suites_of[$key]:+${suites_of[$key]} }$suite" ;; esac
done <<<"$records"

out=""
for key in "${order[@]}"; do
  uri="${key%%$'\t'*}" signed="${key#*$'\t'}"
  out+="Types: deb-src"$'\n'"URIs: $uri"$'\n'"Suites: ${suites_of[$key]}"$'\n'"Components: main"$'\n'
  if [ -n "$signed" ]; then
    signed="${signed//$'\001'/$'\n'}"
    # An inline key starts on the line after the field name.
    if [[ "$signed" == $'\n'* ]]; then out+="Signed-By:$signed"$'\n'; else out+="Signed-By: $signed"$'\n'; fi
  fi
  out+=$'\n'
done

if [ -z "$out" ]; then
  {
    echo "debian-source-entries: no Debian package source is configured for APT."
    echo "  Looked for enabled \"deb\" entries with suite ${codename:-<codename>}[-...] (or stable, testing,"
    echo "  unstable) and component main in: ${files[*]}"
    echo "  Add the Debian archive (or your mirror or proxy of it) to APT's sources, then run this again."
  } >&2
  exit 1
fi
echo "# deb-src entries for the Debian archives in this machine's APT sources (same URIs and suites),"
echo "# written by scripts/install-deps.sh so that apt-get source can fetch Debian's source packages."
echo
printf '%s' "${out%$'\n'}"

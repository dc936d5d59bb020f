#!/usr/bin/env bash
# Compiler and linker launcher: runs "$@" after rewriting every mention of the source folder and of the
# build folder into a path relative to the working folder of the step.
#
#   run-with-relative-paths.sh <source folder> <build folder> <tool> <arguments>...
#
# clang records its full command line in the CodeView build-information record of every object, and lld
# records its own in the PDB, beside the working folder. CMake hands both tools absolute paths, so the
# binaries and PDBs of two checkouts would differ in every such text (and, through the PDB's content
# hash, in the PDB GUID that the binaries carry). With relative paths, two builds whose build folder lies
# at the same place relative to its sources (the scripts use <source>/build) are byte-identical.
set -euo pipefail
src="$1" build="$2"
shift 2
rel_src="$(realpath -m --relative-to=. "$src")"
rel_build="$(realpath -m --relative-to=. "$build")"

# Replace the longer of the two first, so that a build folder inside the source folder (or the other way
# round) is rewritten as a whole.
first="$src" first_rel="$rel_src" second="$build" second_rel="$rel_build"
if [ "${#build}" -gt "${#src}" ]; then
  first="$build" first_rel="$rel_build" second="$src" second_rel="$rel_src"
fi

# replace <folder> <marker>: in $a, the folder becomes the marker wherever it stands as a whole path
# component (followed by "/" or at the end), so /a/b never touches /a/bc. Markers (control characters)
# stand in until both folders are replaced, so a relative form that happens to contain the other
# folder's path is never rewritten again.
replace() {
  a="${a//"$1/"/"$2/"}"
  if [[ "$a" == *"$1" ]]; then a="${a%"$1"}$2"; fi
}

args=()
for a in "$@"; do
  replace "$first" $'\001'
  replace "$second" $'\002'
  a="${a//$'\001'/$first_rel}"
  a="${a//$'\002'/$second_rel}"
  args+=("$a")
done
exec "${args[@]}"

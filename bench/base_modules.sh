#!/bin/sh
# Modules as they stood at an earlier commit, built for Octave under other names
# (MODULE_base.mex, function MODULE_base), so that one Octave process can call today's module
# and the earlier one side by side (bench/compare_octave.m).
#   bench/base_modules.sh SOURCE_DIR REV OUT_DIR MKOCTFILE CXXFLAGS MODULE...
# The build is kept while REV names the same commit and the module list is the same.
set -eu
src=$1
rev=$2
out=$3
mkoctfile=$4
flags=$5
shift 5

commit=$(git -C "$src" rev-parse --verify --quiet "$rev^{commit}") ||
    { echo "base_modules.sh: $rev names no commit in $src" >&2; exit 1; }
stamp="$commit $*"
mkdir -p "$out"
if [ "$(cat "$out/built_from" 2>/dev/null)" = "$stamp" ]; then
    echo "Modules of $rev ($commit) already built in $out"
    exit 0
fi
rm -f "$out/built_from"
# The headers the modules include, as they stood then.
rm -rf "$out/tree"
mkdir -p "$out/tree"
git -C "$src" archive "$commit" host lambertw | tar -x -C "$out/tree"
for module in "$@"; do
    git -C "$src" show "$commit:$module/$module.cpp" >"$out/${module}_base.cpp"
    (cd "$out" && CXXFLAGS="$flags" "$mkoctfile" --mex -Itree/host -Itree/lambertw \
        "${module}_base.cpp" -o "${module}_base.mex")
done
echo "$stamp" >"$out/built_from"
echo "Modules of $rev ($commit) built in $out: $*"

#!/bin/sh
# Makes the Octave package tarball that `pkg install` accepts, from the
# working tree (so uncommitted edits are packaged too):
#   scripts/octave-package.sh OUTDIR
# prints the tarball's path. The name and version come from package/DESCRIPTION.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
outdir=$1
name=$(sed -n 's/^Name: *//p' "$root/package/DESCRIPTION")
version=$(sed -n 's/^Version: *//p' "$root/package/DESCRIPTION")
modules="groupshrinkmt obsexpscale termdecay slopemapmt pglikmt pgproxmt"

mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top="$stage/$name-$version"
mkdir -p "$top/src/help" "$top/inst"

cp "$root/package/DESCRIPTION" "$root/package/INDEX" "$root/COPYING" "$top/"
cp "$root/package/Makefile" "$root"/host/*.h "$root"/pgkernel/*.h \
    "$root/lambertw/LambertW.h" "$root/lambertw/LambertW.cpp" "$top/src/"
for module in $modules; do
    cp "$root/$module/$module.cpp" "$top/src/"
    cp "$root/$module/$module.m" "$top/src/help/"
done
cp "$root/examples/restore_demo.m" "$root/examples/likelihood_series.m" "$top/inst/"

tarball="$outdir/$name-$version.tar.gz"
# Fixed owner and times keep the tarball the same for the same sources.
tar -C "$stage" --owner=0 --group=0 --numeric-owner --mtime=@0 --sort=name \
    -czf "$tarball" "$name-$version"
echo "$tarball"

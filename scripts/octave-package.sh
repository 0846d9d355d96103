#!/bin/sh
# Makes the Octave package tarball that `pkg install` accepts, from the
# working tree (so uncommitted edits are packaged too):
#   scripts/octave-package.sh OUTDIR
# prints the tarball's path. The name and version come from package/DESCRIPTION.
# src/ holds the modules of toolbox.txt as the source root does (NAME/NAME.cpp and
# NAME/NAME.m, the extra sources, the include folders' headers) with toolbox.txt itself,
# so that package/Makefile compiles each with the same command as a user there;
# inst/ holds the plain M-code functions and the demo.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
outdir=$1
list() { "$root/scripts/toolbox-list.sh" "$root/toolbox.txt" "$@"; }
name=$(sed -n 's/^Name: *//p' "$root/package/DESCRIPTION")
version=$(sed -n 's/^Version: *//p' "$root/package/DESCRIPTION")
modules=$(list modules)
functions=$(list functions)
includes=$(list includes)

mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top="$stage/$name-$version"
mkdir -p "$top/src" "$top/inst"

# Copies FILE, a path from the source root, to the same path under DIR.
place() {
    mkdir -p "$1/$(dirname "$2")"
    cp "$root/$2" "$1/$2"
}

cp "$root/package/DESCRIPTION" "$root/COPYING" "$top/"
cp "$root/package/Makefile" "$root/toolbox.txt" "$root/scripts/toolbox-list.sh" "$top/src/"
for folder in $includes; do
    for header in "$root/$folder"/*.h; do
        [ -f "$header" ] && place "$top/src" "$folder/$(basename "$header")"
    done
done
for module in $modules; do
    for source in $(list sources "$module"); do
        place "$top/src" "$source"
    done
    place "$top/src" "$module/$module.m"
done
for function in $functions; do
    cp "$root/$function/$function.m" "$top/inst/"
done
cp "$root/examples/restore_demo.m" "$root/examples/likelihood_series.m" "$top/inst/"
# The demo's photograph, with its source and licence.
mkdir -p "$top/inst/images"
cp "$root/examples/images/camera.png" "$root/examples/images/README.md" "$top/inst/images/"

# The INDEX's categories are chosen by hand; a listed function that none names yet is
# still shown by pkg describe, under a category of its own.
cp "$root/package/INDEX" "$top/INDEX"
unindexed=""
for function in $modules $functions; do
    grep -qx " $function" "$root/package/INDEX" || unindexed="$unindexed $function"
done
if [ -n "$unindexed" ]; then
    echo "Other functions" >>"$top/INDEX"
    for function in $unindexed; do
        echo " $function" >>"$top/INDEX"
    done
fi

tarball="$outdir/$name-$version.tar.gz"
# Fixed owner and times keep the tarball the same for the same sources.
tar -C "$stage" --owner=0 --group=0 --numeric-owner --mtime=@0 --sort=name \
    -czf "$tarball" "$name-$version"
echo "$tarball"

#!/bin/sh
# Makes the Octave package from the working tree and installs, loads and calls
# it in a fresh octave-cli whose home, prefixes and package lists all lie in
# a temporary folder, removed afterwards.
#   tests/package_test.sh SOURCE_ROOT
set -eu
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tarball=$("$root/scripts/octave-package.sh" "$work/dist")
mkdir "$work/home"
HOME="$work/home" octave-cli --norc --no-history --no-window-system \
    "$root/tests/octave/package_test.m" "$tarball" "$work" "$root"

#!/bin/sh
# cmake --install into a temporary prefix must give exactly the toolbox
# folder, every module and function of toolbox.txt there, and there help must
# show each one's text, in Octave.
#   tests/install_test.sh BUILD_DIR SOURCE_ROOT
set -eu
build=$1
root=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work" >/dev/null

list() { "$root/scripts/toolbox-list.sh" "$root/toolbox.txt" "$@"; }
modules=$(list modules)
functions=$(list functions)
[ -n "$modules" ] || { echo "FAIL no modules in $root/toolbox.txt" >&2; exit 1; }
expected="COPYING build_mex.m images likelihood_series.m restore_demo.m"
for module in $modules; do
    expected="$expected $module.m $module.mex $module.mexa64"
done
for function in $functions; do
    expected="$expected $function.m"
done
expected=$(printf '%s\n' $expected | sort | tr '\n' ' ')
actual=$(ls "$work/pgmex" | sort | tr '\n' ' ')
if [ "$actual" != "$expected" ]; then
    echo "FAIL installed: $actual" >&2
    echo "     expected:  $expected" >&2
    exit 1
fi
HOME="$work" octave-cli --norc --no-history --no-window-system \
    "$root/tests/octave/help_test.m" "$work/pgmex" "$root"

#!/bin/sh
# The MATLAB_ROOT branch of the build, against a stand-in MATLAB root: the
# stand-in host's mex.h and libraries laid out where FindMatlab looks, with a
# VersionInfo.xml and a mexext script. Configures a separate build with it
# (and with any further CMake arguments given), builds every module of
# toolbox.txt through matlab_add_mex, checks what each exports and needs, and
# that cmake --install would take these files.
#   tests/matlab_build_test.sh SOURCE_ROOT STANDIN_LIB_DIR [CMAKE_ARG...]
set -eu
root=$1
libs=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
matlab="$work/matlab"
mkdir -p "$matlab/extern/include" "$matlab/extern/lib/glnxa64" "$matlab/bin/glnxa64"
cp "$root/standin/mex.h" "$matlab/extern/include/"
cp "$root/host/mexFunction.map" "$matlab/extern/lib/glnxa64/"
cp "$libs/libmx.so" "$libs/libmex.so" "$matlab/bin/glnxa64/"
echo '<version>9.3.0.713579</version>' >"$matlab/VersionInfo.xml"
printf '#!/bin/sh\necho mexa64\n' >"$matlab/bin/mexext"
chmod +x "$matlab/bin/mexext"

build="$work/build"
cmake -S "$root" -B "$build" -DMATLAB_ROOT="$matlab" -DREQUIRE_OCTAVE=OFF "$@" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 1; }
modules=$("$root/scripts/toolbox-list.sh" "$root/toolbox.txt" modules)
[ -n "$modules" ] || { echo "no modules in $root/toolbox.txt"; exit 1; }
for module in $modules; do
    cmake --build "$build" --target "${module}_matlab" >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; exit 1; }
    "$root/tests/check_exports.sh" "$build/matlab/$module.mexa64"
    grep -q "\"$build/matlab/$module.mexa64\"" "$build/cmake_install.cmake" ||
        { echo "cmake --install does not take $build/matlab/$module.mexa64"; exit 1; }
done

#!/bin/sh
# What a build type and a user's flags give on the compile lines, each case in a build
# configured apart (nothing compiled): the user's flags kept, the bit-exactness flags after
# them on a module, its extra source, the stand-in host, lambertw and a test, -Werror only when
# asked for (mkoctfile's flags too), and never an instruction-set flag.
#   tests/cmake_flags_test.sh SOURCE_ROOT
set -eu
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL $name: $*" >&2
    failures=$((failures + 1))
}

# Whether the words of $2 all appear in $1, in that order.
in_order() {
    echo "$1" | awk -v want="$2" '{
        n = split(want, w, " "); k = 1
        for (i = 1; i <= NF && k <= n; i++) if ($i == w[k]) k++
        exit k <= n
    }'
}

# The last optimization level among the words of $1: the one the compiler takes.
level() {
    echo "$1" | tr ' ' '\n' | grep -E '^-O' | tail -n 1
}

# The compile commands of the sources that every case looks at, one a line.
commands() {
    for source in termdecay/termdecay.cpp lambertw/LambertW.cpp standin/mx.cpp \
        tests/termdecay_test.cpp; do
        awk -v file="\"$root/$source\"" '
            /"command":/ { command = $0 }
            /"file":/ && index($0, file) { sub(/^ *"command": "/, "", command); print command }
        ' "$build/compile_commands.json"
    done
}

# check NAME BUILD_TYPE CXX_FLAGS WERROR COVERAGE COMPILE_IN_ORDER MKOCTFILE_FLAGS
check() {
    name=$1
    build="$work/$name"
    cmake -S "$root" -B "$build" -DREQUIRE_OCTAVE=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
        ${2:+-DCMAKE_BUILD_TYPE=$2} "-DCMAKE_CXX_FLAGS=$3" -DPGMEX_WERROR="$4" \
        -DCOVERAGE="$5" >"$build.log" 2>&1 || {
        fail "does not configure: $(cat "$build.log")"
        return
    }
    lines=$(commands)
    [ "$(echo "$lines" | wc -l)" -ge 5 ] || fail "found only these compile commands: $lines"
    echo "$lines" | while IFS= read -r command; do
        in_order "$command" "$6" || echo "$command lacks, in this order: $6"
        [ "$(level "$command")" = "$(level "$6")" ] || echo "$command is not at $(level "$6")"
        case " $command " in *" -m"[a-z]*) echo "$command has an instruction-set flag" ;; esac
        case "$4 $command " in OFF*" -Werror "*) echo "$command has -Werror unasked" ;; esac
    done >"$build.faults"
    [ -s "$build.faults" ] && fail "$(cat "$build.faults")"
    # The flags that the user's -ffast-math would otherwise leave on, as the compiler sees them.
    module=$(echo "$lines" | head -n 1 | sed 's/ -o .*//')
    if $module -x c++ -dM -E /dev/null | grep -q __FAST_MATH__; then
        fail "fast math still on for: $module"
    fi
    grep -q -- '-fno-fast-math' "$build/CMakeFiles/termdecay.dir/link.txt" ||
        fail "termdecay links without -fno-fast-math"
    mkoctfile_rule="$build/CMakeFiles/termdecay_octave.dir/build.make"
    if [ -f "$mkoctfile_rule" ]; then
        flags=$(sed -n 's/.*"CXXFLAGS=\([^"]*\)".*/\1/p' "$mkoctfile_rule")
        [ "$flags" = "$7" ] || fail "mkoctfile compiles with \"$flags\", not \"$7\""
    else
        echo "$name: no mkoctfile, its flags not checked"
    fi
    echo "$name: checked"
}

# name, build type (none: the default), CMAKE_CXX_FLAGS, PGMEX_WERROR, COVERAGE, flags that every
# compile line has in this order, mkoctfile's flags
check default "" "" OFF OFF \
    "-O3 -DNDEBUG -ffp-contract=off -fno-fast-math -Wall -Wextra" \
    "-O2 -ffp-contract=off -std=c++17 -Wall -Wextra"
check debug-fast-math Debug "-ffast-math -ffp-contract=fast -DUSER_FLAG" ON OFF \
    "-ffast-math -ffp-contract=fast -DUSER_FLAG -g -ffp-contract=off -fno-fast-math -Werror" \
    "-O2 -ffp-contract=off -std=c++17 -Wall -Wextra -Werror"
check coverage RelWithDebInfo "-DUSER_FLAG" OFF ON \
    "-DUSER_FLAG -O2 -g -DNDEBUG -ffp-contract=off -fno-fast-math --coverage -O0" \
    "-O2 -ffp-contract=off -std=c++17 -Wall -Wextra"

# -Ofast brings startup code that flushes subnormals whatever flag follows it.
name=ofast
if cmake -S "$root" -B "$work/ofast" -DREQUIRE_OCTAVE=OFF -DCMAKE_CXX_FLAGS=-Ofast \
    >"$work/ofast.log" 2>&1; then
    fail "configures"
fi
grep -q -- "-Ofast would change" "$work/ofast.log" || fail "$(cat "$work/ofast.log")"

[ "$failures" -eq 0 ] || exit 1
echo "cmake flags: every case as expected"

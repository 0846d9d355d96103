#!/bin/sh
# toolbox.txt is the truth about the tree: every NAME/NAME.cpp of the source root is a listed
# module and every other NAME/NAME.m a listed function; each listed one has its files and
# suites. The three readers of the list (scripts/toolbox-list.sh, cmake/ToolboxList.cmake,
# build_mex.m) read it alike, and each refuses the entries it cannot read.
#   tests/toolbox_list_test.sh SOURCE_ROOT
set -eu
root=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL $*" >&2
    failures=$((failures + 1))
}
list() { "$root/scripts/toolbox-list.sh" "$root/toolbox.txt" "$@"; }
modules=$(list modules)
functions=$(list functions)
[ -n "$modules" ] || fail "toolbox.txt lists no module"

for file in "$root"/*/*.cpp "$root"/*/*.m; do
    folder=$(basename "$(dirname "$file")")
    name=$(basename "$file" | sed 's/\.[a-z]*$//')
    [ "$folder" = "$name" ] || continue
    if echo "$modules" | grep -qx "$name"; then
        continue
    elif [ -f "$root/$name/$name.cpp" ]; then
        fail "$name/$name.cpp is in the tree, not in toolbox.txt"
    elif ! echo "$functions" | grep -qx "$name"; then
        fail "$name/$name.m is in the tree, not in toolbox.txt"
    fi
done
for module in $modules; do
    for file in $(list sources "$module") "$module/$module.m" "tests/${module}_test.cpp" \
        "tests/octave/${module}_tests.m"; do
        [ -f "$root/$file" ] || fail "$module: no $file"
    done
done
for function in $functions; do
    [ -f "$root/$function/$function.m" ] || fail "$function: no $function/$function.m"
done

# A tree of the list's own: toolbox.txt from the text given (printf escapes), the CMake reader,
# a project that writes out what that reader made of the list, and build_mex.m.
tree() {
    mkdir -p "$1/cmake"
    printf "$2" >"$1/toolbox.txt"
    cp "$root/cmake/ToolboxList.cmake" "$1/cmake/"
    cp "$root/build_mex.m" "$1/"
    cat >"$1/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.18)
project(list_reader NONE)
include(cmake/ToolboxList.cmake)
set(out ${CMAKE_BINARY_DIR}/read.txt)
file(WRITE ${out} "")
foreach(module ${TOOLBOX_MODULES})
    list(JOIN TOOLBOX_SOURCES_${module} " " sources)
    file(APPEND ${out} "${module}: ${sources}\n")
endforeach()
foreach(name FUNCTIONS INCLUDE_DIRS FLAGS)
    list(JOIN TOOLBOX_${name} " " words)
    file(APPEND ${out} "${name}: ${words}\n")
endforeach()
EOF
}

# The list itself, as the CMake reader and the shell one read it.
tree "$work/real" "$(sed 's/%/%%/g; s/\\/\\\\/g' "$root/toolbox.txt")"
cmake -S "$work/real" -B "$work/real/build" >"$work/real.log" 2>&1 ||
    { cat "$work/real.log"; fail "the CMake reader refuses toolbox.txt"; }
{
    for module in $modules; do
        echo "$module: $(list sources "$module" | tr '\n' ' ' | sed 's/ $//')"
    done
    echo "FUNCTIONS: $(echo $functions)"
    echo "INCLUDE_DIRS: $(list includes | sed "s|^|$work/real/|" | tr '\n' ' ' | sed 's/ $//')"
    echo "FLAGS: $(list flags)"
} >"$work/sh.txt"
diff "$work/sh.txt" "$work/real/build/read.txt" >"$work/diff.txt" ||
    fail "the shell and CMake readers differ (< shell, > CMake): $(cat "$work/diff.txt")"

# toolbox.txt's entries, and which readers must refuse them; the ones all refuse are entries
# that none can read. The flags keep -ffp-contract=off, and only the narrower builds that
# exist can be built; those two CMake alone checks, as every build configures it first.
head="include host\nflags -O2 -ffp-contract=off -std=c++17\n"
n=0
while IFS='|' read -r readers entries; do
    n=$((n + 1))
    tree "$work/$n" "$entries"
    case $readers in *sh*) expect=refuse ;; *) expect=read ;; esac
    got=read
    "$root/scripts/toolbox-list.sh" "$work/$n/toolbox.txt" modules >/dev/null 2>&1 || got=refuse
    [ "$got" = "$expect" ] || fail "scripts/toolbox-list.sh: $got \"$entries\""
    case $readers in *cmake*) expect=refuse ;; *) expect=read ;; esac
    got=read
    cmake -S "$work/$n" -B "$work/$n/build" >/dev/null 2>&1 || got=refuse
    [ "$got" = "$expect" ] || fail "cmake/ToolboxList.cmake: $got \"$entries\""
    case $readers in *matlab*) echo "$work/$n" >>"$work/matlab-refuses" ;;
    *) echo "$work/$n" >>"$work/matlab-reads" ;; esac
done <<EOF
sh cmake matlab|${head}module\n
sh cmake matlab|${head}module a NARROWR scalar\n
sh cmake matlab|${head}modul a\n
sh cmake matlab|${head}module a\nmodule a\n
sh cmake matlab|${head}function\n
sh cmake matlab|${head}include\n
sh cmake matlab|${head}module a\nfunction a\n
sh cmake matlab|${head}function b\nfunction b\n
cmake|include host\nflags -O2 -std=c++17\nmodule a\n
cmake|${head}module a NARROWER avx512\n
cmake|${head}flags -mavx2\nmodule a\n
|${head}# module b\n\nmodule a SOURCES lambertw/LambertW.cpp NARROWER scalar avx2\nfunction b c\n
EOF

# build_mex reads its list before any work: an entry it cannot read stops it before the
# output folder is made, and a list it reads goes on to compiling (here, sources that are not
# there).
if command -v octave-cli >/dev/null 2>&1; then
    (cd "$work" && octave-cli --norc --no-history --no-window-system --eval "
outcomes = {'refuses', 'reads'};
failed = 0;
for o = 1:2
    file = fullfile('$work', ['matlab-' outcomes{o}]);
    if ~exist(file, 'file')
        continue;
    end
    trees = regexp(strtrim(fileread(file)), '\n', 'split');
    for t = 1:numel(trees)
        addpath(trees{t});
        if ~strcmp(which('build_mex'), fullfile(trees{t}, 'build_mex.m'))
            error('build_mex resolves to %s', which('build_mex'));
        end
        try
            build_mex(fullfile(trees{t}, 'out'));
            id = '';
        catch err
            id = err.identifier;
        end
        rmpath(trees{t});
        clear build_mex;
        refused = strcmp(id, 'pgmex:build_mex:invalidList');
        compiled = strcmp(id, 'pgmex:build_mex:compileFailed');
        made = exist(fullfile(trees{t}, 'out'), 'dir') ~= 0;
        if (o == 1 && (~refused || made)) || (o == 2 && ~compiled)
            fprintf('FAIL build_mex.m: %s (%s) %s\n', outcomes{3 - o}, id, ...
                    fileread(fullfile(trees{t}, 'toolbox.txt')));
            failed = failed + 1;
        end
    end
end
exit(failed > 0);
" 2>"$work/octave.log") || { cat "$work/octave.log"; failures=$((failures + 1)); }
else
    echo "no octave-cli: how build_mex.m reads the list is not checked"
fi

[ "$failures" -eq 0 ] || exit 1
echo "toolbox.txt: $(echo $modules | wc -w) modules and $(echo $functions | wc -w) functions," \
    "each there and read alike; $n lists read or refused as expected"

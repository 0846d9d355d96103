#!/bin/bash
# Every case of barrage_cases.txt in a child octave-cli of its own, two at a
# time, so that a case that kills the host is caught and named:
#   tests/octave/barrage.sh MEX_DIR [CASES]
# A case passes when its process exits normally and barrage_case.m printed
# PASS: the call raised exactly the expected component:NAME:mnemonic error
# with a message, or returned the expected bits.
set -u
here=$(cd "$(dirname "$0")" && pwd)
mexdir=$1
cases=${2:-$here/barrage_cases.txt}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

runCase() {
    octave-cli --norc --no-history --no-window-system "$here/barrage_case.m" \
        "$mexdir" "$2" "$3" >"$work/$1.out" 2>&1
    echo $? >"$work/$1.status"
}

expected=()
calls=()
while IFS= read -r line; do
    case $line in '#'* | '') continue ;; esac
    expected+=("$(echo "${line%%|*}" | sed 's/^ *//; s/ *$//')")
    calls+=("$(echo "${line#*|}" | sed 's/^ *//; s/ *$//')")
done <"$cases"

running=0
for i in "${!calls[@]}"; do
    runCase "$i" "${expected[$i]}" "${calls[$i]}" &
    running=$((running + 1))
    if [ "$running" -ge 2 ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

passed=0
failed=0
for i in "${!calls[@]}"; do
    status=$(cat "$work/$i.status")
    if [ "$status" -gt 128 ]; then
        verdict="CRASH: killed by signal $((status - 128))"
    elif [ "$status" -ne 0 ]; then
        verdict="FAIL: octave-cli exited with $status"
    else
        verdict=$(grep -E '^(PASS|FAIL)' "$work/$i.out" | tail -n 1)
        verdict=${verdict:-"FAIL: no verdict"}
    fi
    if [ "$verdict" = PASS ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "${calls[$i]}"
        echo "  expected ${expected[$i]}: $verdict"
        sed 's/^/  | /' "$work/$i.out" | tail -n 5
    fi
done
echo "barrage: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]

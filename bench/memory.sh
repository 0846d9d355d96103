#!/bin/sh
# Peak memory and growth of the modules through the stand-in host, one process per call size.
#   bench/memory.sh PROBE            slopemapmt from N = 1e2 to 1e8: time per call and element
#                                    (median and range of the warm calls), minor page faults of
#                                    the first call and per later call, peak resident size from
#                                    /usr/bin/time -v
#   bench/memory.sh PROBE check      each module at N = 1e7: fails when a call holds more than
#                                    kSlackMiB beyond its inputs and output (an extra copy)
# Extra memory of a call = peak - peak of a one-element call of the same module (the process
# itself) - bytes of the inputs and the output. The probe keeps freed memory for reuse, which
# takes first-touch faults out of the times but not out of the peak: a copy made and freed in a
# call has had its pages touched, and they count.
set -eu
probe=$1
slackMiB=4

field() { # NAME, from the probe's one-line report in $out
    awk -v name="$1" '{ for (i = 1; i < NF; i += 2) if ($i == name) print $(i + 1) }' "$out"
}

tmp=$(mktemp)
out=$(mktemp)
trap 'rm -f "$tmp" "$out"' EXIT

if [ "${2:-}" = check ]; then
    status=0
    for module in slopemapmt obsexpscale termdecay groupshrinkmt pglikmt pgproxmt; do
        "$probe" "$module" 1 >"$out"
        base=$(field peak_kib)
        "$probe" "$module" 10000000 >"$out"
        extra=$(awk -v p="$(field peak_kib)" -v b="$base" -v io="$(field io_bytes)" \
            'BEGIN { printf "%.1f", (p - b) / 1024 - io / 1048576 }')
        echo "$module N = 1e7: $extra MiB beyond inputs and output (at most $slackMiB allowed)"
        if awk -v e="$extra" -v s="$slackMiB" 'BEGIN { exit !(e > s) }'; then
            status=1
        fi
    done
    exit $status
fi

[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
peakKiB() {
    /usr/bin/time -v "$@" 2>"$tmp" >"$out"
    sed -n 's/.*Maximum resident set size (kbytes): //p' "$tmp"
}

base=$(peakKiB "$probe" slopemapmt 1 1)
echo "slopemapmt through the stand-in host; peak resident size of a one-element call: $base KiB"
echo
echo "| N | calls | ms per call, median (min–max) | ns per element | first call ms | first call minflt | minflt per later call | inputs + output MiB | peak MiB (time -v) | extra MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for n in 100 1000 10000 100000 1000000 10000000 100000000; do
    # Enough calls for a steady median at small sizes, and never fewer than six: the first call
    # maps the pages that the later ones reuse, so it is reported apart, and at least five
    # warm calls give the range.
    repeats=$((20000000 / n))
    [ "$repeats" -gt 1001 ] && repeats=1001
    [ "$repeats" -lt 6 ] && repeats=6
    peak=$(peakKiB "$probe" slopemapmt "$n" "$repeats")
    awk -v n="$n" -v r="$repeats" -v ns="$(field median_ns)" -v lo="$(field min_ns)" \
        -v hi="$(field max_ns)" -v per="$(field ns_per_element)" -v first="$(field first_ns)" \
        -v firstFaults="$(field first_minflt)" -v faults="$(field minflt_per_call)" \
        -v io="$(field io_bytes)" -v peak="$peak" -v base="$base" 'BEGIN {
        printf "| %d | %d | %.4f (%.4f–%.4f) | %.3f | %.4f | %d | %.1f | %.1f | %.1f | %.1f |\n",
            n, r, ns / 1e6, lo / 1e6, hi / 1e6, per, first / 1e6, firstFaults, faults,
            io / 1048576, peak / 1024, (peak - base) / 1024 - io / 1048576 }'
done

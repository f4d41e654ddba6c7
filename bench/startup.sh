#!/usr/bin/env bash
# Start-up benchmark: the kiosk (build/orvanta --quit-when-shown) against a bare Qt Widgets
# program that shows one 1024x768 label (build/bench/bench_bare_label). Each run lasts from
# process start until the first paint of the window and the program's own end. Prints the
# median wall time and the median peak resident memory (VmHWM) of RUNS runs of each, taken
# in turns, and their ratios against the goals (time <= 1.3x, memory <= 1.4x).
#
# Usage: bench/startup.sh [BUILD_DIR]   (default build/; RUNS=N to change the count)
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
RUNS="${RUNS:-11}"
KIOSK="$BUILD/orvanta"
BARE="$BUILD/bench/bench_bare_label"
export QT_QPA_PLATFORM=offscreen

for program in "$KIOSK" "$BARE"; do
    [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 1; }
done
if [ ! -f "$BUILD/config.ini" ]; then
    # The kiosk reads its link settings at start-up; nothing is contacted.
    printf '127.0.0.1\n50001\n.\n' >"$BUILD/config.ini"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One run: appends "microseconds kilobytes" to the named file.
measure() {
    local out="$1"
    shift
    local start end
    start=$(date +%s%N)
    if ! /usr/bin/time -f %M -o "$work/rss" timeout 30 "$@" >/dev/null 2>"$work/stderr"; then
        echo "run failed: $* (another kiosk running? see below)" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$work/rss")" >>"$out"
}

median() { # column file
    sort -n -k"$1" "$2" | awk -v c="$1" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

# One run of each first, to fill the page cache; not counted.
measure "$work/warmup" "$BARE"
measure "$work/warmup" "$KIOSK" --quit-when-shown
for _ in $(seq "$RUNS"); do
    measure "$work/bare" "$BARE"
    measure "$work/kiosk" "$KIOSK" --quit-when-shown
done

bare_us=$(median 1 "$work/bare")
kiosk_us=$(median 1 "$work/kiosk")
bare_kb=$(median 2 "$work/bare")
kiosk_kb=$(median 2 "$work/kiosk")

awk -v bt="$bare_us" -v kt="$kiosk_us" -v bm="$bare_kb" -v km="$kiosk_kb" -v runs="$RUNS" 'BEGIN {
    tr = kt / bt; mr = km / bm
    printf "Start-up until shown and ended, median of %d runs (QT_QPA_PLATFORM=offscreen)\n", runs
    printf "%-22s %12s %16s\n", "", "time", "peak memory"
    printf "%-22s %9.1f ms %13.1f MB\n", "bare 1024x768 label", bt / 1000, bm / 1024
    printf "%-22s %9.1f ms %13.1f MB\n", "orvanta", kt / 1000, km / 1024
    printf "%-22s %11.2fx %15.2fx\n", "ratio", tr, mr
    printf "%-22s %12s %16s\n", "goal", "<= 1.30x", "<= 1.40x"
    printf "%-22s %12s %16s\n", "", (tr <= 1.3 ? "met" : "MISSED"), (mr <= 1.4 ? "met" : "MISSED")
}'

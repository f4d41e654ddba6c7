#!/usr/bin/env bash
# Start-up benchmark: the kiosk (build/orvanta --quit-when-shown) against a bare Qt Widgets
# program that shows one 1024x768 label (build/bench/bench_bare_label), once with a word in
# it and once with the main screen's background picture, which the kiosk must decode too. Each run lasts from
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

PICTURE="$ROOT/layouts/pictures/main_background.jpg"

# One run of each first, to fill the page cache; not counted.
measure "$work/warmup" "$BARE"
measure "$work/warmup" "$BARE" "$PICTURE"
measure "$work/warmup" "$KIOSK" --quit-when-shown
for _ in $(seq "$RUNS"); do
    measure "$work/bare" "$BARE"
    measure "$work/picture" "$BARE" "$PICTURE"
    measure "$work/kiosk" "$KIOSK" --quit-when-shown
done

awk -v runs="$RUNS" \
    -v bt="$(median 1 "$work/bare")" -v bm="$(median 2 "$work/bare")" \
    -v pt="$(median 1 "$work/picture")" -v pm="$(median 2 "$work/picture")" \
    -v kt="$(median 1 "$work/kiosk")" -v km="$(median 2 "$work/kiosk")" '
function row(name, t, m) { printf "%-34s %9.1f ms %13.1f MB\n", name, t / 1000, m / 1024 }
function ratio(name, t, m) {
    printf "%-34s %11.2fx %15.2fx   %s / %s\n", name, kt / t, km / m,
        (kt / t <= 1.3 ? "met" : "MISSED"), (km / m <= 1.4 ? "met" : "MISSED")
}
BEGIN {
    printf "Start-up until shown and ended, median of %d runs (QT_QPA_PLATFORM=offscreen)\n", runs
    printf "%-34s %12s %16s\n", "", "time", "peak memory"
    row("bare 1024x768 label, a word", bt, bm)
    row("bare 1024x768 label, the picture", pt, pm)
    row("orvanta", kt, km)
    printf "goal: at most 1.30x the time and 1.40x the memory\n"
    ratio("orvanta / bare label, a word", bt, bm)
    ratio("orvanta / bare label, the picture", pt, pm)
}'

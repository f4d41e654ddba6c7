#!/usr/bin/env bash
# Start-up benchmark: the kiosk (build/orvanta --quit-when-shown) against a bare Qt Widgets
# program that shows one 1024x768 label (build/bench/bench_bare_label), once with a word in
# it and once with the main screen's background picture, which the kiosk must decode too.
# Each run lasts from process start until the first paint of the window and the program's
# own end. Prints the median wall time, the median CPU time (user + system) and the median
# peak resident memory (VmHWM) of RUNS runs of each, taken in turns, and the kiosk's ratios
# against the goals (time <= 1.2x, memory <= 1.4x the bare label with the picture).
#
# It runs on Qt's offscreen platform and on the X11 (xcb) platform, the latter on a
# virtual X display of its own (Xvfb, SCREEN=WxH, default 1024x768).
#
# With INSTRUCTIONS=1 it also counts the instructions of one run of each under callgrind
# (valgrind), a figure that does not move with the machine's load.
#
# Usage: bench/startup.sh [BUILD_DIR]   (default build/; RUNS=N to change the count,
#        PLATFORMS="offscreen xcb" to choose, XVFB_DISPLAY=N the first display number
#        to try, default 99)
# A kiosk that already runs on this machine holds the single-instance guard: stop it first.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
RUNS="${RUNS:-21}"
PLATFORMS="${PLATFORMS:-offscreen xcb}"
SCREEN="${SCREEN:-1024x768}"
KIOSK="$BUILD/orvanta"
BARE="$BUILD/bench/bench_bare_label"

for program in "$KIOSK" "$BARE"; do
    [ -x "$program" ] || { echo "missing $program: build first" >&2; exit 1; }
done
if [ ! -f "$BUILD/config.ini" ]; then
    # The kiosk reads its link settings at start-up; nothing is contacted.
    printf '127.0.0.1\n50001\n.\n' >"$BUILD/config.ini"
fi

work="$(mktemp -d)"
xvfb=""
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# One run: appends "microseconds kilobytes cpu-milliseconds" to the named file.
measure() {
    local out="$1"
    shift
    local start end
    start=$(date +%s%N)
    if ! /usr/bin/time -f '%M %U %S' -o "$work/rss" timeout 30 "$@" >/dev/null 2>"$work/stderr"; then
        echo "run failed: $* (another kiosk running? see below)" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -n 1 "$work/rss" | awk '{ printf "%d %.0f", $1, ($2 + $3) * 1000 }')" >>"$out"
}

# Instructions of the program's own process (not of the helpers it starts), in millions.
instructions() {
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.%p" "$@" >/dev/null 2>"$work/callgrind.log" || true
    local pid
    pid=$(sed -n 's/^==\([0-9]*\)== Command:.*/\1/p' "$work/callgrind.log" | head -n 1)
    sed -n "s/^==$pid== Collected : \([0-9]*\)/\1/p" "$work/callgrind.log" | awk '{ printf "%.1f", $1 / 1e6 }'
}

median() { # column file
    sort -n -k"$1" "$2" | awk -v c="$1" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

start_xvfb() {
    command -v Xvfb >/dev/null || { echo "Xvfb is missing (package xvfb)" >&2; return 1; }
    local display="${XVFB_DISPLAY:-99}"
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 "${SCREEN}x24" -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 50); do
        [ -e "/tmp/.X11-unix/X$display" ] && break
        sleep 0.1
    done
    export DISPLAY=":$display"
}

PICTURE="$ROOT/layouts/pictures/main_background.jpg"

for platform in $PLATFORMS; do
    rm -f "$work/bare" "$work/picture" "$work/kiosk"
    export QT_QPA_PLATFORM="$platform"
    where="$platform"
    if [ "$platform" = xcb ]; then
        start_xvfb || continue
        where="xcb on Xvfb $SCREEN"
    fi

    # One run of each first, to fill the page cache; not counted.
    measure "$work/warmup" "$BARE"
    measure "$work/warmup" "$BARE" "$PICTURE"
    measure "$work/warmup" "$KIOSK" --quit-when-shown
    for _ in $(seq "$RUNS"); do
        measure "$work/bare" "$BARE"
        measure "$work/picture" "$BARE" "$PICTURE"
        measure "$work/kiosk" "$KIOSK" --quit-when-shown
    done

    awk -v runs="$RUNS" -v where="$where" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" \
        -v bt="$(median 1 "$work/bare")" -v bm="$(median 2 "$work/bare")" -v bc="$(median 3 "$work/bare")" \
        -v pt="$(median 1 "$work/picture")" -v pm="$(median 2 "$work/picture")" -v pc="$(median 3 "$work/picture")" \
        -v kt="$(median 1 "$work/kiosk")" -v km="$(median 2 "$work/kiosk")" -v kc="$(median 3 "$work/kiosk")" '
    function row(name, t, c, m) {
        printf "%-34s %9.1f ms %9.0f ms %10.1f MB\n", name, t / 1000, c, m / 1024
    }
    function ratio(name, t, c, m) {
        printf "%-34s %11.2fx %11.2fx %12.2fx   %s / %s\n", name, kt / t, (c > 0 ? kc / c : 0),
            km / m, (kt / t <= 1.2 ? "met" : "MISSED"), (km / m <= 1.4 ? "met" : "MISSED")
    }
    BEGIN {
        printf "Start-up until shown and ended, median of %d runs (%s; load average %s)\n",
            runs, where, load
        printf "%-34s %12s %12s %13s\n", "", "wall time", "CPU time", "peak memory"
        row("bare 1024x768 label, a word", bt, bc, bm)
        row("bare 1024x768 label, the picture", pt, pc, pm)
        row("orvanta", kt, kc, km)
        printf "goal: at most 1.20x the wall time and 1.40x the memory of the bare label\n"
        ratio("orvanta / bare label, a word", bt, bc, bm)
        ratio("orvanta / bare label, the picture", pt, pc, pm)
        printf "\n"
    }'

    if [ "${INSTRUCTIONS:-0}" = 1 ] && command -v valgrind >/dev/null; then
        bi=$(instructions "$BARE")
        pi=$(instructions "$BARE" "$PICTURE")
        ki=$(instructions "$KIOSK" --quit-when-shown)
        awk -v bi="$bi" -v pi="$pi" -v ki="$ki" 'BEGIN {
            printf "instructions (callgrind): bare label, a word %.1f M; the picture %.1f M; orvanta %.1f M (%.2fx, %.2fx)\n\n",
                bi, pi, ki, ki / bi, ki / pi }'
    fi

    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null || true
        xvfb=""
    fi
done

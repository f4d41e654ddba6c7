#!/usr/bin/env bash
# Reaction benchmark: runs build/bench/bench_reaction on a virtual X display of its own
# (Xvfb, the xcb platform) and prints, for each reaction, the median, the maximum and the
# first of RUNS runs against the goal of one frame at 60 Hz (16 ms).
#
# Usage: bench/reaction.sh [BUILD_DIR] [-- bench_reaction options, e.g. --fit]
#        RUNS=N (default 100), SCREEN=WxH (default 1024x768; 1920x1080 with --fit),
#        XVFB_DISPLAY=N (the first display number to try, default 99)
# A kiosk that runs on this machine holds the single-instance guard, which a second copy
# respects; the benchmark does not take the guard, so it can run beside one.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build"
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
    BUILD="$(cd "$1" && pwd)"
    shift
fi
[ "${1:-}" = "--" ] && shift
BENCH="$BUILD/bench/bench_reaction"
[ -x "$BENCH" ] || { echo "missing $BENCH: build first (needs libxcb-xtest0-dev)" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "Xvfb is missing (package xvfb)" >&2; exit 1; }

screen="${SCREEN:-}"
if [ -z "$screen" ]; then
    screen=1024x768
    for arg in "$@"; do
        [ "$arg" = "--fit" ] && screen=1920x1080
    done
fi

display="${XVFB_DISPLAY:-99}"
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 "${screen}x24" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done

echo "screen ${screen}, load average: $(cut -d' ' -f1-3 /proc/loadavg)"
DISPLAY=":$display" "$BENCH" --runs "${RUNS:-100}" "$@"

#!/usr/bin/env bash
# Soak benchmark: the kiosk serves CYCLES customers (default 1000), vouchers and members
# cards in turns, against the simulated server with the countdown and pauses shortened
# (build/bench/bench_soak). Prints the resident memory every 100 cycles and the growth from
# cycle 100 to the last against the goal (< 2 MiB). Then runs LEAK_CYCLES customers
# (default 100) in a build made with -DORVANTA_SANITIZE=ON under LeakSanitizer and tells
# whether anything allocated by this project's code leaked; leaks that Qt or the system
# libraries keep until the end are counted apart (tests/sanitizers/lsan.supp, when present,
# suppresses the known ones).
#
# Usage: bench/soak.sh [BUILD_DIR] [SANITIZED_BUILD_DIR]
#   BUILD_DIR            plain build holding bench/bench_soak (default build/)
#   SANITIZED_BUILD_DIR  default build-soak-asan/; configured with -DORVANTA_SANITIZE=ON
#                        when it does not exist, and bench_soak (re)built there
# Exit status 0 when every cycle went right, the memory goal was met and nothing of ours
# leaked.
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
ASAN_BUILD="${2:-$ROOT/build-soak-asan}"
CYCLES="${CYCLES:-1000}"
LEAK_CYCLES="${LEAK_CYCLES:-100}"
export QT_QPA_PLATFORM=offscreen

SOAK="$BUILD/bench/bench_soak"
[ -x "$SOAK" ] || { echo "missing $SOAK: cmake --build $BUILD --target bench_soak" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0

echo "== Resident memory over $CYCLES customers (plain build)"
"$SOAK" --cycles "$CYCLES" --sample 100 || status=1

echo
echo "== LeakSanitizer over $LEAK_CYCLES customers (sanitized build)"
if [ ! -f "$ASAN_BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$ASAN_BUILD" -DORVANTA_SANITIZE=ON -DORVANTA_BENCH=ON >/dev/null ||
        exit 1
fi
if ! grep -q '^ORVANTA_SANITIZE:BOOL=ON' "$ASAN_BUILD/CMakeCache.txt"; then
    echo "$ASAN_BUILD is not a sanitized build (-DORVANTA_SANITIZE=ON)" >&2
    exit 1
fi
cmake --build "$ASAN_BUILD" --target bench_soak -j"$(nproc)" >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    exit 1
}

suppressions="$ROOT/tests/sanitizers/lsan.supp"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="print_suppressions=1"
if [ -f "$suppressions" ]; then
    LSAN_OPTIONS="$LSAN_OPTIONS:suppressions=$suppressions"
    echo "suppressions: $suppressions"
fi
sample=$((LEAK_CYCLES < 100 ? LEAK_CYCLES : 100))
# Resident memory means little under the sanitizer: no limit there.
"$ASAN_BUILD/bench/bench_soak" --cycles "$LEAK_CYCLES" --sample "$sample" \
    --limit-kib 1000000000 >"$work/out" 2>"$work/err"
run=$?
grep -E 'cycles in|^cycle ' "$work/out"
if ! grep -q ', 0 failed' "$work/out"; then
    echo "customer cycles failed under the sanitizer"
    status=1
fi
log="$ASAN_BUILD/soak-lsan.log"
cp "$work/err" "$log"

# A leak is ours when the first frame above the allocator lies in this checkout (sources
# or generated code); otherwise a library allocated it, perhaps on our behalf.
awk -v root="$ROOT/" '
    function close_block() {
        if (!inblock) return
        if (ours) { mine++; mine_bytes += bytes; printf "%s", text > "/dev/stderr" }
        else others++
        inblock = 0
    }
    /^(Direct|Indirect) leak of/ {
        close_block(); inblock = 1; decided = 0; ours = 0; bytes = $4; text = $0 "\n"; next
    }
    inblock && /^ *#[0-9]+ / {
        text = text $0 "\n"
        if (decided) next
        if ($0 ~ /libasan|libubsan|liblsan| in (operator new|malloc|calloc|realloc|strdup|__interceptor_)/)
            next
        decided = 1
        ours = index($0, root) > 0
        next
    }
    inblock && /^$/ { close_block() }
    END {
        close_block()
        printf "leaks allocated by our code: %d (%d bytes); by libraries: %d\n", mine, mine_bytes, others
    }' "$work/err" 2>"$work/ours" | tee "$work/verdict"

suppressed=$(grep -cE '^ *[0-9]+ +[0-9]+ +leak:' "$work/err" || true)
echo "suppressed leak kinds: $suppressed; full report: $log"
if grep -qE 'ERROR: AddressSanitizer|runtime error:' "$work/err"; then
    echo "sanitizer fault, see $log"
    status=1
elif [ -s "$work/ours" ]; then
    cat "$work/ours"
    echo "leak check: MISSED (leaks of ours above)"
    status=1
elif [ "$run" -ne 0 ] && ! grep -q 'ERROR: LeakSanitizer' "$work/err"; then
    echo "soak run failed (status $run)"
    status=1
else
    echo "leak check: met (nothing of ours leaked)"
fi
exit "$status"

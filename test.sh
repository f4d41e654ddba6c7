#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs the whole test suite headless.
# With --sanitize as the first argument it builds into build-asan/ with AddressSanitizer
# and UndefinedBehaviorSanitizer instead and runs the suite under them: any fault or leak
# fails the test it happens in. Further arguments go to ctest.
set -euo pipefail
source "$(dirname "$0")/tools/prepare.sh"

sanitize=()
if [ "${1:-}" = "--sanitize" ]; then
    shift
    ORVANTA_BUILD="$ORVANTA_ROOT/build-asan"
    # The benchmarks are never run by the suite, so the sanitized build leaves them out.
    sanitize=(-DORVANTA_SANITIZE=ON -DORVANTA_BENCH=OFF)
    source "$ORVANTA_ROOT/tests/sanitizers/options.sh"
fi

orvanta_install_missing
orvanta_build "${sanitize[@]}"
cd "$ORVANTA_BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure "$@"

#!/usr/bin/env bash
# Installs what is missing, builds into build/ and runs the whole test suite headless.
set -euo pipefail
source "$(dirname "$0")/tools/prepare.sh"

orvanta_install_missing
orvanta_build
cd "$ORVANTA_BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure "$@"

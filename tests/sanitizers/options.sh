#!/usr/bin/env bash
# Sourced by test.sh --sanitize (and by hand before running ctest or a test program in a
# build made with -DORVANTA_SANITIZE=ON): the sanitizer run-time settings, exported so that
# the programs the tests start (the kiosk, the simulated server) run under them too.
# The first fault ends the process with a report and a failing exit status; leaks are
# checked when each process ends.

ORVANTA_SANITIZER_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
export LSAN_OPTIONS="suppressions=$ORVANTA_SANITIZER_DIR/lsan.supp:print_suppressions=1"

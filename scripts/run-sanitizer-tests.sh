#!/usr/bin/env bash
# The suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# threaded tests under ThreadSanitizer, each in a build of its own (the
# asan-ubsan and tsan presets), beside the main build: BUILD-asan and
# BUILD-tsan. Every report fails the run. Each of the two runs ends, as every
# run of scripts/run-tests.sh does, with the tests that needed a second try.
# Usage: scripts/run-sanitizer-tests.sh [BUILD_DIR]   (default: build)
set -euo pipefail
build=$(realpath -m "${1:-build}")
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
supp="$root/tests/sanitizers"

cmake --preset asan-ubsan -B "$build-asan" >/dev/null
cmake --build "$build-asan" -j"$jobs"
ASAN_OPTIONS="detect_leaks=1" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    bash scripts/run-tests.sh "$build-asan"

# The threads that share state: audio, MIDI and GUI on the engine, the
# toolkit's cross-thread calls, and the MIDI service on JACK's thread. TSan
# reports the races these runs happen to hit (configure with
# -DONDRILUX_RACY_TEST=ON for tests that race on purpose and must fail here).
tsan_targets=(engine_tests toolkit_tests midi_tests)
cmake --preset tsan -B "$build-tsan" >/dev/null
cmake --build "$build-tsan" -j"$jobs" --target "${tsan_targets[@]}"
TSAN_OPTIONS="suppressions=$supp/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
    bash scripts/run-tests.sh "$build-tsan" -R '^(Threads\.|toolkit_tests$|midi\.)'

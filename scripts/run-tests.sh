#!/usr/bin/env bash
# Runs every test of a build against real parts: a private JACK server on the
# dummy driver (MIDI and audio) and a virtual X display, both stopped at exit.
# Usage: scripts/run-tests.sh [BUILD_DIR] [ctest arguments...]
set -euo pipefail
build=${1:-build}
shift || true
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "no test build in '$build': configure and build it first (make build)" >&2
    exit 2
fi
source "$here/test-services.sh"
start_test_services
# ctest shows a skipped test's output nowhere; say here why the tests of a
# desktop stack will skip.
for stack in pipewire pulseaudio wayland; do
    missing=$(desktop_stack_missing "$stack")
    [ -z "$missing" ] || echo "the $stack tests (stacks.$stack) will be skipped: $missing"
done
# One test at a time: the audio tests record in real time and share the JACK
# server and two cores with everything else.
# A test that records sound in real time can lose a buffer when the scheduler
# is late on a busy machine; a test that fails is run once more, and one that
# fails twice fails.
ctest --test-dir "$build" --output-on-failure --timeout 600 --repeat until-pass:2 "$@"

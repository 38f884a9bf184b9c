#!/usr/bin/env bash
# Runs every test of a build against real parts: a private JACK server on the
# dummy driver (MIDI and audio) and a virtual X display, both stopped at exit.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/test-services.sh"
start_test_services
ctest --test-dir "$build" --output-on-failure --timeout 600

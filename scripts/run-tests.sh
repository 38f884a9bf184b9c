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
# A test that fails is run once more, as a safety net, and one that fails
# twice fails. A test that passes only on its second try is a flake to mend,
# so every run ends by naming them.
failed_log="$build/Testing/Temporary/LastTestsFailed.log"
rm -f "$failed_log"
# The names in ctest's list of failed tests, without the parameter's bytes
# that GoogleTest appends.
failed_tests() {
    cut -d: -f2- "$failed_log" | sed 's/  # GetParam() = .*//'
}
# The tests do not inherit the slot's lock: a process a test leaves behind
# must not keep the JACK server's names from the next run.
run_ctest() {
    ctest --test-dir "$build" --output-on-failure --timeout 600 "$@" {_ondrilux_jack_lock}>&-
}
total=$(ctest --test-dir "$build" -N "$@" | sed -n 's/^Total Tests: //p')
status=0
run_ctest "$@" || status=$?
retried=()
[ "$status" -eq 0 ] || [ ! -s "$failed_log" ] || mapfile -t retried < <(failed_tests)
if [ "$status" -ne 0 ] && [ ${#retried[@]} -eq 0 ]; then
    # ctest itself failed, before or beside the tests.
    exit "$status"
fi
list() {
    local IFS=,
    if [ $# -eq 0 ]; then echo none; else echo "$*" | sed 's/,/, /g'; fi
}
twice=()
if [ ${#retried[@]} -gt 0 ]; then
    echo
    echo "Trying again, once: $(list "${retried[@]}")"
    if ! run_ctest "$@" --rerun-failed; then
        [ ! -s "$failed_log" ] || mapfile -t twice < <(failed_tests)
        # ctest failed without naming a test: none of the retried passed.
        [ ${#twice[@]} -gt 0 ] || twice=("${retried[@]}")
    fi
fi
# Those that passed on their second try; one that failed twice is named only
# as such.
second=()
for test in "${retried[@]}"; do
    printf '%s\n' "${twice[@]}" | grep -qxF -- "$test" || second+=("$test")
done
echo
echo "Tests that needed a second try: $(list "${second[@]}")"
[ ${#twice[@]} -eq 0 ] || echo "Tests that failed twice: $(list "${twice[@]}")"
# The closing line: the whole run, second tries included.
echo "$((total - ${#twice[@]})) passed, ${#twice[@]} failed"
[ ${#twice[@]} -eq 0 ]

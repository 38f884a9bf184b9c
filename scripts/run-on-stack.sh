#!/usr/bin/env bash
# Runs a command on a desktop stack started for it alone, then stops the stack.
# Usage: scripts/run-on-stack.sh pipewire|pulseaudio|wayland COMMAND [ARGS...]
# Exit status: the command's; 77 (one line saying why) when a package the
# stack needs is not installed; 1 when the stack did not come up. Needs the
# test services (scripts/run-tests.sh) for the JACK server and X display that
# the PulseAudio and Wayland tests still use.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stack=$1
shift
source "$here/test-services.sh"
if [ -z "${DISPLAY:-}" ] || [ -z "${JACK_DEFAULT_SERVER:-}" ]; then
    echo "skipped on $stack: needs the test services (scripts/run-tests.sh)"
    exit 77
fi
missing=$(desktop_stack_missing "$stack")
if [ -n "$missing" ]; then
    echo "skipped on $stack: $missing"
    exit 77
fi
start_desktop_stack "$stack" || exit 1
${ONDRILUX_STACK_RUN:-} "$@"

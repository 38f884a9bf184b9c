#!/usr/bin/env bash
# What the plugin's panel costs, on real parts (a private JACK server on the
# dummy driver and a virtual X display, as the tests use): jalv.gtk3 shows it,
# and the CPU time of jalv's UI thread (its main thread: GTK and the panel;
# the plugin runs in JACK's thread) is measured while nothing happens, then
# while a note is held and the live picture follows the envelope (a note
# from jack_midiseq, the sweeping pad preset: its attack and decay take 4.6 s
# to settle). The same with jalv's own generic controls (-g) for comparison.
# Usage: bench/plugin_ui_cost.sh [BUILD_DIR]   (BUILD_DIR holds lv2/ondrilux.lv2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${SECONDS_EACH:-10}
[ -f "$build/lv2/ondrilux.lv2/ondrilux_ui.so" ] || { echo "no panel in $build/lv2: build it first" >&2; exit 2; }
command -v jalv.gtk3 >/dev/null || { echo "jalv.gtk3 is not installed (Debian's jalv)" >&2; exit 2; }
source "$root/scripts/test-services.sh"
start_test_services
source "$root/bench/process_cpu.sh"
uri=https://ondrilux.org/lv2/ondrilux
rate=48000

# Percent of one core that thread $2 of process $1 takes over $seconds.
thread_percent() {
    local a b t0 t1
    a=$(run_ns "/proc/$1/task/$2/schedstat"); t0=$(now_ns)
    sleep "$seconds"
    b=$(run_ns "/proc/$1/task/$2/schedstat"); t1=$(now_ns)
    awk -v d=$((b - a)) -v t=$((t1 - t0)) 'BEGIN { printf "%.2f %%", 100 * d / t }'
}

measure() { # label, jalv.gtk3's extra options
    local label=$1 pid seq
    shift
    LV2_PATH=$build/lv2 jalv.gtk3 --no-menu --jack-name=panel-cost -x "$@" \
        -p "$uri#sweeping-pad" "$uri" < <(sleep 3600) >/dev/null 2>"${JALV_LOG:-/dev/null}" & # jalv quits at its input's end
    pid=$!
    jack_wait -w >/dev/null
    for _ in $(seq 50); do jack_lsp 2>/dev/null | grep -q '^panel-cost:midi_in$' && break; sleep 0.1; done
    sleep 2 # past start-up
    echo "$label, idle: $(thread_percent "$pid" "$pid")"
    # One note (A2) held for 30 s of a 31 s loop.
    jack_midiseq panel-keys $((31 * rate)) 0 45 $((30 * rate)) >/dev/null 2>&1 &
    seq=$!
    for _ in $(seq 50); do jack_connect panel-keys:out panel-cost:midi_in 2>/dev/null && break; sleep 0.1; done
    echo "$label, a note held: $(thread_percent "$pid" "$pid")"
    kill "$seq" "$pid"
    wait "$seq" "$pid" 2>/dev/null || true
}

echo "== jalv.gtk3's UI thread, % of one core over ${seconds} s"
measure "the plugin's panel"
measure "jalv's generic controls" -g

#!/usr/bin/env bash
# What ondrilux-jack costs and how soon it sounds, on real parts (JACK servers
# on the dummy driver, as the tests use), at periods of 64, 256 and 1024 frames
# and once at 44100 Hz (through the resampler):
#   - MIDI note-on to first sound over NOTES notes from silence, with quick
#     start (the default) and without it (--no-quick-start), measured inside
#     one JACK client that sends the note and records the output, so both carry
#     frame numbers of the same clock (bench/live_cost.sh measures the synth so);
#   - CPU of one instance, silent and with a note sounding.
# Usage: bench/jack_instrument.sh [BUILD_DIR]
# BUILD_DIR (default: build) must hold jack_instrument/ondrilux-jack and
# tests/stress/ondrilux_jack_probe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
program=$build/jack_instrument/ondrilux-jack
probe=$build/tests/stress/ondrilux_jack_probe
seconds=${SECONDS_EACH:-10} # each CPU measurement
notes=${NOTES:-50}
for f in "$program" "$probe"; do
    [ -x "$f" ] || { echo "missing $f: build it first" >&2; exit 2; }
done

source "$root/scripts/test-services.sh"
start_test_services
source "$root/bench/process_cpu.sh"
shared=$JACK_DEFAULT_SERVER

cpu() { # pid seconds label
    local t0 p0 t1 p1
    t0=$(now_ns) p0=$(process_ns "$1")
    sleep "$2"
    t1=$(now_ns) p1=$(process_ns "$1")
    awk -v l="$3" -v e=$((t1 - t0)) -v p=$((p1 - p0)) \
        'BEGIN { printf "CPU, %s: %.3f %% of a core (%.2f ms per second)\n", l, 100 * p / e, 1000 * p / e }'
}

start_program() { # extra options; sets pid
    # A short release: the notes follow each other quickly.
    "$program" --release 50 --name ondrilux-bench-synth --connect-midi ondrilux-bench:keys \
        --connect-audio ondrilux-bench:in "$@" &
    pid=$!
    echo "record" >&"${PROBE[1]}"
    read -r -u "${PROBE[0]}" reply
    [ "$reply" = ok ] || { echo "ondrilux-jack does not listen to the probe" >&2; exit 1; }
}

stop_program() {
    kill -TERM "$pid"
    wait "$pid" || echo "ondrilux-jack ended with status $?"
}

latency() { # the frames the engine adds on purpose
    echo "latency $notes $1" >&"${PROBE[1]}"
    while read -r -u "${PROBE[0]}" line && [ "$line" != end ]; do
        echo "$line"
    done
}

measure() { # period rate
    local period=$1 rate=$2 server=$shared own_server=() no_folder=
    if [ "$period" != 256 ] || [ "$rate" != 48000 ]; then
        # Another period or rate: a server of our own under the spare name.
        server=$ONDRILUX_SPARE_JACK_SERVER
        jackd -n "$server" -d dummy -r "$rate" -p "$period" >/dev/null 2>&1 &
        own_server=($!)
        _ondrilux_wait_for "jack_lsp -s $server >/dev/null 2>&1" "jackd $server" own_server || exit 1
    fi
    echo "== period $period frames, $rate Hz"
    export JACK_DEFAULT_SERVER=$server
    coproc PROBE { "$probe"; }
    read -r -u "${PROBE[0]}" reply
    [ "$reply" = ready ] || { echo "probe: $reply" >&2; exit 1; }
    local pid
    # Note-on to first sound without quick start: the engine's 1002 frames.
    echo "-- --no-quick-start"
    start_program --no-quick-start
    latency 1002
    stop_program
    echo "-- quick start (the default)"
    start_program
    latency 1
    cpu "$pid" "$seconds" "silence"
    echo "on 69" >&"${PROBE[1]}"
    read -r -u "${PROBE[0]}" reply
    sleep 1.5 # the decay is over: the sustained note
    cpu "$pid" "$seconds" "a note sounding"
    echo "off 69" >&"${PROBE[1]}"
    read -r -u "${PROBE[0]}" reply
    echo "threads: $(ls /proc/$pid/task | wc -l); resident memory $(awk '/VmRSS/ { print $2, $3 }' /proc/$pid/status)"
    stop_program
    echo "quit" >&"${PROBE[1]}"
    wait "$PROBE_PID" 2>/dev/null || true
    _ondrilux_stop_servers own_server no_folder
    export JACK_DEFAULT_SERVER=$shared
}

measure 64 48000
measure 256 48000
measure 1024 48000
measure 256 44100
echo "(the engine adds 1002 frames on purpose without quick start: 1001 frames of fade-out, then the"
echo " attack's first frame at zero; with quick start a note from silence adds only that first frame;"
echo " the probe both sends and records, so the graph adds one period: MIDI out of the probe and audio back in)"

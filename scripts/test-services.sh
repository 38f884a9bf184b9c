# Sourced by the test scripts: starts a private JACK server on the dummy
# driver and a virtual X display, exports what clients need to find them, and
# stops both when the calling shell exits.
# Usage: source scripts/test-services.sh; start_test_services
#
# What the tests then find:
#   DISPLAY              a private Xvfb screen, 1920x1080x24 (room for the
#                        main window at twice its size)
#   JACK_DEFAULT_SERVER  a private jackd (dummy driver, 48000 Hz, 256 frames),
#                        running in real time, so recordings have real timing;
#                        named from a fixed set (see _ondrilux_take_jack_names)
#   ONDRILUX_SPARE_JACK_SERVER  the name a test gives a server of its own
#   ALSA_CONFIG_PATH     ALSA's default PCM plays into that server: PortAudio's
#                        default output shows up there as a JACK client with
#                        one output port per channel, wired to system:playback_1

_ondrilux_pids=()

stop_test_services() {
    local pid
    for pid in "${_ondrilux_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${_ondrilux_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    _ondrilux_pids=()
    if [ -n "${ONDRILUX_SERVICE_DIR:-}" ]; then
        rm -rf "$ONDRILUX_SERVICE_DIR"
        ONDRILUX_SERVICE_DIR=
    fi
}

_ondrilux_services_failed() {
    echo "test services did not come up: $1" >&2
    if grep -q "Too many servers already active" "$ONDRILUX_SERVICE_DIR/jackd.log" 2>/dev/null; then
        echo "JACK's registry of servers (/dev/shm/jack-shm-registry) is full of servers" \
             "killed under other names; no JACK server can start until they are reclaimed" \
             "(start and stop one under each of those names) or the machine restarts" >&2
    fi
    local log
    for log in "$ONDRILUX_SERVICE_DIR"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    stop_test_services
    return 1
}

# JACK's registry of servers (in /dev/shm) has 8 entries for the whole machine
# and frees a dead server's entry only when a server of the same name starts
# again. So the test servers take their names from a small fixed set, never a
# fresh one: slot N owns "ondrilux-test-N" (the services' server) and
# "ondrilux-test-Nb" (a spare for tests that start and kill a server of their
# own). A run holds its slot by a lock that the kernel drops when the run ends
# however it ends; a server still running under a free slot's name outlived a
# killed run and is stopped, which also gives its registry entry back.
_ondrilux_jack_slots=3

_ondrilux_take_jack_names() {
    local slot name waited=0 pid
    while :; do
        for slot in $(seq 1 "$_ondrilux_jack_slots"); do
            exec {_ondrilux_jack_lock}>"/tmp/ondrilux-jack-slot-$slot.lock"
            if flock -n "$_ondrilux_jack_lock"; then
                for name in "ondrilux-test-$slot" "ondrilux-test-${slot}b"; do
                    for pid in $(pgrep -x jackd -a | awk -v n="$name" '{for (i = 3; i <= NF; i++) if ($(i-1) == "-n" && $i == n) print $1}'); do
                        kill -9 "$pid" 2>/dev/null || true
                    done
                done
                export JACK_DEFAULT_SERVER="ondrilux-test-$slot"
                export ONDRILUX_SPARE_JACK_SERVER="ondrilux-test-${slot}b"
                return 0
            fi
            exec {_ondrilux_jack_lock}>&-
        done
        if [ "$waited" -eq 0 ]; then
            echo "all $_ondrilux_jack_slots JACK test server names are in use by other test runs; waiting" >&2
        fi
        waited=$((waited + 1))
        [ "$waited" -ge 600 ] && return 1
        sleep 1
    done
}

start_test_services() {
    trap stop_test_services EXIT
    # Ctrl-C or a kill still runs the EXIT trap, so nothing is left behind.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    ONDRILUX_SERVICE_DIR=$(mktemp -d /tmp/ondrilux-test.XXXXXX)
    chmod 700 "$ONDRILUX_SERVICE_DIR"
    export XDG_RUNTIME_DIR="$ONDRILUX_SERVICE_DIR"
    _ondrilux_take_jack_names || { _ondrilux_services_failed "no JACK server name free"; return 1; }

    # Xvfb picks a free display number itself and writes it once it accepts
    # clients; choosing one here would race with other test runs.
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp \
        3>"$ONDRILUX_SERVICE_DIR/display" >"$ONDRILUX_SERVICE_DIR/xvfb.log" 2>&1 &
    _ondrilux_pids+=($!)

    export JACK_NO_AUDIO_RESERVATION=1
    # A client that finds no server must fail, not start a server of its own.
    export JACK_NO_START_SERVER=1
    # The servers do not keep the slot's lock: it goes with this run.
    jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 \
        >"$ONDRILUX_SERVICE_DIR/jackd.log" 2>&1 {_ondrilux_jack_lock}>&- &
    _ondrilux_pids+=($!)

    # ALSA's whole configuration for the tests: the default PCM plays into the
    # JACK server, and nothing refers to sound cards (there are none), which
    # keeps PortAudio's device scan quiet.
    cat >"$ONDRILUX_SERVICE_DIR/asound.conf" <<'ASOUND'
pcm.!default {
    type plug
    slave.pcm "ondrilux_jack"
}
pcm.ondrilux_jack {
    type jack
    playback_ports { 0 system:playback_1 }
    capture_ports { 0 system:capture_1 }
}
ASOUND
    export ALSA_CONFIG_PATH="$ONDRILUX_SERVICE_DIR/asound.conf"

    # A fixed look for window tests.
    export QT_STYLE_OVERRIDE=Fusion
    export QT_SCALE_FACTOR=1

    local i pid display=
    for i in $(seq 1 100); do
        [ -z "$display" ] && display=$(head -n 1 "$ONDRILUX_SERVICE_DIR/display" 2>/dev/null || true)
        if [ -n "$display" ] && jack_lsp >/dev/null 2>&1; then
            export DISPLAY=":$display"
            xdpyinfo >/dev/null 2>&1 || { _ondrilux_services_failed "X display :$display"; return 1; }
            return 0
        fi
        for pid in "${_ondrilux_pids[@]}"; do
            kill -0 "$pid" 2>/dev/null || { _ondrilux_services_failed "a server exited"; return 1; }
        done
        sleep 0.1
    done
    _ondrilux_services_failed "timed out"
    return 1
}

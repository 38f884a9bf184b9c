# Sourced by the test scripts: starts a private JACK server on the dummy
# driver and a virtual X display, exports what clients need to find them, and
# stops both when the calling shell exits.
# Usage: source scripts/test-services.sh; start_test_services
#
# What the tests then find:
#   DISPLAY              a private Xvfb screen, 1280x800x24
#   JACK_DEFAULT_SERVER  a private jackd (dummy driver, 48000 Hz, 256 frames),
#                        running in real time, so recordings have real timing
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
    local log
    for log in "$ONDRILUX_SERVICE_DIR"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    stop_test_services
    return 1
}

start_test_services() {
    trap stop_test_services EXIT
    # Ctrl-C or a kill still runs the EXIT trap, so nothing is left behind.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    ONDRILUX_SERVICE_DIR=$(mktemp -d /tmp/ondrilux-test.XXXXXX)
    chmod 700 "$ONDRILUX_SERVICE_DIR"
    export XDG_RUNTIME_DIR="$ONDRILUX_SERVICE_DIR"

    # Xvfb picks a free display number itself and writes it once it accepts
    # clients; choosing one here would race with other test runs.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp \
        3>"$ONDRILUX_SERVICE_DIR/display" >"$ONDRILUX_SERVICE_DIR/xvfb.log" 2>&1 &
    _ondrilux_pids+=($!)

    # The pid alone can repeat across machines sharing one JACK registry.
    export JACK_DEFAULT_SERVER="ondrilux-test-$$-$RANDOM"
    export JACK_NO_AUDIO_RESERVATION=1
    # A client that finds no server must fail, not start a server of its own.
    export JACK_NO_START_SERVER=1
    jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 \
        >"$ONDRILUX_SERVICE_DIR/jackd.log" 2>&1 &
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

# Sourced by the test scripts: starts a private JACK server on the dummy
# driver and a virtual X display, exports what clients need to find them, and
# stops both when the calling shell exits.
# Usage: source scripts/test-services.sh; start_test_services

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
    [ -n "${ONDRILUX_SERVICE_DIR:-}" ] && rm -rf "$ONDRILUX_SERVICE_DIR"
}

start_test_services() {
    trap stop_test_services EXIT
    ONDRILUX_SERVICE_DIR=$(mktemp -d /tmp/ondrilux-test.XXXXXX)
    chmod 700 "$ONDRILUX_SERVICE_DIR"
    export XDG_RUNTIME_DIR="$ONDRILUX_SERVICE_DIR"

    # A display number nobody uses.
    local display=77
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >"$ONDRILUX_SERVICE_DIR/xvfb.log" 2>&1 &
    _ondrilux_pids+=($!)
    export DISPLAY=":$display"

    export JACK_DEFAULT_SERVER="ondrilux-test-$$"
    export JACK_NO_AUDIO_RESERVATION=1
    jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$ONDRILUX_SERVICE_DIR/jackd.log" 2>&1 &
    _ondrilux_pids+=($!)

    # PortAudio's default ALSA output goes into this JACK server.
    cat >"$ONDRILUX_SERVICE_DIR/asound.conf" <<ASOUND
pcm.!default { type plug slave.pcm "ondrilux_jack" }
pcm.ondrilux_jack {
    type jack
    playback_ports { 0 system:playback_1 }
}
ctl.!default { type hw card 0 }
ASOUND
    export ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:$ONDRILUX_SERVICE_DIR/asound.conf"

    local i
    for i in $(seq 1 100); do
        if jack_lsp >/dev/null 2>&1 && xdpyinfo >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "test services did not come up:" >&2
    cat "$ONDRILUX_SERVICE_DIR"/*.log >&2
    return 1
}

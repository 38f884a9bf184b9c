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

source "$(dirname "${BASH_SOURCE[0]}")/debian-packages.sh"

_ondrilux_pids=()

# Stops the servers whose PIDs the array named $1 holds, the last started
# first (wireplumber before pipewire before D-Bus), waiting for each, then
# removes the folder that the variable named $2 holds.
_ondrilux_stop_servers() {
    local -n pids=$1 folder=$2
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    pids=()
    if [ -n "${folder:-}" ]; then
        rm -rf "$folder"
        folder=
    fi
}

stop_test_services() {
    _ondrilux_stop_servers _ondrilux_pids ONDRILUX_SERVICE_DIR
}

# Waits up to 10 s for the command `test` to succeed while every server in the
# array named `pids` lives; otherwise says on stderr "what: why" and fails.
_ondrilux_wait_for() {
    local test=$1 what=$2 i pid
    local -n servers=$3
    for i in $(seq 1 100); do
        eval "$test" && return 0
        for pid in "${servers[@]}"; do
            kill -0 "$pid" 2>/dev/null || { echo "$what: a server exited" >&2; return 1; }
        done
        sleep 0.1
    done
    echo "$what: timed out" >&2
    return 1
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
    # clients; choosing one here would race with other test runs. -noreset:
    # by default the server resets when its last client leaves, and a program
    # started just then cannot connect.
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset \
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

    local why
    if ! why=$(_ondrilux_wait_for '[ -s "$ONDRILUX_SERVICE_DIR/display" ] && jack_lsp >/dev/null 2>&1' \
        "Xvfb and jackd" _ondrilux_pids 2>&1); then
        _ondrilux_services_failed "$why"
        return 1
    fi
    export DISPLAY=":$(head -n 1 "$ONDRILUX_SERVICE_DIR/display")"
    xdpyinfo >/dev/null 2>&1 || { _ondrilux_services_failed "X display $DISPLAY"; return 1; }
}

# ---- The desktop stacks, started only for the tests that run on them (see
# scripts/run-on-stack.sh): a private PipeWire, a private PulseAudio, or a
# headless Wayland compositor. Each runs as a child of the calling shell, in a
# folder of its own, and stop_desktop_stack (on exit) stops and waits for it.

_ondrilux_stack_pids=()

stop_desktop_stack() {
    _ondrilux_stop_servers _ondrilux_stack_pids ONDRILUX_STACK_DIR
}

# One line naming a package of the stack that is not installed and why; empty
# when all are there.
desktop_stack_missing() {
    local p removed
    for p in $(desktop_stack_packages "$1"); do
        package_installed "$p" && continue
        removed=$(package_removals "$p" | tr '\n' ' ')
        if [ -n "$removed" ]; then
            echo "package $p is not installed: installing it would remove ${removed% }" \
                 "(scripts/install-deps.sh leaves it out)"
        else
            echo "package $p is not installed (scripts/install-deps.sh --test installs it)"
        fi
        return
    done
}

# PipeWire's ALSA plugin. Installed as a package it conflicts with pulseaudio,
# so where it is not, the package of the installed PipeWire's version is
# unpacked (not installed) into a cache.
_ondrilux_pipewire_alsa_plugin() {
    local installed version cache
    installed=$(dpkg-query -L pipewire-alsa 2>/dev/null | grep '/libasound_module_pcm_pipewire.so$' || true)
    if [ -n "$installed" ]; then
        echo "$installed"
        return
    fi
    version=$(dpkg-query -W -f='${Version}' libpipewire-0.3-0 2>/dev/null) || return 1
    cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ondrilux/pipewire-alsa-$version
    if ! find "$cache" -name libasound_module_pcm_pipewire.so 2>/dev/null | grep -q .; then
        rm -rf "$cache" && mkdir -p "$cache/deb" &&
            (cd "$cache/deb" && apt-get download -qq "pipewire-alsa=$version" >/dev/null 2>&1) &&
            dpkg -x "$cache"/deb/pipewire-alsa_*.deb "$cache" || return 1
    fi
    find "$cache" -name libasound_module_pcm_pipewire.so | head -n 1
}

# start_desktop_stack pipewire|pulseaudio|wayland: starts the stack and exports
# what its clients need. pipewire: ALSA's default PCM plays into PipeWire, and
# ONDRILUX_STACK_RUN is "pw-jack" (run JACK clients through it); pulseaudio:
# ALSA's default PCM plays into PulseAudio's sink "null" (float32le, 48000 Hz,
# stereo; record "null.monitor"); wayland: WAYLAND_DISPLAY names a headless
# weston that offers weston-screenshooter.
start_desktop_stack() {
    _ondrilux_start_desktop_stack "$1" && return 0
    # What the stack's servers said.
    tail -n 20 "$ONDRILUX_STACK_DIR"/*.log >&2 2>/dev/null
    return 1
}

_ondrilux_start_desktop_stack() {
    local stack=$1 dir plugin
    # Also the test services, when this shell started them.
    trap 'stop_desktop_stack; stop_test_services' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    dir=$(mktemp -d /tmp/ondrilux-stack.XXXXXX)
    ONDRILUX_STACK_DIR=$dir
    mkdir -p "$dir/run" "$dir/config"
    chmod 700 "$dir" "$dir/run"
    export XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/config" ONDRILUX_STACK="$stack"
    ONDRILUX_STACK_RUN=
    case "$stack" in
    pipewire)
        plugin=$(_ondrilux_pipewire_alsa_plugin) || {
            echo "PipeWire's ALSA plugin: pipewire-alsa is not installed and could not be downloaded" >&2
            return 1
        }
        mkdir -p "$dir/config/pipewire/pipewire.conf.d" "$dir/config/wireplumber/main.lua.d" \
            "$dir/config/wireplumber/bluetooth.lua.d"
        # A sink without hardware, which is also the graph's driver.
        cat >"$dir/config/pipewire/pipewire.conf.d/10-null-sink.conf" <<'CONF'
context.objects = [
    { factory = adapter
        args = {
            factory.name     = support.null-audio-sink
            node.name        = "null-sink"
            node.description = "Null Sink"
            media.class      = "Audio/Sink"
            audio.rate       = 48000
            audio.position   = [ FL FR ]
            monitor.channel-volumes = true
            priority.driver  = 30000
            priority.session = 30000
        }
    }
]
CONF
        printf '%s\n' 'alsa_monitor.enabled = false' 'v4l2_monitor.enabled = false' \
            'libcamera_monitor.enabled = false' >"$dir/config/wireplumber/main.lua.d/51-no-hardware.lua"
        echo 'bluez_monitor.enabled = false' >"$dir/config/wireplumber/bluetooth.lua.d/51-no-bluetooth.lua"
        cat >"$dir/asound.conf" <<ASOUND
pcm_type.pipewire { lib "$plugin" }
ctl_type.pipewire { lib "${plugin/pcm_pipewire/ctl_pipewire}" }
pcm.!default { type pipewire playback_node "-1" capture_node "-1" }
ctl.!default { type pipewire }
ASOUND
        export PIPEWIRE_RUNTIME_DIR="$dir/run" ALSA_CONFIG_PATH="$dir/asound.conf"
        # JACK clients reach PipeWire's JACK layer under its default name.
        unset JACK_DEFAULT_SERVER
        dbus-daemon --session --nofork --print-address=3 3>"$dir/dbus.addr" >"$dir/dbus.log" 2>&1 &
        _ondrilux_stack_pids+=($!)
        _ondrilux_wait_for '[ -s "$ONDRILUX_STACK_DIR/dbus.addr" ]' "D-Bus" _ondrilux_stack_pids || return 1
        export DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$dir/dbus.addr")
        pipewire >"$dir/pipewire.log" 2>&1 &
        _ondrilux_stack_pids+=($!)
        _ondrilux_wait_for '[ -e "$XDG_RUNTIME_DIR/pipewire-0" ]' "pipewire" _ondrilux_stack_pids || return 1
        wireplumber >"$dir/wireplumber.log" 2>&1 &
        _ondrilux_stack_pids+=($!)
        # The sink becomes the default once wireplumber has looked at the graph.
        _ondrilux_wait_for 'pw-jack jack_lsp 2>/dev/null | grep -q "^Null Sink:monitor_FL$"' \
            "wireplumber" _ondrilux_stack_pids || return 1
        sleep 1
        ONDRILUX_STACK_RUN=pw-jack
        ;;
    pulseaudio)
        export PULSE_SERVER="unix:$dir/run/pulse/native"
        mkdir -p "$dir/run/pulse"
        printf '%s\n' 'pcm.!default { type pulse }' 'ctl.!default { type pulse }' >"$dir/asound.conf"
        export ALSA_CONFIG_PATH="$dir/asound.conf"
        # The server's own rate and format are the sink's, so a client that
        # asks the server for them (a browser does) plays without conversion.
        mkdir -p "$dir/pulse-home/.config/pulse"
        printf '%s\n' 'default-sample-format = float32le' 'default-sample-rate = 48000' \
            >"$dir/pulse-home/.config/pulse/daemon.conf"
        HOME="$dir/pulse-home" XDG_CONFIG_HOME="$dir/pulse-home/.config" \
        pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --realtime=no \
            --high-priority=no --log-target=stderr \
            -L "module-null-sink sink_name=null format=float32le rate=48000 channels=2" \
            -L "module-native-protocol-unix socket=$dir/run/pulse/native auth-anonymous=1" \
            >"$dir/pulseaudio.log" 2>&1 &
        _ondrilux_stack_pids+=($!)
        _ondrilux_wait_for 'pactl info >/dev/null 2>&1' "pulseaudio" _ondrilux_stack_pids || return 1
        pactl set-default-sink null
        ;;
    wayland)
        export WAYLAND_DISPLAY="ondrilux-wayland-$$"
        weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --width=1280 --height=800 \
            --use-pixman --idle-time=0 --debug --no-config --log="$dir/weston.log" >/dev/null 2>&1 &
        _ondrilux_stack_pids+=($!)
        _ondrilux_wait_for '[ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ]' "weston" _ondrilux_stack_pids || return 1
        ;;
    *)
        echo "no desktop stack '$stack'" >&2
        return 1
        ;;
    esac
    export ONDRILUX_STACK_RUN
}

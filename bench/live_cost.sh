#!/usr/bin/env bash
# What the running program costs, measured on real parts (a private JACK
# server on the dummy driver and a virtual X display, as the tests use):
#   - CPU time per second while a note sounds and while all is silent,
#   - the GUI thread's CPU time while nothing happens,
#   - resident memory after start-up,
#   - time from launch until the window is shown,
#   - the delay from a MIDI note-on to the first sound, measured inside one
#     JACK client that sends the note and records the program's output, so
#     both carry frame numbers of the same clock.
# Usage: bench/live_cost.sh [BUILD_DIR] [jack|pipewire|pulseaudio]
# The sound goes through ALSA's default PCM into the JACK server (jack, the
# default), into a private PipeWire (pipewire: the program and the probe are
# then JACK clients of PipeWire, through pw-jack, and the probe records the
# sink's monitor on the graph's clock), or into a private PulseAudio
# (pulseaudio: MIDI still over JACK; the probe hears the sink's monitor
# through parec, on the wall clock, so delays are rough, within a few ms).
# BUILD_DIR (default: build) must hold app/ondrilux and
# tests/stress/ondrilux_jack_probe (cmake --build BUILD_DIR --target ondrilux
# ondrilux_jack_probe).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
stack=${2:-jack}
program=$build/app/ondrilux
probe=$build/tests/stress/ondrilux_jack_probe
seconds=${SECONDS_EACH:-10} # each CPU measurement
notes=${NOTES:-50}   # the delay's sample
for f in "$program" "$probe"; do
    [ -x "$f" ] || { echo "missing $f: build it first" >&2; exit 2; }
done

source "$root/scripts/test-services.sh"
start_test_services
launcher=
case "$stack" in
jack) ;;
pipewire | pulseaudio)
    missing=$(desktop_stack_missing "$stack")
    [ -z "$missing" ] || { echo "cannot measure on $stack: $missing" >&2; exit 2; }
    start_desktop_stack "$stack" || exit 1
    launcher=$ONDRILUX_STACK_RUN
    if [ "$stack" = pipewire ]; then
        export ONDRILUX_PROBE_RECORD="Null Sink:monitor_FL"
    else
        export ONDRILUX_PROBE_PAREC=1
    fi
    ;;
*) echo "no stack '$stack': jack, pipewire or pulseaudio" >&2; exit 2 ;;
esac
echo "== on $stack"
export QT_STYLE_OVERRIDE=Fusion QT_SCALE_FACTOR=1

source "$root/bench/process_cpu.sh"

# utime + stime of a process or one of its threads, in clock ticks (field
# 14 and 15 of stat, counted after the parenthesised name).
ticks() { sed 's/^.*) //' "$1" | awk '{ print $12 + $13 }'; }
hz=$(getconf CLK_TCK)

# CPU of process $1 over $seconds: whole process and its main (GUI) thread,
# as a percentage of one core, from both sources.
measure_cpu() {
    local pid=$1 label=$2
    local t0 p0 m0 pt0 mt0 t1 p1 m1 pt1 mt1
    t0=$(now_ns) p0=$(process_ns "$pid") m0=$(run_ns /proc/"$pid"/task/"$pid"/schedstat)
    pt0=$(ticks /proc/"$pid"/stat) mt0=$(ticks /proc/"$pid"/task/"$pid"/stat)
    declare -A before
    local t
    for t in /proc/"$pid"/task/*; do before[${t##*/}]=$(run_ns "$t"/schedstat); done
    sleep "$seconds"
    t1=$(now_ns) p1=$(process_ns "$pid") m1=$(run_ns /proc/"$pid"/task/"$pid"/schedstat)
    pt1=$(ticks /proc/"$pid"/stat) mt1=$(ticks /proc/"$pid"/task/"$pid"/stat)
    awk -v l="$label" -v e=$((t1 - t0)) -v p=$((p1 - p0)) -v m=$((m1 - m0)) \
        -v pt=$((pt1 - pt0)) -v mt=$((mt1 - mt0)) -v hz="$hz" 'BEGIN {
        printf "%s: process %.3f %% of a core (%.2f ms CPU per second; stat ticks: %.2f %%)\n",
            l, 100 * p / e, 1000 * p / e, 100 * pt / hz / (e / 1e9)
        printf "%s: GUI thread %.4f %% of a core (%.3f ms CPU per second; stat ticks: %d)\n",
            l, 100 * m / e, 1000 * m / e, mt
    }'
    for t in /proc/"$pid"/task/*; do
        local tid=${t##*/} after
        after=$(run_ns "$t"/schedstat 2>/dev/null || echo 0)
        # Policy 1 (SCHED_FIFO): a JACK client's real-time thread.
        awk -v l="$label" -v n="$(cat "$t"/comm 2>/dev/null)" -v tid="$tid" \
            -v policy="$(sed 's/^.*) //' "$t"/stat | awk '{ print $39 }')" \
            -v wchan="$(cat "$t"/wchan 2>/dev/null)" \
            -v d=$((after - ${before[$tid]:-0})) -v e=$((t1 - t0)) 'BEGIN {
            if (d > 0)
                printf "%s:   thread %-16s %7d %-5s %-32s %.3f %%\n", l, n, tid,
                    policy == 1 ? "FIFO" : "other", wchan, 100 * d / e }'
    done
}

window_id() { xdotool search --onlyvisible --name '^Ondrilux$' 2>/dev/null | head -n 1; }

quit_program() {
    local pid=$1 wid
    wid=$(window_id)
    [ -n "$wid" ] && xdotool windowfocus --sync "$wid" key Escape >/dev/null 2>&1
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

echo "== time from launch until the window is shown (5 launches)"
times=()
for run in 1 2 3 4 5; do
    start=$(now_ns)
    $launcher "$program" >/dev/null 2>"$ONDRILUX_SERVICE_DIR/launch.err" &
    pid=$!
    # xdotool answers in a few milliseconds; poll it without pause.
    until [ -n "$(window_id)" ]; do
        kill -0 "$pid" 2>/dev/null || {
            echo "the program ended: $(cat "$ONDRILUX_SERVICE_DIR/launch.err")" >&2
            exit 1
        }
        [ $(($(now_ns) - start)) -gt 10000000000 ] && { echo "no window" >&2; exit 1; }
    done
    shown=$(( ($(now_ns) - start) / 1000000 ))
    times+=("$shown")
    echo "launch $run: window shown after $shown ms"
    sleep 0.5
    quit_program "$pid"
done
printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    printf "window shown: min %d ms, median %d ms, max %d ms (target 300 ms)\n", v[1], v[int((NR + 1) / 2)], v[NR] }'

echo "== the running program"
# The probe's MIDI port must exist before the program lists its devices.
coproc PROBE { $launcher "$probe"; }
read -r -u "${PROBE[0]}" reply
[ "$reply" = ready ] || { echo "probe: $reply" >&2; exit 1; }
$launcher "$program" >/dev/null 2>&1 &
pid=$!
until [ -n "$(window_id)" ]; do sleep 0.05; done
echo "listen $pid" >&"${PROBE[1]}"
read -r -u "${PROBE[0]}" reply
[ "$reply" = ok ] || { echo "the program does not listen to the probe" >&2; exit 1; }
sleep 2
echo "resident memory after start-up: $(awk '/VmRSS/ { print $2, $3 }' /proc/$pid/status)" \
    "(anonymous $(awk '/RssAnon/ { print $2, $3 }' /proc/$pid/status)," \
    "files $(awk '/RssFile/ { print $2, $3 }' /proc/$pid/status)," \
    "shared memory $(awk '/RssShmem/ { print $2, $3 }' /proc/$pid/status);" \
    "proportional share $(awk '/^Pss:/ { print $2, $3 }' /proc/$pid/smaps_rollup))"
echo "threads: $(ls /proc/$pid/task | wc -l)"

measure_cpu "$pid" "silence"
echo "on 69" >&"${PROBE[1]}"
read -r -u "${PROBE[0]}" reply
sleep 1.5 # attack and decay over: the sustained note
measure_cpu "$pid" "note sounding"
echo "off 69" >&"${PROBE[1]}"
read -r -u "${PROBE[0]}" reply
sleep 2

echo "== MIDI note-on to first sound, $notes notes from silence (about $((notes * 17 / 10)) s)"
echo "latency $notes" >&"${PROBE[1]}"
while read -r -u "${PROBE[0]}" line && [ "$line" != end ]; do
    echo "$line"
done
echo "(the synth adds 1002 frames on purpose: 1001 frames of fade-out, then the attack's first frame at zero)"

echo "quit" >&"${PROBE[1]}"
start=$(now_ns)
quit_program "$pid"
echo "Escape to exit: $(( ($(now_ns) - start) / 1000000 )) ms"
wait "${PROBE_PID:-}" 2>/dev/null || true

#!/usr/bin/env bash
# Times ondrilux-render on a 10-minute MIDI file (a note every half second)
# against sox synthesising a 10-minute sine into the same kind of WAV file
# (mono, 48000 frames/s, 32-bit float), each as a whole process, several times
# in one run; prints the medians and their ratio. The renderer should be at
# least 3 times faster.
# Usage: bench/render_vs_sox.sh [RENDERER] [REPETITIONS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
renderer=${1:-$here/build/renderer/ondrilux-render}
repetitions=${2:-5}
[ -x "$renderer" ] || { echo "no renderer at $renderer (build it, or pass its path)" >&2; exit 2; }
command -v sox >/dev/null || { echo "sox is not installed (scripts/install-deps.sh)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Format 0, 96 ticks per quarter at 120 beats per minute: 48 ticks are a quarter
# of a second. 1200 notes of a quarter second each, one every half second, and
# the end of the track at 600 s, so that with no tail both write 28.8 million frames.
{
    printf 'MThd\0\0\0\6\0\0\0\1\0\140'
    body_length=$((1 + 1200 * 8 + 3))
    printf 'MTrk'
    printf "\\$(printf %03o $((body_length >> 24 & 255)))\\$(printf %03o $((body_length >> 16 & 255)))"
    printf "\\$(printf %03o $((body_length >> 8 & 255)))\\$(printf %03o $((body_length & 255)))"
    printf '\0'
    note='\220\74\144\60\200\74\0\60'
    for ((i = 0; i < 1199; i++)); do printf "$note"; done
    printf '\220\74\144\60\200\74\0\60\377\57\0' # the end at 600 s
} >"$work/song.mid"

# Wall-clock and CPU (user + system) milliseconds of one run of the command.
# The CPU time is the steadier figure on a busy machine.
time_one() {
    local TIMEFORMAT='%R %U %S' report
    report=$({ time "$@" >/dev/null 2>&1 </dev/null; } 2>&1) || { echo "failed: $*" >&2; exit 1; }
    awk '{ printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000 }' <<<"$report"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

render_wall=() render_cpu=() sox_wall=() sox_cpu=()
# Alternate the two so that both see the same state of the machine.
for ((r = 0; r < repetitions; r++)); do
    times=$(time_one "$renderer" --tail 0 "$work/song.mid" "$work/render.wav")
    read -r wall cpu <<<"$times"
    render_wall+=("$wall") render_cpu+=("$cpu")
    times=$(time_one sox -n -r 48000 -c 1 -e floating-point -b 32 "$work/sox.wav" synth 600 sine 440)
    read -r wall cpu <<<"$times"
    sox_wall+=("$wall") sox_cpu+=("$cpu")
done

frames_render=$(soxi -s "$work/render.wav" 2>/dev/null)
frames_sox=$(soxi -s "$work/sox.wav" 2>/dev/null)
report() { # name, wall times, CPU times
    printf '%-16s wall median %5s ms (%s), CPU median %5s ms (%s)\n' "$1" "$(median $2)" "$2" \
        "$(median $3)" "$3"
}
report "ondrilux-render:" "${render_wall[*]}" "${render_cpu[*]}"
report "sox synth:" "${sox_wall[*]}" "${sox_cpu[*]}"
echo "frames written: ondrilux-render $frames_render, sox $frames_sox; repetitions: $repetitions"
awk -v rw="$(median "${render_wall[@]}")" -v sw="$(median "${sox_wall[@]}")" \
    -v rc="$(median "${render_cpu[@]}")" -v sc="$(median "${sox_cpu[@]}")" 'BEGIN {
    wall = sw / rw
    cpu = sc / rc
    printf "sox / ondrilux-render: wall %.2f, CPU %.2f (target at least 3.00): %s\n", wall, cpu,
        (wall >= 3) ? "met" : "NOT met"
}'

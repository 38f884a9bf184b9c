#!/usr/bin/env bash
# Times ondrilux-render on a 10-minute MIDI file (a note every half second)
# against two peers, each as a whole process, in turn in one run: sox
# synthesising a 10-minute sine into the same kind of WAV file (mono, 48000
# frames/s, 32-bit float), and FluidSynth rendering the same MIDI file with
# its General MIDI SoundFont (reverb and chorus off, 48000 frames/s, float; it
# writes stereo). Prints each one's medians and, per round, how many times
# longer the peer took, as medians. The renderer should be at least 3 times
# faster than sox.
# Usage: bench/render_vs_peers.sh [RENDERER] [REPETITIONS]
# FluidSynth (packages fluidsynth and a GM SoundFont such as
# timgm6mb-soundfont) is left out when it is not installed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
renderer=${1:-$here/build/renderer/ondrilux-render}
repetitions=${2:-5}
soundfont=/usr/share/sounds/sf2/default-GM.sf2
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

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A commands=(
    [ondrilux-render]="$renderer --tail 0 $work/song.mid $work/render.wav"
    [sox]="sox -n -r 48000 -c 1 -e floating-point -b 32 $work/sox.wav synth 600 sine 440"
)
names=(ondrilux-render sox)
if command -v fluidsynth >/dev/null && [ -e "$soundfont" ]; then
    commands[fluidsynth]="fluidsynth -n -i -q -R 0 -C 0 -r 48000 -O float -T wav -F $work/fluidsynth.wav $soundfont $work/song.mid"
    names+=(fluidsynth)
else
    echo "fluidsynth or $soundfont missing: left out" >&2
fi

declare -A wall cpu wall_ratio cpu_ratio
# In turn, so that all see the same state of the machine; each peer's ratio
# is taken against the renderer's run of the same round.
for ((r = 0; r < repetitions; r++)); do
    for name in "${names[@]}"; do
        read -r w c <<<"$(time_one ${commands[$name]})"
        wall[$name]+=" $w" cpu[$name]+=" $c"
        [ "$name" = ondrilux-render ] && { rw=$w rc=$c; continue; }
        wall_ratio[$name]+=" $(awk -v a="$w" -v b="$rw" 'BEGIN { print a / b }')"
        cpu_ratio[$name]+=" $(awk -v a="$c" -v b="$rc" 'BEGIN { print a / (b > 0 ? b : 1) }')"
    done
done

for name in "${names[@]}"; do
    printf '%-16s wall median %5s ms (%s), CPU median %5s ms (%s)\n' "$name:" \
        "$(median ${wall[$name]})" "${wall[$name]# }" "$(median ${cpu[$name]})" "${cpu[$name]# }"
done
frames() { soxi -s "$work/$1.wav" 2>/dev/null; }
echo "frames written: ondrilux-render $(frames render), sox $(frames sox)$([ -e "$work/fluidsynth.wav" ] &&
    echo ", fluidsynth $(frames fluidsynth) (stereo)"); repetitions: $repetitions"
for name in "${names[@]:1}"; do
    printf '%s / ondrilux-render, median of the rounds: wall %.2f, CPU %.2f\n' "$name" \
        "$(median ${wall_ratio[$name]})" "$(median ${cpu_ratio[$name]})"
done
awk -v r="$(median ${wall_ratio[sox]})" 'BEGIN {
    printf "the renderer at least 3 times faster than sox: %s\n", (r >= 3) ? "met" : "NOT met" }'

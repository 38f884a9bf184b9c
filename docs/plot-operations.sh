#!/usr/bin/env bash
# Draws docs/operations.png: one period of a held note under each of the 13 bit
# operations, at three envelope levels, as ondrilux-render plays it.
# Usage: docs/plot-operations.sh [ONDRILUX_RENDER] [OUTPUT.png]
# Needs gnuplot (gnuplot-nox) and sox, both in scripts/install-deps.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
render=${1:-$here/../build/renderer/ondrilux-render}
output=${2:-$here/operations.png}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The operations' short names, as --help lists them under --operation:
# "                     4 shift left by 2".
mapfile -t titles < <("$render" --help | awk '
    /^  --/ { listing = ($1 == "--operation") }
    listing && /^ +[0-9]+ / { sub(/^ +[0-9]+ /, ""); print }')
[ "${#titles[@]}" -eq 13 ] || { echo "$render --help lists ${#titles[@]} operations, not 13" >&2; exit 1; }

# A3 (MIDI note 57, 220 Hz): a period of round(48000 / 220) = 218 frames.
note=57 period=218
# The attack starts 1001 frames after the note-on, at phase 0; by 0.2 s the
# 1-frame attack and 1 ms decay are long over and the level is the sustain's.
first=$((1001 + 44 * period))
levels=(100 50 20)

# A format 0 file, 960 ticks a second: note-on at 0, note-off at 0.4 s.
pitch=$(printf '\\x%02x' "$note")
printf "MThd\0\0\0\6\0\0\0\1\1\xe0MTrk\0\0\0\x0d\0\x90$pitch\x64\x83\0\x80$pitch\0\0\xff\x2f\0" >"$work/note.mid"

for op in $(seq 13); do
    for level in "${levels[@]}"; do
        "$render" --operation "$op" --attack 1 --decay 1 --sustain "$level" --tail 0 \
            "$work/note.mid" "$work/note.wav" 2>/dev/null
        # One period as "frame value" lines; x in periods, from 0 to 1.
        sox -V1 "$work/note.wav" -t dat - trim "${first}s" "${period}s" |
            awk -v p="$period" '!/^;/ { print (NR - 3) / p, $2 }' >"$work/op$op-$level.dat"
    done
done

{
    cat <<GNUPLOT
set terminal pngcairo size 1500,1080 font "DejaVu Sans,11"
set output "$output"
set multiplot layout 4,4 title "One period of a held A3 (220 Hz) under each bit operation, at three envelope levels\\n(output samples from ondrilux-render; range bar 40 to 90, static value 50)" font ",13" margins 0.035,0.99,0.04,0.9 spacing 0.03,0.075
set xrange [0:1]
set yrange [-1.05:1.05]
set xtics ("0" 0, "¼" 0.25, "½" 0.5, "¾" 0.75, "1" 1)
set ytics -1, 0.5, 1
set grid
set key off
GNUPLOT
    for op in $(seq 13); do
        echo "set title \"$op  ${titles[op - 1]}\" font \",12\""
        echo "plot for [level in \"${levels[*]}\"] \"$work/op$op-\".level.\".dat\" using 1:2 with steps lw 2 title level.\" %\""
    done
    # The key in the next free panel.
    cat <<GNUPLOT
unset title
unset border
unset tics
unset grid
set key center center box font ",13" title "envelope level"
set yrange [0:1]
plot for [level in "${levels[*]}"] NaN with lines lw 3 title level." %"
unset multiplot
GNUPLOT
} >"$work/plot.gp"
gnuplot "$work/plot.gp"
echo "wrote $output"

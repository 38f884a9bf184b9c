#!/usr/bin/env bash
# Draws docs/tuning-19-edo.png: each key's pitch under a Scala scale, in cents
# from the same key in 12-TET, measured from what ondrilux-render plays.
# Usage: docs/plot-tuning.sh [ONDRILUX_RENDER] [SCALE.scl] [OUTPUT.png]
# Needs gnuplot (gnuplot-nox) and sox, both in scripts/install-deps.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
render=${1:-$here/../build/renderer/ondrilux-render}
scale=${2:-$here/19-edo.scl}
output=${3:-$here/tuning-19-edo.png}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Keys 36 to 84, each held 0.45 s, one every 0.5 s: a format 0 file at 960
# ticks a second, 9 bytes a key (note-on; 432 ticks later its note-off).
first=36 last=84
track=
for key in $(seq "$first" "$last"); do
    delay='\x30'
    [ "$key" -gt "$first" ] || delay='\x00'
    track+="$delay\\x90$(printf '\\x%02x' "$key")\\x64\\x83\\x30\\x80$(printf '\\x%02x' "$key")\\x00"
done
length=$((9 * (last - first + 1) + 4))
# shellcheck disable=SC2059 # the bytes are escapes in the format
printf "MThd\0\0\0\6\0\0\0\1\1\xe0MTrk\0\0$(printf '\\x%02x\\x%02x' $((length >> 8)) $((length & 255)))$track\\x00\\xff\\x2f\\x00" >"$work/keys.mid"

# A steady sine (the bit operation changes nothing with static value 0 and the
# widest range), its pitch measured from its rising zero crossings between
# 0.1 and 0.4 s after each note-on, interpolated between frames.
"$render" --scale "$scale" --static 0 --top 243 --attack 1 --decay 1 --sustain 100 --release 1 \
    --tail 0 "$work/keys.mid" "$work/keys.wav"
sox -V1 "$work/keys.wav" -t dat - | awk -v first="$first" '
    !/^;/ {
        note = int($1 / 0.5); at = $1 - note * 0.5
        if (note != last_note) { finish(); last_note = note; rises = 0 }
        if (at > 0.1 && at < 0.4 && previous < 0 && $2 >= 0) {
            t = $1 - (1 / 48000) * $2 / ($2 - previous)
            if (rises++ == 0) t0 = t
            t1 = t
        }
        previous = $2
    }
    # Per key: cents from the same key in 12-TET, then from the nearest
    # 12-TET pitch, and that pitch by name.
    function finish(   key, hz, semitones, nearest) {
        if (rises < 2) return
        key = first + last_note; hz = (rises - 1) / (t1 - t0)
        semitones = 69 + 12 * log(hz / 440) / log(2); nearest = int(semitones + 0.5)
        split("C C# D D# E F F# G G# A A# B", names)
        printf "%d %.4f %.4f %s%d\n", key, 100 * (semitones - key), 100 * (semitones - nearest),
            names[nearest % 12 + 1], int(nearest / 12) - 1
    }
    END { finish() }' >"$work/cents.dat"
[ "$(wc -l <"$work/cents.dat")" -eq $((last - first + 1)) ] || { echo "not every key sounded" >&2; exit 1; }

name=$(grep -v '^!' "$scale" | head -1)
gnuplot <<GNUPLOT
set terminal pngcairo size 900,720 font "DejaVu Sans,11"
set output "$output"
set multiplot layout 2,1 title "$name, each key's pitch against 12-TET\n(ondrilux-render --scale $(basename "$scale"), measured from its output; key 60 at 261.6255653 Hz, degree 0)"
set xrange [$((first - 1)):$((last + 1))]
set xtics ("C2 36" 36, "C3 48" 48, "C4 60" 60, "C5 72" 72, "C6 84" 84)
set grid
set key off
set arrow 1 from 60, graph 0 to 60, graph 1 nohead dt 2 lc rgb "#888888"
set ylabel "cents from the same key"
plot 0 lc rgb "#888888", "$work/cents.dat" using 1:2 with linespoints pt 7 ps 0.8 lc rgb "#008800"
set xlabel "key (MIDI note)"
set ylabel "cents from the nearest 12-TET note"
set yrange [-60:60]
set ytics -50, 25, 50
plot 0 lc rgb "#888888", "$work/cents.dat" using 1:3 with impulses lw 3 lc rgb "#008800", \
     "" using 1:(\$3 + (\$3 < 0 ? -5 : 5)):4 with labels font ",7"
unset multiplot
GNUPLOT
echo "wrote $output"

#!/usr/bin/env bash
# Writes docs/demo.mid, the short tune of the README's first sound: sixteen
# notes in A minor on MIDI channel 1, ending on a long A4 held while the
# envelope decays, so the timbre is heard moving. Format 0, 480 ticks per
# quarter note at 112 beats per minute; each note sounds for nine tenths of
# its beats, so every note starts from a released one.
# Usage: docs/write-demo-tune.sh [OUTPUT.mid]
set -euo pipefail
output=${1:-$(dirname "$0")/demo.mid}

# MIDI note and length in eighth notes: A3 E4 A4 G4 E4 | F4 E4 D4 C4 |
# D4 F4 A4 C5 | B4 E4 | A4.
tune=(57 2 64 2 69 2 67 1 64 1 65 3 64 1 62 2 60 2 62 2 65 2 69 2 72 2 71 4 64 4 69 8)
eighth=240 # ticks

# Bytes as printf escapes, so the track can be measured before it is written.
bytes() { for b; do printf '\\x%02x' "$b"; done; }
# A delta time as MIDI writes it: 7 bits a byte, most significant first, the
# high bit set on all but the last.
delta() {
    local v=$1 out=$(($1 & 0x7f))
    while ((v >>= 7)); do out="$(((v & 0x7f) | 0x80)) $out"; done
    bytes $out # one argument a byte
}

track=$(delta 0)$(bytes 0xff 0x51 3 0x08 0x2c 0x92) # tempo: 535714 µs a quarter note
rest=0
for ((i = 0; i < ${#tune[@]}; i += 2)); do
    note=${tune[i]} ticks=$((tune[i + 1] * eighth))
    sounding=$((ticks * 9 / 10))
    track+=$(delta $rest)$(bytes 0x90 "$note" 100)$(delta $sounding)$(bytes 0x80 "$note" 0)
    rest=$((ticks - sounding))
done
track+=$(delta $rest)$(bytes 0xff 0x2f 0)

length=$(printf %b "$track" | wc -c)
header=$(bytes 0 0 0 6 0 0 0 1 0x01 0xe0)
size=$(bytes $((length >> 24 & 255)) $((length >> 16 & 255)) $((length >> 8 & 255)) $((length & 255)))
printf %b "MThd${header}MTrk${size}${track}" >"$output"
echo "wrote $output"

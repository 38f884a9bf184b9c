#!/usr/bin/env bash
# Builds a libFuzzer target with clang (AddressSanitizer and UBSan on) and runs
# it for a bounded time on its corpus in tests/fuzz/corpus/NAME.
# Usage: scripts/run-fuzzer.sh NAME SECONDS BUILD_DIR
set -euo pipefail
name=$1 seconds=$2 build=$3
root=$(cd "$(dirname "$0")/.." && pwd)
out="$build/fuzz"
mkdir -p "$out"

case "$name" in
note_handling)
    sources=("$root"/engine/{synth_state,envelope,oscillator,waveshaper,render_callback}.cpp
             "$root"/midi/note_handling.cpp "$root"/tests/fuzz/note_handling_fuzz.cpp) ;;
*)
    # Other targets bring their own list: tests/fuzz/NAME.sources, paths from the root.
    mapfile -t rel <"$root/tests/fuzz/$name.sources"
    sources=("${rel[@]/#/$root/}") ;;
esac

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root" $(pkg-config --cflags portaudio-2.0) "${sources[@]}" -o "$out/$name"

# New inputs go to a scratch folder, so the committed corpus stays as it is.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$out/$name" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -rss_limit_mb=1024 -timeout=5 "$scratch" "$root/tests/fuzz/corpus/$name" 2>&1 | tail -n 12
exit "${PIPESTATUS[0]}"

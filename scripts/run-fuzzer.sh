#!/usr/bin/env bash
# Builds a libFuzzer target with clang (AddressSanitizer and UBSan on) and runs
# it for a bounded time on its corpus in tests/fuzz/corpus/NAME. The build's
# tests/fuzz folder holds NAME.sources: the target's sources, one path a line,
# as CMake took them from the libraries it tests.
# Usage: scripts/run-fuzzer.sh NAME SECONDS FUZZ_BUILD_DIR
set -euo pipefail
name=$1 seconds=$2 build=$3
root=$(cd "$(dirname "$0")/.." && pwd)
out="$build/bin"
mkdir -p "$out"

mapfile -t sources <"$build/$name.sources"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root" $(pkg-config --cflags portaudio-2.0) "${sources[@]}" -o "$out/$name"

# New inputs go to a scratch folder, so the committed corpus stays as it is.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$out/$name" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -rss_limit_mb=1024 -timeout=5 "$scratch" "$root/tests/fuzz/corpus/$name" 2>&1 | tail -n 12
exit "${PIPESTATUS[0]}"

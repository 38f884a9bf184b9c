#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Ondrilux
# needs. Idempotent: asks apt only for what is missing; sudo only when not root.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config
  # libraries
  qt6-base-dev portaudio19-dev librtmidi-dev libjack-jackd2-dev libasound2-dev
  libsndfile1-dev libsmf-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
  # real parts for end-to-end tests: JACK on the dummy driver, ALSA's jack
  # plugin, a virtual X display and tools to drive and photograph it
  jackd2 libasound2-plugins alsa-utils xvfb xdotool imagemagick x11-utils sox
  # packaging: validators of the installed desktop entry, metainfo and manual
  # pages, the Debian package's tools and checker, and the README's figure
  desktop-file-utils appstream man-db dpkg-dev file lintian gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable real-time priority; answer for it.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo debconf-set-selections
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2

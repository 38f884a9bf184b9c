#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Ondrilux
# needs. Idempotent: asks apt only for what is missing; sudo only when not root.
# Never removes or replaces an installed package: apt simulates first, and a
# package whose installation would remove another is left out, with a line
# saying why (the tests that need it then skip themselves).
set -euo pipefail
source "$(dirname "$0")/debian-packages.sh"

packages=(
  # build
  cmake g++ make pkg-config
  # libraries, and Qt's platform plugin for Wayland desktops
  qt6-base-dev qt6-wayland portaudio19-dev librtmidi-dev libjack-jackd2-dev libasound2-dev
  libsndfile1-dev libxcb1-dev
  libsamplerate0-dev # ondrilux-jack and the plugin: resampling at rates other than 48000 Hz
  lv2-dev sordi      # the LV2 plugin, and lv2_validate (sordi: its validator) for its description
  # hosts that load the plugin in the tests: lilv (the library hosts use, and
  # lv2info / lv2ls) and jalv on the test JACK server
  liblilv-dev lilv-utils jalv
  ardour # a real DAW (Ardour 7, headless through ardour7-lua) that plays the plugin on a track
  # tests and benchmarks
  libgtest-dev libbenchmark-dev clang libclang-rt-dev
  # real parts for end-to-end tests: JACK on the dummy driver, ALSA's jack
  # plugin, a virtual X display and tools to drive and photograph it
  jackd2 libasound2-plugins alsa-utils xvfb xdotool imagemagick x11-utils sox
  # packaging: validators of the installed desktop entry, metainfo and manual
  # pages, the Debian package's tools and checker, and the README's figure
  desktop-file-utils appstream man-db dpkg-dev file lintian gnuplot-nox
  # the desktop stacks the end-to-end tests also run on: PipeWire with its
  # JACK layer, PulseAudio, and a headless Wayland compositor; xauth for a
  # display that refuses the connection
  $(desktop_stack_packages pipewire) $(desktop_stack_packages pulseaudio)
  $(desktop_stack_packages wayland) wayland-utils xauth
  # the page in a browser: the engine compiled to WebAssembly, node to test the
  # module, and a browser the page's tests drive (npm fetches puppeteer-core;
  # a Node.js from elsewhere, such as NodeSource's, brings its own npm and
  # conflicts with Debian's)
  emscripten nodejs chromium $(command -v npm >/dev/null 2>&1 || echo npm)
  # a real kernel's ALSA for the guest tests (scripts/run-in-guest.sh): qemu,
  # Debian's kernel with its sound modules, and a static busybox for its
  # start-up image
  qemu-system-x86 linux-image-amd64 busybox-static xz-utils cpio
)

if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps.sh: this system has no apt (it installs Debian or Ubuntu packages);" \
       "install the equivalents of these by hand: ${packages[*]}" >&2
  exit 1
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'); do
  package_installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq

# Sound servers conflict (pulseaudio with pipewire-pulse and pipewire-alsa):
# on a desktop that runs one, the other is left out.
if [ -n "$(package_removals "${missing[@]}")" ]; then
  kept=()
  for p in "${missing[@]}"; do
    removed=$(package_removals "$p" | tr '\n' ' ')
    if [ -n "$removed" ]; then
      echo "install-deps.sh: leaving out $p: installing it would remove ${removed% }" >&2
    else
      kept+=("$p")
    fi
  done
  missing=("${kept[@]+"${kept[@]}"}")
  # Each alone removes nothing; together they still might.
  if [ ${#missing[@]} -gt 0 ] && [ -n "$(package_removals "${missing[@]}")" ]; then
    echo "install-deps.sh: installing ${missing[*]} together would remove" \
         "$(package_removals "${missing[@]}" | tr '\n' ' ')- install them by hand" >&2
    exit 1
  fi
  [ ${#missing[@]} -eq 0 ] && exit 0
fi

echo "Installing: ${missing[*]}" >&2
# jackd2 asks whether to enable real-time priority; answer for it.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo debconf-set-selections
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2

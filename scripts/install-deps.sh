#!/usr/bin/env bash
# Installs the Debian packages that building and playing Ondrilux need; with
# --web also the compiler of the page, with --tools also the tools the
# README's commands use beside the programs, with --test also everything
# testing needs. Idempotent: asks apt only for what is missing; sudo only when
# not root.
# Usage: scripts/install-deps.sh [--web | --tools | --test]
# Never removes or replaces an installed package, and never installs a
# kernel: apt simulates first, and a package it cannot install here (one the
# archive does not have, on another release or architecture) or whose
# installation would remove another is left out, with a line saying why (the
# tests that need it then skip themselves).
set -euo pipefail
here=$(dirname "$0")
source "$here/debian-packages.sh"

# What `make run`, `make install` and `make package` need.
packages=(
  cmake g++ make pkg-config
  # libraries, and Qt's platform plugin for Wayland desktops
  qt6-base-dev qt6-wayland portaudio19-dev librtmidi-dev libjack-jackd2-dev libasound2-dev
  libsndfile1-dev libxcb1-dev
  libsamplerate0-dev # ondrilux-jack and the plugins: resampling at rates other than 48000 Hz
  lv2-dev
  # the plugins' panel (cairo on an X11 window, the desktop's file chooser over
  # D-Bus), the CLAP and the VST3-compatible headers
  libcairo2-dev libx11-dev libdbus-1-dev dpf-source
  # the Debian package: its dependencies read from the binaries
  dpkg-dev file
)

# What `make web` adds: the engine compiled to WebAssembly.
web_packages=(emscripten)

# What `make tools` adds: the commands the README plays with beside the
# programs. A JACK server and its tools (jackd, jack_connect, jack_lsp), ALSA's
# (aplay, aconnect), lilv's (lv2ls, lv2info) and jalv to try the LV2 plugin
# alone, a virtual keyboard, and what docs/plot-operations.sh draws with.
tool_packages=(jackd2 alsa-utils lilv-utils jalv vmpk sox gnuplot-nox)

# What `make test` adds to both.
test_packages=(
  # tests and benchmarks
  libgtest-dev libbenchmark-dev clang libclang-rt-dev
  # hosts that load the plugins in the tests: lilv (the library hosts use, and
  # lv2info / lv2ls), lv2_validate's validator sordi, jalv on the test JACK
  # server, a real DAW (Ardour 7, headless through ardour7-lua) that plays the
  # plugin on a track, and Qtractor, whose scanner lists the CLAP plugin
  liblilv-dev lilv-utils sordi jalv ardour qtractor
  # real parts for end-to-end tests: JACK on the dummy driver, ALSA's jack
  # plugin, a virtual X display and tools to drive and photograph it
  jackd2 libasound2-plugins alsa-utils xvfb xdotool imagemagick x11-utils sox
  # validators of the installed desktop entry, metainfo and manual pages, the
  # Debian package's checker, the README's figure, and a peer of the renderer
  # for bench/render_vs_peers.sh (its General MIDI SoundFont comes with it)
  desktop-file-utils appstream man-db lintian gnuplot-nox fluidsynth
  # the desktop stacks the end-to-end tests also run on: PipeWire with its
  # JACK layer, PulseAudio, and a headless Wayland compositor; xauth for a
  # display that refuses the connection
  $(desktop_stack_packages pipewire) $(desktop_stack_packages pulseaudio)
  $(desktop_stack_packages wayland) wayland-utils xauth
  # the page in a browser: node to test the module, and a browser the page's
  # tests drive (npm fetches puppeteer-core; a Node.js from elsewhere, such as
  # NodeSource's, brings its own npm and conflicts with Debian's)
  nodejs chromium $(command -v npm >/dev/null 2>&1 || echo npm)
  # a real kernel's ALSA for the guest tests (scripts/run-in-guest.sh): qemu, a
  # static busybox for its start-up image, and what unpacks Debian's kernel
  # package into a cache (downloaded, not installed)
  qemu-system-x86 busybox-static xz-utils cpio kmod
)

testing=false
case "${1:-}" in
  --test) testing=true; packages+=("${web_packages[@]}" "${test_packages[@]}") ;;
  --web) packages+=("${web_packages[@]}") ;;
  --tools) packages+=("${tool_packages[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--web | --tools | --test]" >&2; exit 2 ;;
esac

if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps.sh: this system has no apt (it installs Debian or Ubuntu packages);" \
       "install the equivalents of these by hand: ${packages[*]}" >&2
  exit 1
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'); do
  package_installed "$p" || missing+=("$p")
done

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
[ ${#missing[@]} -eq 0 ] || $sudo apt-get update -qq

# What apt cannot install, or only by removing another package (sound servers
# conflict: pulseaudio with pipewire-pulse and pipewire-alsa), is left out.
if [ ${#missing[@]} -gt 0 ] && ! package_installable "${missing[@]}" >/dev/null; then
  kept=()
  for p in "${missing[@]}"; do
    if why=$(package_installable "$p"); then
      kept+=("$p")
    else
      echo "install-deps.sh: leaving out $p: $why" >&2
    fi
  done
  missing=("${kept[@]+"${kept[@]}"}")
  # Each alone installs cleanly; together they still might not.
  if [ ${#missing[@]} -gt 0 ] && ! why=$(package_installable "${missing[@]}"); then
    echo "install-deps.sh: installing ${missing[*]} together: $why - install them by hand" >&2
    exit 1
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  # jackd2 asks whether to enable real-time priority; answer for it.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo debconf-set-selections
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# The guest tests' kernel: Debian's package unpacked into a cache, never installed.
if $testing; then
  bash "$here/run-in-guest.sh" --fetch-kernel ||
    echo "install-deps.sh: no kernel for the guest tests; they will skip" >&2
fi

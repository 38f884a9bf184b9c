#!/usr/bin/env bash
# Installs a build into a temporary DESTDIR under /usr and checks it:
#   validators  the desktop entry, metainfo, manual pages and plugin bundle
#               pass their validators, every program has its page, a host finds
#               the plugin's ports, the CLAP and VST3 plugins export their entry
#               points alone, nothing else is installed
#   render      the installed ondrilux-render tells its version and renders a file
#   deps        what scripts/install-deps.sh asks apt to install on a machine
#               with nothing, for `make run`, `make tools` and `make test`
#   user_plugins  `make install-plugins-user` puts each plugin where its hosts
#               look with no variable set, and its reverse takes them away
#   package     the Debian package: lintian has nothing to say, its description
#               names every form, and `dpkg -r` leaves nothing behind
# Usage: check_install.sh validators|render|deps|user_plugins|package BUILD_DIR APP_ID VERSION
# Exit status 77 with one line: a tool the check needs is not installed.
set -euo pipefail
check=$1 build=$2 id=$3 version=$4
here=$(cd "$(dirname "$0")" && pwd)
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
usr=$dest/usr
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
needs() {
    for tool; do
        command -v "$tool" >/dev/null || { echo "install $check: skipped: no $tool" >&2; exit 77; }
    done
}
case $check in
validators) needs desktop-file-validate appstreamcli man lv2_validate lv2info ;;
render) needs file sox ;;
user_plugins) needs lv2ls lv2info ;;
package)
    needs cpack lintian dpkg-deb
    ! grep -q '^ONDRILUX_SANITIZE:STRING=.' "$build/CMakeCache.txt" ||
        { echo "install package: skipped: a sanitizer build is not packaged" >&2; exit 77; }
    ;;
esac
[[ $check =~ ^(deps|user_plugins|package)$ ]] || DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
# A validator passes when it prints nothing and succeeds.
quiet() {
    local out
    out=$("$@" 2>&1) || fail "$* exited with $?"
    [ -z "$out" ] || fail "$*: $out"
}

case $check in
validators)
    quiet desktop-file-validate "$usr/share/applications/$id.desktop"
    appstreamcli validate --no-net "$usr/share/metainfo/$id.metainfo.xml" >/dev/null ||
        fail "appstreamcli validate: $(appstreamcli validate --no-net "$usr/share/metainfo/$id.metainfo.xml")"
    for program in "$usr"/bin/*; do
        name=$(basename "$program")
        page=$usr/share/man/man1/$name.1.gz
        [ -f "$page" ] || fail "$name has no manual page"
        quiet sh -c 'man --warnings -l "$1" >/dev/null' man "$page"
        grep -q "<binary>$name</binary>" "$usr/share/metainfo/$id.metainfo.xml" ||
            fail "the metainfo does not provide $name"
    done
    [ -f "$usr/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon $id.svg"
    # The plugin's bundle: valid as LV2 defines it, and a host
    # finds every port with its range and default.
    bundle=$usr/lib/lv2/ondrilux.lv2
    report=$(lv2_validate "$bundle"/*.ttl 2>&1) || fail "lv2_validate exited with $?"
    grep -q '^Found 0 errors' <<<"$report" || fail "lv2_validate: $report"
    info=$(LV2_PATH=$usr/lib/lv2 lv2info https://ondrilux.org/lv2/ondrilux 2>&1) || fail "lv2info: $info"
    for symbol in midi_in out operation static_value attack decay sustain release range_top \
        range_bottom quick_start latency bend_range glide glide_legato velocity channel level; do
        grep -q "Symbol: *$symbol\$" <<<"$info" || fail "lv2info lists no port $symbol"
    done
    [ "$(grep -c 'Default:' <<<"$info")" -eq 16 ] || fail "lv2info: not every control has a default"
    # The DSP library loads where there is no display; the panel, when it is
    # built, is a library of its own that hosts find as an X11 UI.
    ! readelf -d "$bundle/ondrilux.so" | grep -Eq 'lib(cairo|X11)' ||
        fail "ondrilux.so links cairo or X11: $(readelf -d "$bundle/ondrilux.so" | grep NEEDED)"
    if [ -f "$bundle/ondrilux_ui.so" ]; then
        grep -q 'Class: *http://lv2plug.in/ns/extensions/ui#X11UI' <<<"$info" ||
            fail "lv2info lists no X11 UI: $info"
    fi
    # Hosts show it as a release of the project's version (twice major * 100 +
    # minor, twice the patch: LV2's minor above 0, both even), and turn every
    # knob linearly, as the window's sliders go.
    IFS=. read -r major minor patch <<<"$version"
    grep -q "lv2:minorVersion $((2 * (10#$major * 100 + 10#$minor))) ;" "$bundle/ondrilux.ttl" &&
        grep -q "lv2:microVersion $((2 * 10#${patch:-0})) ;" "$bundle/ondrilux.ttl" ||
        fail "the plugin's version is not $version's: $(grep Version "$bundle/ondrilux.ttl")"
    ! grep -q logarithmic "$bundle/ondrilux.ttl" || fail "a control of the plugin turns logarithmically"
    # The CLAP plugin, where CLAP's headers let the build make it.
    if [ -f "$build/clap/ondrilux.clap" ]; then
        # clap_entry alone is exported (beside the linker's marks of the
        # library's end, and AddressSanitizer's mark of it in that build): two
        # plugins never meet in one host.
        exported=$(nm -D --defined-only "$usr/lib/clap/ondrilux.clap" 2>&1 | awk '{print $3}' |
            grep -vxE '__bss_start|_edata|_end|__odr_asan\.clap_entry') || fail "no CLAP plugin in lib/clap"
        [ "$exported" = clap_entry ] || fail "the CLAP plugin exports: $exported"
    fi
    # The VST3 bundle, where the headers let the build make it: its three
    # entry points alone exported.
    if [ -d "$build/vst3/ondrilux.vst3" ]; then
        exported=$(nm -D --defined-only "$usr"/lib/vst3/ondrilux.vst3/Contents/*-linux/ondrilux.so 2>&1 |
            awk '{print $3}' | grep -vxE '__bss_start|_edata|_end|__odr_asan\..*') || fail "no VST3 bundle in lib/vst3"
        [ "$(echo $exported)" = "GetPluginFactory ModuleEntry ModuleExit" ] || fail "the VST3 plugin exports: $exported"
    fi
    # Programs, their pages, the desktop files and the plugins only: no tests,
    # benchmarks or fuzzers.
    stray=$(cd "$usr" && find . -type f | grep -Ev '^\./(bin/ondrilux[a-z-]*|share/man/man1/ondrilux[a-z-]*\.1\.gz|share/applications/|share/metainfo/|share/icons/hicolor/|share/doc/ondrilux/|lib/lv2/ondrilux\.lv2/|lib/clap/ondrilux\.clap$|lib/vst3/ondrilux\.vst3/)' || true)
    [ -z "$stray" ] || fail "installed beyond the application: $stray"
    ;;
render)
    got=$("$usr/bin/ondrilux-render" --version)
    [ "$got" = "ondrilux-render $version" ] || fail "--version printed '$got'"
    out=$dest/note.wav
    "$usr/bin/ondrilux-render" --tail 0.1 "$here/../fuzz/corpus/midi_file_reader/note.mid" "$out" 2>/dev/null ||
        fail "render exited with $?"
    # A mono float WAV at 48000 frames/s with sound in it.
    file "$out" | grep -q 'WAVE audio, .* mono 48000 Hz' || fail "not a mono 48 kHz WAV: $(file "$out")"
    peak=$(sox "$out" -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')
    awk -v p="${peak:-0}" 'BEGIN { exit !(p > 0.01) }' || fail "silent render (peak ${peak:-none})"
    ;;
deps)
    # Stand-ins for apt and dpkg: nothing is installed, the archive has
    # everything but dpf-source, and each request to apt-get is recorded.
    fake=$dest/bin && mkdir "$fake"
    printf '#!/bin/sh\nexit 1\n' >"$fake/dpkg-query"
    printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
    printf '#!/bin/sh\ncat >/dev/null\n' >"$fake/debconf-set-selections"
    cat >"$fake/apt-get" <<'APT'
#!/bin/bash
echo "$*" >>"${0%/*}/asked"
case " $* " in
*" download "*) exit 100 ;;
*" -s "*" dpf-source "*) echo "E: Unable to locate package dpf-source"; exit 100 ;;
esac
APT
    chmod +x "$fake/dpkg-query" "$fake/sudo" "$fake/debconf-set-selections" "$fake/apt-get"
    # Worked out from what each command needs, not read from the script.
    building="cmake g++ make pkg-config qt6-base-dev qt6-wayland portaudio19-dev librtmidi-dev
        libjack-jackd2-dev libasound2-dev libsndfile1-dev libsamplerate0-dev lv2-dev
        libcairo2-dev libx11-dev libdbus-1-dev dpkg-dev"
    testing="libgtest-dev liblilv-dev jalv ardour qtractor jackd2 xvfb xdotool sox clang
        emscripten chromium qemu-system-x86 busybox-static weston pulseaudio pipewire"
    declare -A adds=([run]="" [test]="$testing"
        [tools]="jackd2 alsa-utils lilv-utils jalv vmpk sox gnuplot-nox") # the README's commands
    for goal in run tools test; do
        rm -f "$fake/asked"
        PATH=$fake:$PATH ONDRILUX_GUEST_CACHE=$dest/cache bash "$here/../../scripts/install-deps.sh" \
            $([ $goal = run ] || echo --$goal) >/dev/null 2>"$dest/said" || fail "make $goal: exited with $?"
        asked=" $(sed -n 's/^install -y -qq --no-install-recommends //p' "$fake/asked") "
        echo "make $goal installs:$asked"
        for p in $building ${adds[$goal]}; do
            [[ $asked == *" $p "* ]] || fail "make $goal does not install $p"
        done
        [ $goal != run ] || for p in $testing; do
            [[ $asked != *" $p "* ]] || fail "make run installs $p, which only the tests need"
        done
        [[ $asked != *" linux-image"* && $asked != *" dpf-source "* ]] ||
            fail "make $goal asks apt to install a kernel or dpf-source"
        [ "$(grep -c 'leaving out' "$dest/said")" = 1 ] &&
            grep -qx 'install-deps.sh: leaving out dpf-source: E: Unable to locate package dpf-source' "$dest/said" ||
            fail "make $goal does not leave out dpf-source alone, in one line: $(cat "$dest/said")"
    done
    ;;
user_plugins)
    uri=https://ondrilux.org/lv2/ondrilux
    ! HOME=$dest env -u LV2_PATH lv2ls | grep -qx "$uri" ||
        { echo "install user_plugins: skipped: the plugin is installed for every user here" >&2; exit 77; }
    HOME=$dest bash "$here/../../scripts/user-plugins.sh" install "$build" >/dev/null || fail "install exited with $?"
    # LV2: lilv's own path, which starts with ~/.lv2.
    bundle=$(HOME=$dest env -u LV2_PATH lv2info "$uri" | sed -n 's/^\tBundle: *//p')
    [ "$bundle" = "file://$dest/.lv2/ondrilux.lv2/" ] || fail "lv2info finds the bundle at '$bundle'"
    # CLAP: the folders CLAP's entry.h lists for Linux, searched through as a host does.
    headers=$(sed -n 's/^CLAP_INCLUDE_DIR:PATH=//p' "$build/CMakeCache.txt")
    if [ -f "$build/clap/ondrilux.clap" ]; then
        folders=$(sed -n '/^\/\/ Linux/,/^\/\/$/ s|^//   - ~|'"$dest"'|p; /^\/\/ Linux/,/^\/\/$/ s|^//   - /|/|p' \
            "$headers/clap/entry.h")
        { find $folders -name '*.clap' 2>/dev/null || true; } | grep -qx "$dest/.clap/ondrilux.clap" ||
            fail "no ondrilux.clap in CLAP's folders: $folders"
    fi
    # VST3, once built: ~/.vst3 is the first folder VST3 hosts search on Linux.
    [ ! -e "$build/vst3/ondrilux.vst3" ] || [ -d "$dest/.vst3/ondrilux.vst3" ] || fail "nothing in ~/.vst3"
    HOME=$dest bash "$here/../../scripts/user-plugins.sh" uninstall >/dev/null || fail "uninstall exited with $?"
    left=$(find "$dest" -name 'ondrilux*')
    [ -z "$left" ] || fail "left after uninstall: $left"
    ! HOME=$dest env -u LV2_PATH lv2ls | grep -qx "$uri" || fail "lv2ls still lists the plugin"
    ;;
package)
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$dest" >/dev/null || fail "cpack exited with $?"
    deb=$(echo "$dest"/ondrilux_*.deb)
    said=$(lintian "$deb" 2>/dev/null) || fail "lintian exited with $?"
    [ -z "$said" ] || fail "lintian: $said"
    # Every program and every plugin format the package holds, named in its description.
    description=$(dpkg-deb -f "$deb" Description)
    for form in $(dpkg-deb -c "$deb" | grep -oE '(usr/bin/ondrilux[a-z-]*|usr/lib/(lv2|clap|vst3)/)$' | sort -u); do
        name=$(basename "$form")
        [[ $form == usr/bin/* ]] || name=${name^^}
        grep -qw -- "$name" <<<"$description" || fail "the description does not name $name"
    done
    # Removed, it leaves nothing: no configuration files, no scripts to purge with.
    admin=$dest/admin && mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$dest/root"
    touch "$admin/status" "$admin/available"
    dpkg --admindir="$admin" --instdir="$dest/root" --force-depends --force-not-root -i "$deb" >/dev/null ||
        fail "dpkg -i exited with $?"
    dpkg --admindir="$admin" --instdir="$dest/root" --force-not-root -r ondrilux >/dev/null || fail "dpkg -r exited with $?"
    state=$(dpkg-query --admindir="$admin" -W -f '${db:Status-Abbrev}' ondrilux 2>/dev/null || true)
    [ -z "$state" ] && [ -z "$(find "$dest/root" -type f)" ] || fail "after dpkg -r: '$state', $(find "$dest/root" -type f)"
    ;;
*)
    fail "unknown check '$check'"
    ;;
esac
[ "$failures" -eq 0 ] && echo "install $check: passed"
exit $((failures > 0))

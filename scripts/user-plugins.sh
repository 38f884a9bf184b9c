#!/usr/bin/env bash
# Installs the built plugins for the user alone, in the folders their hosts
# search without being told: LV2's ~/.lv2, CLAP's ~/.clap and VST3's ~/.vst3;
# or removes them from there. Everything stays under HOME: no sudo.
# Usage: scripts/user-plugins.sh install BUILD_DIR
#        scripts/user-plugins.sh uninstall
set -euo pipefail
# Each format's plugin is lib/FORMAT/ondrilux.FORMAT as `cmake --install` lays
# it out (a bundle folder for LV2 and VST3, one file for CLAP), and goes to
# ~/.FORMAT; a format the build did not make is passed over.
formats=(lv2 clap vst3)

case ${1:-} in
install)
    build=${2:?usage: $0 install BUILD_DIR}
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
    for format in "${formats[@]}"; do
        plugin=$stage/usr/lib/$format/ondrilux.$format
        [ -e "$plugin" ] || continue
        mkdir -p "$HOME/.$format"
        # Removed, then copied anew: a host running with the old library
        # keeps its own copy instead of seeing it change under it.
        rm -rf "$HOME/.$format/ondrilux.$format"
        cp -R "$plugin" "$HOME/.$format/"
        echo "installed $HOME/.$format/ondrilux.$format"
    done
    ;;
uninstall)
    for format in "${formats[@]}"; do
        plugin=$HOME/.$format/ondrilux.$format
        [ -e "$plugin" ] || continue
        rm -rf "$plugin"
        echo "removed $plugin"
    done
    ;;
*)
    echo "usage: $0 install BUILD_DIR | uninstall" >&2
    exit 2
    ;;
esac

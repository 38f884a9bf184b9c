# Sourced by install-deps.sh and test-services.sh: what dpkg and apt say about
# packages, and the packages each desktop stack of the tests needs.

# Whether package $1 is installed.
package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The packages a simulated installation of "$@" would remove, one a line
# ("Remv" lines; a package that replaces a conflicting one removes it).
package_removals() {
    apt-get install -s --no-install-recommends "$@" 2>/dev/null | awk '$1 == "Remv" { print $2 }'
}

# Whether apt can install "$@" together here without removing anything;
# if not, one line on stdout says why (apt's first error, or what it would remove).
package_installable() {
    local plan removals
    plan=$(apt-get install -s --no-install-recommends "$@" 2>&1) ||
        { grep -m1 '^E: ' <<<"$plan" || echo "apt cannot install it"; return 1; }
    removals=$(awk '$1 == "Remv" { print $2 }' <<<"$plan" | tr '\n' ' ')
    [ -z "$removals" ] || { echo "installing it would remove ${removals% }"; return 1; }
}

# The Debian packages a desktop stack needs.
desktop_stack_packages() {
    case "$1" in
    pipewire) echo pipewire pipewire-bin wireplumber pipewire-jack dbus ;;
    pulseaudio) echo pulseaudio pulseaudio-utils libasound2-plugins ;;
    wayland) echo weston qt6-wayland ;;
    esac
}

# Shared by scripts/test and scripts/run: the Debian packages, then a Ninja build.
QELVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QELVO_BUILD="${QELVO_BUILD:-$QELVO_ROOT/build}"
# systemd brings systemd-analyze and systemd-sysusers, which check the watcher's unit and user.
QELVO_PACKAGES="cmake ninja-build g++ qt6-base-dev qt6-serialport-dev qt6-qpa-plugins xvfb xauth fonts-ipafont-gothic desktop-file-utils appstream ser2net poppler-utils python3-serial libmosquitto-dev mosquitto mosquitto-clients systemd"

# QELVO_NO_INSTALL=1 skips this (a machine that has the packages, or another distribution).
qelvo_install_packages() {
    [ -n "${QELVO_NO_INSTALL:-}" ] && return 0
    local missing=() p
    for p in $QELVO_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" </dev/null
}

# Extra CMake arguments (the sanitizer build passes its option) come as arguments.
qelvo_build() {
    local launcher=()
    # A compiler cache, where the machine has one, makes a rebuild in another work tree quick.
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$QELVO_ROOT" -B "$QELVO_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
    cmake --build "$QELVO_BUILD"
}

# ensure_packages NAME...: installs the Debian packages that are not installed yet.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# What building the program and its tools needs, and running them against a private server.
PROGRAM_PACKAGES=(cmake ninja-build g++ libpulse-dev pkg-config pulseaudio pulseaudio-utils
    python3)
# Packages that building and testing need.
BUILD_PACKAGES=("${PROGRAM_PACKAGES[@]}" googletest libgtest-dev libgmock-dev
    g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64
    pipewire pipewire-pulse pipewire-bin wireplumber dbus
    libbenchmark-dev libsamplerate0-dev libspeexdsp-dev clang libclang-rt-dev debootstrap
    dpkg-dev zip lintian tmux nodejs python3-pip python3-setuptools python3-wheel
    python3-venv)

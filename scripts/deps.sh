# Sourced by the scripts: installs what building and testing quillrun needs
# on Debian when something is missing (as root, through apt-get).
packages=(build-essential cmake ninja-build pkg-config libpq-dev libssl-dev libpg-query-dev
          nlohmann-json3-dev libsimdjson-dev postgresql postgresql-contrib
          googletest libgtest-dev tzdata tmux)

install_dependencies() {
    local missing=()
    for package in "${packages[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
        return 1
    fi
    echo "Installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Builds the optimised binary in build/release and sets $quillrun to it.
build_release() {
    local generator=()
    command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
    cmake -S . -B build/release "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DQUILLRUN_TESTS=OFF >/dev/null
    cmake --build build/release -j "$(nproc)" --target quillrun >/dev/null
    quillrun=$PWD/build/release/quillrun
}

# Shared by the scripts in scripts/.

# Installs the Debian packages among "$@" that are not installed yet.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The service history reaches its database through Qt SQL's driver plugins: SQLite
# on a bench, PostgreSQL for a shop's shared server.
BUILD_PACKAGES=(cmake make g++ pkg-config qtbase5-dev libqt5serialport5-dev libqt5svg5-dev
    libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev fonts-liberation)
# The same tree also builds on Qt 6; the suite runs on both.
QT6_PACKAGES=(qt6-base-dev qt6-serialport-dev qt6-svg-dev libqt6sql6-sqlite libqt6sql6-psql)
# The throwaway server the history tests run against as well (scripts/postgresql).
POSTGRESQL_PACKAGES=(postgresql)

# configure_and_build DIR [cmake args...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

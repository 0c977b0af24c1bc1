# Installs the Debian packages given as arguments that are not installed yet: one
# `apt-get update`, then `apt-get install -y`; through sudo only when not root.
# Sourced by run.sh and test.sh.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local run_as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        run_as_root=(sudo)
    fi
    echo "Installing missing packages: ${missing[*]}"
    printf '%s\n' "${DEBCONF_ANSWERS[@]}" | "${run_as_root[@]}" debconf-set-selections
    "${run_as_root[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

# What every build needs (doctest: the serial port contract test, built with the rest; Qt Charts:
# the history window's chart).
BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config qtbase5-dev libqt5charts5-dev libgl-dev doctest-dev nlohmann-json3-dev)

# What the tests need beyond the build: socat makes the serial bridge that a port is shared with.
TEST_PACKAGES=(socat)

# Tango Controls, for vkr-tango-server and its tests; without it the rest still builds and passes.
TANGO_PACKAGES=(libtango-dev)
# The Tango test starts a Tango database of its own (MariaDB and tango-db's DataBaseds) and
# registers its servers with tango_admin (libtango-tools); without them it skips those rows. It runs
# docs/tango.md's Python client with PyTango (python3-tango), or skips that row.
TANGO_TEST_PACKAGES=(mariadb-server tango-db libtango-tools python3-tango)

# Answers to installation questions, given before apt-get asks: tango-db would otherwise offer to
# set up the machine's Tango database through dbconfig-common, where the tests want none.
DEBCONF_ANSWERS=("tango-db tango-db/dbconfig-install boolean false")

# What tools/check-package.sh needs to make the Debian package and check it: dpkg-shlibdeps
# (dpkg-dev), readelf (binutils, with g++), file (CPack finds the binaries with it), and the checkers.
PACKAGE_CHECK_PACKAGES=(dpkg-dev file lintian appstream desktop-file-utils)

# What the Windows build and its check under Wine need: the cross compilers, Wine, NSIS for the
# installer, an X server and xdotool for the window, dpkg-source for unpacking Qt's sources.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 wine64 nsis xvfb xdotool x11-apps dpkg-dev)

#!/usr/bin/env bash
# Builds VKR Calibrator for 64-bit Windows on Debian with mingw-w64.
#
# Debian packages no Qt for Windows, but its archive serves the sources of its own Qt packages. This
# script fetches them through a private apt configuration (a deb-src list of the archive this machine
# already uses, kept in the cache folder; the system's sources are never touched), builds qtbase and
# qtcharts for x86_64-w64-mingw32 with the posix-thread compilers (std::thread needs them) and
# installs them into a cache outside the checkout, keyed by the source packages' versions and
# reused when they match. Then it builds the project with cmake/mingw-w64.cmake into build-windows/,
# gathers the programs with every DLL they load into build-windows/bin/ (as windeployqt would) and
# makes the installer build-windows/VKR-Calibrator-<version>-setup.exe with NSIS. Each stage's time
# is printed.
#
# Usage: tools/build-windows.sh [--qt-only]
# Environment: VKR_WINDOWS_CACHE (default ~/.cache/vkr-calibrator), VKR_WINDOWS_BUILD (default
# build-windows), JOBS (default: the number of processors).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${VKR_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vkr-calibrator}
qt_version=5.15.8
qt_prefix=$cache/qt-$qt_version-mingw64
sources=$cache/sources
jobs=${JOBS:-$(nproc)}
qt_only=0
[ "${1:-}" != --qt-only ] || qt_only=1

stage_began=$SECONDS
stage() {
    echo "build-windows: $1 took $((SECONDS - stage_began)) s"
    stage_began=$SECONDS
}

# The posix-thread variants of the cross compilers under their plain names, first on PATH: Qt's
# win32-g++ mkspec calls $(CROSS_COMPILE)g++, and CMake is pointed at the same folder.
toolchain_bin=$cache/mingw-posix/bin
make_toolchain_links() {
    mkdir -p "$toolchain_bin"
    local tool
    for tool in gcc g++ c++; do
        local posix=/usr/bin/x86_64-w64-mingw32-$tool-posix
        [ -x "$posix" ] || posix=/usr/bin/x86_64-w64-mingw32-g++-posix
        ln -sfn "$posix" "$toolchain_bin/x86_64-w64-mingw32-$tool"
    done
}

apt_private() {
    local command=$1
    shift
    "$command" -o Dir::Etc::SourceList="$sources/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
        -o Dir::State::Lists="$sources/apt/lists" -o Dir::Cache="$sources/apt/cache" \
        -o Dir::State::status=/var/lib/dpkg/status -o APT::Sandbox::User=root "$@"
}

# A deb-src entry for every archive this machine takes its Debian packages from.
write_source_list() {
    mkdir -p "$sources/apt/lists/partial" "$sources/apt/cache/archives/partial"
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    {
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename-updates main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $codename-security main"
    } >"$sources/apt/sources.list"
}

# The versions the archive serves now, one "package version" line each: the cache's key.
source_versions() {
    local package
    for package in qtbase-opensource-src qtcharts-opensource-src; do
        echo "$package $(apt_private apt-cache showsrc "$package" 2>/dev/null |
            awk '/^Version:/ {print $2}' | sort -V | tail -n 1)"
    done
}

# What the archive serves now, into versions.wanted; where the archive does not answer, what it
# served last (a cached Qt is then still found).
find_versions() {
    write_source_list
    apt_private apt-get update >"$sources/apt-update.log" 2>&1 ||
        echo "build-windows: the archive did not answer (see $sources/apt-update.log); its last list is used"
    source_versions >"$sources/versions.wanted"
}

fetch_sources() {
    (cd "$sources" && apt_private apt-get source --download-only qtbase-opensource-src qtcharts-opensource-src \
        >"$sources/apt-source.log" 2>&1) || { cat "$sources/apt-source.log"; return 1; }
    stage "fetching the Qt sources"
}

# Unpacks one source package (with Debian's patches) into a fresh folder and prints its path.
unpack() {
    local package=$1 version dsc folder
    version=$(awk -v p="$package" '$1 == p {print $2}' "$sources/versions.wanted")
    dsc=$sources/${package}_${version#*:}.dsc
    folder=$cache/work/$package
    rm -rf "$folder"
    mkdir -p "$cache/work"
    dpkg-source --no-check -x "$dsc" "$folder" >"$cache/work/$package-unpack.log" 2>&1
    echo "$folder"
}

build_qtbase() {
    local folder
    folder=$(unpack qtbase-opensource-src)
    stage "unpacking qtbase"
    rm -rf "$qt_prefix"
    # Debian's tarball drops wintab.h, which only the tablet events need. Only the modules the
    # programs and Qt Charts use are built (Gui's configuration needs Network's): a quarter less to
    # compile.
    (cd "$folder" && PATH=$toolchain_bin:$PATH ./configure -prefix "$qt_prefix" \
        -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
        -release -opensource -confirm-license -nomake examples -nomake tests \
        -no-dbus -no-icu -no-opengl -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg \
        -qt-freetype -qt-harfbuzz -no-feature-tabletevent -no-feature-sql -no-feature-xml \
        -no-feature-testlib -no-feature-concurrent -no-feature-printer) \
        >"$cache/work/qtbase-configure.log" 2>&1 || { tail -n 40 "$cache/work/qtbase-configure.log"; return 1; }
    stage "configuring qtbase"
    (cd "$folder" && PATH=$toolchain_bin:$PATH make -j"$jobs" && PATH=$toolchain_bin:$PATH make install) \
        >"$cache/work/qtbase-build.log" 2>&1 || { tail -n 60 "$cache/work/qtbase-build.log"; return 1; }
    stage "building qtbase"
}

build_qtcharts() {
    local folder
    folder=$(unpack qtcharts-opensource-src)
    (cd "$folder" && PATH=$toolchain_bin:$PATH "$qt_prefix/bin/qmake" &&
        PATH=$toolchain_bin:$PATH make -j"$jobs" && PATH=$toolchain_bin:$PATH make install) \
        >"$cache/work/qtcharts-build.log" 2>&1 || { tail -n 60 "$cache/work/qtcharts-build.log"; return 1; }
    stage "building qtcharts"
}

ensure_qt() {
    make_toolchain_links
    mkdir -p "$sources"
    find_versions
    if [ -f "$qt_prefix/versions" ] && cmp -s "$qt_prefix/versions" "$sources/versions.wanted"; then
        echo "build-windows: Qt $qt_version for Windows is cached in $qt_prefix"
        return 0
    fi
    fetch_sources
    echo "build-windows: building Qt $qt_version for Windows into $qt_prefix (about an hour on two cores)"
    sed 's/^/build-windows:   /' "$sources/versions.wanted"
    build_qtbase
    build_qtcharts
    cp "$sources/versions.wanted" "$qt_prefix/versions"
    rm -rf "$cache/work"
}

# The folders a program's DLLs come from: Qt's, then the posix-thread runtime of the compiler that
# built Qt and the programs (libstdc++, libgcc_s, libwinpthread).
runtime_folders() {
    echo "$qt_prefix/bin"
    dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)"
    echo /usr/x86_64-w64-mingw32/lib
}

# The DLLs a Windows binary imports, by name.
imported_dlls() {
    x86_64-w64-mingw32-objdump -p "$1" | awk '/DLL Name:/ {print $3}'
}

# Copies into $bin every DLL the given binaries need that is not the system's, and what those need
# in turn. A DLL found in none of the runtime folders is taken to be Windows' own.
copy_dependencies() {
    local pending=("$@") binary dll folder
    while [ ${#pending[@]} -gt 0 ]; do
        binary=${pending[0]}
        pending=("${pending[@]:1}")
        for dll in $(imported_dlls "$binary"); do
            [ ! -e "$bin/$dll" ] || continue
            for folder in $(runtime_folders); do
                if [ -f "$folder/$dll" ]; then
                    cp "$folder/$dll" "$bin/$dll"
                    pending+=("$bin/$dll")
                    break
                fi
            done
        done
    done
}

build_project() {
    mkdir -p "$build"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DVKR_WINDOWS_QT="$qt_prefix" -DCMAKE_BUILD_TYPE=Release -DVKR_BUILD_TESTS=OFF \
        -DVKR_BUILD_TOOLS=OFF -DVKR_TANGO=OFF >"$build/configure.log" 2>&1 ||
        { cat "$build/configure.log"; return 1; }
    cmake --build "$build" -j"$jobs" --target vkr-calibrator vkr-calibrate VKRControl OrvaneIO \
        >"$build/build.log" 2>&1 || { tail -n 60 "$build/build.log"; return 1; }
    stage "building VKR Calibrator for Windows"
}

# The programs, the stand-in controller libraries, Qt's platform and style plugins and every DLL
# they load: a folder that runs as it is on a Windows machine without Qt.
deploy() {
    rm -rf "$bin"
    mkdir -p "$bin/platforms" "$bin/styles"
    cp "$build/vkr-calibrator.exe" "$build/vkr-calibrate.exe" "$build/VKRControl.dll" "$build/OrvaneIO.dll" "$bin/"
    cp "$qt_prefix/plugins/platforms/qwindows.dll" "$bin/platforms/"
    cp "$qt_prefix"/plugins/styles/*.dll "$bin/styles/" 2>/dev/null || rmdir "$bin/styles"
    copy_dependencies "$bin"/*.exe "$bin"/*.dll "$bin"/platforms/*.dll $(ls "$bin"/styles/*.dll 2>/dev/null)
    x86_64-w64-mingw32-strip --strip-unneeded "$bin"/*.exe "$bin"/*.dll "$bin"/*/*.dll
    stage "gathering the programs and their DLLs in $bin"
}

# The installer takes every file of $bin but the stand-in libraries into the program's folder, and
# those into its "simulated" folder when that component is chosen. The uninstaller removes exactly
# what was installed, from a list written here: never a file it did not put there.
make_installer() {
    local version nsis=$build/nsis path
    version=$(sed -n 's/^project(VKRCalibrator VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
    rm -rf "$nsis"
    mkdir -p "$nsis"
    {
        (cd "$bin" && find . -type f ! -name VKRControl.dll ! -name OrvaneIO.dll | sort) | while read -r path; do
            path=${path#./}
            echo "Delete \"\$INSTDIR\\${path//\//\\}\""
        done
        (cd "$bin" && find . -mindepth 1 -type d | sort -r) | while read -r path; do
            path=${path#./}
            echo "RMDir \"\$INSTDIR\\${path//\//\\}\""
        done
    } >"$nsis/uninstall-files.nsh"
    makensis -V2 -NOCD -DVERSION="$version" -DBIN="$bin" -DUNINSTALL_FILES="$nsis/uninstall-files.nsh" \
        -DOUTFILE="$build/VKR-Calibrator-$version-setup.exe" "$root/packaging/windows/vkr-calibrator.nsi" \
        >"$nsis/makensis.log" 2>&1 || { cat "$nsis/makensis.log"; return 1; }
    echo "build-windows: made $build/VKR-Calibrator-$version-setup.exe"
    stage "making the installer"
}

build=${VKR_WINDOWS_BUILD:-$root/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
bin=$build/bin

ensure_qt
[ "$qt_only" -eq 0 ] || exit 0
build_project
deploy
make_installer

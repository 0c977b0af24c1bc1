#!/usr/bin/env bash
# Makes the Debian packages as the README says, from a Release build of only what they hold,
# vkr-calibrator and the Tango device server's vkr-calibrator-tango, checks them as Debian would
# (lintian, appstreamcli, desktop-file-validate) and for Debian's hardening, and runs the programs
# unpacked from them into a scratch folder. Nothing is installed on the machine but the Debian
# packages the check needs.
# Usage: tools/check-package.sh [5|6]   (Qt major version, default 5)
# The packages are left in build-deb/ (build-deb-qt6/ for Qt 6).
set -euo pipefail
cd "$(dirname "$0")/.."

qt=${1:-5}
case $qt in
5) dir=build-deb qtPackages=() ;;
6) dir=build-deb-qt6 qtPackages=(qt6-base-dev) ;;
*) echo "usage: $0 [5|6]" >&2; exit 64 ;;
esac
source tools/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TANGO_PACKAGES[@]}" "${PACKAGE_CHECK_PACKAGES[@]}" "${qtPackages[@]}"

fail() {
    echo "check-package: $*" >&2
    exit 1
}

echo "=== $dir (Debian package, Qt $qt)"
start=$SECONDS
# Made the README's way: the hardening Debian gives its packages (dpkg-buildflags with
# hardening=+all) comes from the project's own CMake settings, and is checked below.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVKR_BUILD_TESTS=OFF -DVKR_QT_MAJOR="$qt" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target vkr_packaged
rm -f "$dir"/vkr-calibrator_*.deb "$dir"/vkr-calibrator-tango_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
debs=("$dir"/vkr-calibrator_*_"$(dpkg --print-architecture)".deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no vkr-calibrator_<version>_<arch>.deb in $dir"
deb=${debs[0]}
tangoDebs=("$dir"/vkr-calibrator-tango_*_"$(dpkg --print-architecture)".deb)
[ ${#tangoDebs[@]} -eq 1 ] && [ -f "${tangoDebs[0]}" ] ||
    fail "cpack made no vkr-calibrator-tango_<version>_<arch>.deb in $dir (is libtango-dev installed?)"
tangoDeb=${tangoDebs[0]}

# Warnings fail the check too; the few accepted ones are overridden, with the reason, in
# packaging/lintian-overrides.
lintian --fail-on error,warning "$deb" "$tangoDeb"

for entry in app/vkr-calibrator.desktop app/vkr-calibration-history.desktop; do
    hints=$(desktop-file-validate "$entry" 2>&1) || true
    [ -z "$hints" ] || fail "desktop-file-validate $entry: $hints"
done

# Every file an installation needs and nothing else: a forgotten install rule, or one that puts a
# file elsewhere, shows here.
expected="usr/bin/vkr-calibrate
usr/bin/vkr-calibrator
usr/bin/vkr-sim
usr/lib/vkr-calibrator/libOrvaneIO.so
usr/lib/vkr-calibrator/libVKRControl.so
usr/share/applications/vkr-calibration-history.desktop
usr/share/applications/vkr-calibrator.desktop
usr/share/doc/vkr-calibrator/changelog.gz
usr/share/doc/vkr-calibrator/copyright
usr/share/icons/hicolor/16x16/apps/vkr-calibrator.png
usr/share/icons/hicolor/256x256/apps/vkr-calibrator.png
usr/share/icons/hicolor/32x32/apps/vkr-calibrator.png
usr/share/icons/hicolor/48x48/apps/vkr-calibrator.png
usr/share/icons/hicolor/64x64/apps/vkr-calibrator.png
usr/share/lintian/overrides/vkr-calibrator
usr/share/man/man1/vkr-calibrate.1.gz
usr/share/man/man1/vkr-calibrator.1.gz
usr/share/man/man1/vkr-sim.1.gz
usr/share/metainfo/io.github.vkrcalibrator.vkr_calibrator.metainfo.xml"
files() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | LC_ALL=C sort
}
diff -u <(echo "$expected") <(files "$deb") || fail "$deb does not hold the expected files (- missing, + unexpected)"
expected="usr/bin/vkr-tango-server
usr/lib/tango/vkr-tango-server
usr/share/doc/vkr-calibrator-tango/changelog.gz
usr/share/doc/vkr-calibrator-tango/copyright
usr/share/doc/vkr-calibrator-tango/tango.md
usr/share/man/man1/vkr-tango-server.1.gz"
diff -u <(echo "$expected") <(files "$tangoDeb") ||
    fail "$tangoDeb does not hold the expected files (- missing, + unexpected)"

# Computed by dpkg-shlibdeps; without it the package would install without Qt, or without Tango.
dpkg-deb -f "$deb" Depends | grep -q "libqt${qt}core" || fail "Depends names no Qt $qt core library"
tangoDepends=$(dpkg-deb -f "$tangoDeb" Depends)
for package in "vkr-calibrator (= $(dpkg-deb -f "$deb" Version))" libtango9 "libqt${qt}core"; do
    [[ $tangoDepends == *"$package"* ]] || fail "$tangoDeb: Depends names no $package: $tangoDepends"
done
if dpkg-deb -f "$deb" Depends | grep -q tango; then
    fail "$deb depends on Tango, which only vkr-calibrator-tango needs"
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$tangoDeb" "$root"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml
# The tree as installed: the metainfo's launchable names the desktop entry that is really there.
appstreamcli validate-tree --no-net "$root"

# Hardened as Debian's hardening=+all would have it: every ELF file with read-only relocations
# bound at start-up, the programs position-independent, with the stack protector and fortified C
# library calls.
for elf in "$root"/usr/bin/* "$root"/usr/lib/vkr-calibrator/*.so; do
    dynamic=$(readelf -dW "$elf")
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).* NOW' <<<"$dynamic" || fail "${elf#"$root"/} is not linked with BIND_NOW"
    readelf -lW "$elf" | grep -q GNU_RELRO || fail "${elf#"$root"/} has no read-only relocations (RELRO)"
done
for program in "$root"/usr/bin/*; do
    name=${program#"$root"/}
    readelf -hW "$program" | grep -Eq 'Type:[[:space:]]+DYN' || fail "$name is not position-independent (PIE)"
    symbols=$(readelf --dyn-syms -W "$program")
    grep -q '__stack_chk_fail' <<<"$symbols" || fail "$name is built without the stack protector"
    grep -Eq '__[a-z0-9_]+_chk(@|[[:space:]]|$)' <<<"$(grep -v __stack_chk_fail <<<"$symbols")" ||
        fail "$name calls no fortified C library function (_FORTIFY_SOURCE)"
done

# The unpacked programs find the stand-in libraries in usr/lib/vkr-calibrator relative to their
# own folder, as they do installed.
bin=$root/usr/bin
# The programs' runs go to a history of the check's own, never to the user's.
export XDG_DATA_HOME=$root/data XDG_CONFIG_HOME=$root/config
log=$("$bin/vkr-calibrate" sim:demo,time=50) || fail "vkr-calibrate sim:demo,time=50 exited with $?"
[[ $log == *"Calibration routine finished with 0 errors."* ]] || fail "vkr-calibrate sim:demo,time=50 printed: $log"
list=$("$bin/vkr-calibrate" --list) || fail "vkr-calibrate --list exited with $?"
grep -qx "sim:demo" <<<"$list" || fail "vkr-calibrate --list does not list sim:demo (stand-in libraries not found): $list"
"$bin/vkr-sim" --help >/dev/null || fail "vkr-sim --help exited with $?"
# The device server lives where Debian's Tango servers do, linked from usr/bin; it starts without a
# database on a port of the system's choosing, and ends on SIGTERM with status 0.
[ "$(readlink "$bin/vkr-tango-server")" = ../lib/tango/vkr-tango-server ] ||
    fail "usr/bin/vkr-tango-server is no link to ../lib/tango/vkr-tango-server"
"$bin/vkr-tango-server" --version >/dev/null || fail "vkr-tango-server --version exited with $?"
"$bin/vkr-tango-server" check -nodb -dlist check/vkr/1 -ORBendPoint giop:tcp:127.0.0.1: >"$root/server.log" 2>&1 &
server=$!
for _ in $(seq 100); do
    grep -q "Ready to accept request" "$root/server.log" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
grep -q "Ready to accept request" "$root/server.log" || {
    kill "$server" 2>/dev/null || true
    fail "vkr-tango-server did not start: $(cat "$root/server.log")"
}
kill -TERM "$server"
status=0
wait "$server" || status=$?
[ "$status" -eq 0 ] || fail "vkr-tango-server exited with $status on SIGTERM: $(cat "$root/server.log")"

echo "Packages checked: $deb, $tangoDeb ($((SECONDS - start)) s)"

#!/usr/bin/env bash
# Proves the Windows build under Wine, in a prefix of its own: the installer installs and uninstalls
# silently; vkr-calibrate.exe gives the Linux build's log and exit status for sim: scenarios (one
# stopped by Ctrl+C) and over COM7 and \\.\COM12 (linked to vkr-sim pseudo-terminals); the window
# under Xvfb runs sim:demo on a click into %LOCALAPPDATA%'s history. docs/development.md has more.
# Skipped, saying so, only where Wine cannot start.
# Usage: tools/check-windows.sh [LINUX_BUILD_DIR]   (default: build, with vkr-calibrate and vkr-sim)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
linux=$(cd "${1:-$root/build}" && pwd)
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
failures=0

began=$SECONDS
part_began=$SECONDS
part() {
    echo "check-windows: $1 took $((SECONDS - part_began)) s"
    part_began=$SECONDS
}
fail() {
    echo "check-windows: FAILED: $*"
    failures=$((failures + 1))
}
# Waits up to a bound for a condition, checking every tenth of a second.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

for tool in "$linux/vkr-calibrate" "$linux/vkr-sim" "$wine" "$wineserver" Xvfb xdotool xwd python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "check-windows: $tool not found" >&2 && exit 2; }
done

windows=${VKR_WINDOWS_BUILD:-$root/build-windows}
mkdir -p "$windows"
windows=$(cd "$windows" && pwd)
bin=$windows/bin
work=$(mktemp -d "$windows/check.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# No .NET or HTML engine to install into the prefix: the programs need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The Linux runs keep their history in the check's folder, never in the user's.
export XDG_DATA_HOME=$work/linux-data
background=()
cleanup() {
    local job
    "$wineserver" -k 2>/dev/null || true
    for job in "${background[@]}"; do
        { kill "$job" && wait "$job"; } 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Every program of the prefix, its first start (wineboot, while the Windows build is made) too, draws
# on one X server: the desktop the first one makes is the one the window shows on.
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$work/display" 2>"$work/xvfb.log" &
background+=($!)
wait_for 10 test -s "$work/display" || { echo "check-windows: Xvfb did not start: $(cat "$work/xvfb.log")" >&2 && exit 1; }
export DISPLAY=:$(cat "$work/display")
mkdir -p "$WINEPREFIX"
"$wineserver" -p60 2>"$work/wineserver.log" || true
"$wine" wineboot --init >"$work/wineboot.log" 2>&1 &
boot=$!
background+=("$boot")

"$root/tools/build-windows.sh"
part "building for Windows"

if ! wait "$boot"; then
    echo "check-windows: SKIPPED: Wine cannot start here (wineboot failed):"
    sed 's/^/check-windows:   /' "$work/wineboot.log" | tail -n 20
    exit 0
fi
part "starting the Wine prefix"

# A Windows path inside the prefix as a path of this machine.
unix_path() {
    "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'
}
# A Windows environment variable as the prefix's programs see it.
windows_variable() {
    "$wine" cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'
}

# Installs silently into a folder of the check's choosing (/D=), finds every program file and the
# uninstaller there, the Start-menu entries and the Add/Remove Programs entry, but no stand-in
# library; runs the installed vkr-calibrate.exe, which must start on the DLLs installed beside it
# and find no controller library; installs again with the simulated controllers and calibrates one;
# uninstalls silently and finds everything gone.
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VKRCalibrator'
check_installer() {
    local setup installed menu status=0 file
    setup=$(ls "$windows"/VKR-Calibrator-*-setup.exe)
    installed=$(unix_path 'C:\VKR\Calibrator')
    menu=$(unix_path "$(windows_variable ProgramData)\\Microsoft\\Windows\\Start Menu\\Programs\\VKR Calibrator")
    timeout 120 "$wine" "$setup" /S '/D=C:\VKR\Calibrator' || status=$?
    [ "$status" -eq 0 ] || fail "the installer exited with $status"
    while read -r file; do
        cmp -s "$bin/$file" "$installed/$file" || fail "the installer did not install $file"
    done < <(cd "$bin" && find . -type f ! -name VKRControl.dll ! -name OrvaneIO.dll)
    [ -f "$installed/uninstall.exe" ] || fail "the installer wrote no uninstaller"
    [ ! -e "$installed/simulated" ] && [ ! -e "$installed/VKRControl.dll" ] ||
        fail "the installer installed the simulated controllers, which are off by default"
    for file in "VKR Calibrator.lnk" "VKR Calibrator History.lnk"; do
        [ -f "$menu/$file" ] || fail "the installer made no Start-menu entry $file"
    done
    "$wine" reg query "$uninstall_key" /v UninstallString 2>/dev/null | grep -qF 'C:\VKR\Calibrator\uninstall.exe' ||
        fail "the installer registered no uninstaller in Add/Remove Programs"

    status=0
    timeout 60 "$wine" 'C:\VKR\Calibrator\vkr-calibrate.exe' --version >"$work/installed-version" 2>&1 || status=$?
    grep -q '^vkr-calibrate [0-9]' "$work/installed-version" ||
        fail "the installed vkr-calibrate.exe does not start (exit status $status): $(tr -d '\r' <"$work/installed-version")"
    timeout 60 "$wine" 'C:\VKR\Calibrator\vkr-calibrate.exe' --no-history sim:demo >"$work/installed-run" 2>&1 || true
    grep -q 'Could not initialize! Error:' "$work/installed-run" ||
        fail "the installed vkr-calibrate.exe did not refuse sim:demo without the simulated controllers"

    # Installed again over it with the simulated controllers, found in their folder.
    timeout 120 "$wine" "$setup" /S /SIMULATED '/D=C:\VKR\Calibrator' || fail "the installer with /SIMULATED failed"
    timeout 60 "$wine" 'C:\VKR\Calibrator\vkr-calibrate.exe' --no-history 'sim:channels=1,time=10' \
        >"$work/installed-run" 2>&1 || fail "the installed simulated controllers do not calibrate: $(cat "$work/installed-run")"

    status=0
    timeout 120 "$wine" 'C:\VKR\Calibrator\uninstall.exe' /S || status=$?
    [ "$status" -eq 0 ] || fail "the uninstaller exited with $status"
    # The uninstaller works from a copy of itself in the temporary folder, after its own exit.
    wait_for 60 test ! -e "$installed" || fail "the uninstaller left $(cd "$installed" && find . | tr '\n' ' ')"
    [ ! -e "$menu" ] || fail "the uninstaller left the Start-menu entries"
    ! "$wine" reg query "$uninstall_key" >/dev/null 2>&1 || fail "the uninstaller left its Add/Remove Programs entry"
}

# Starts vkr-calibrate with the same arguments on Linux and under Wine; finish_runs waits for the
# runs started and compares each pair's standard output (Windows' line ends made Linux's) and exit
# status.
started_runs=()
start_run() {
    local name=$1
    shift
    timeout 60 "$linux/vkr-calibrate" --no-history "$@" >"$work/$name.linux" 2>"$work/$name.linux.err" &
    local linux_run=$!
    timeout 120 "$wine" "$bin/vkr-calibrate.exe" --no-history "$@" >"$work/$name.crlf" 2>"$work/$name.windows.err" &
    started_runs+=("$name $linux_run $!")
}

finish_runs() {
    local run name linux_run windows_run linux_status windows_status
    for run in "${started_runs[@]}"; do
        read -r name linux_run windows_run <<<"$run"
        linux_status=0
        windows_status=0
        wait "$linux_run" || linux_status=$?
        wait "$windows_run" || windows_status=$?
        compare "$name" "$linux_status" "$windows_status"
    done
    started_runs=()
}

compare() {
    local name=$1 linux_status=$2 windows_status=$3
    tr -d '\r' <"$work/$name.crlf" >"$work/$name.windows"
    if ! diff -u --label "$name on Linux" --label "$name on Windows" "$work/$name.linux" "$work/$name.windows" \
        >"$work/$name.diff"; then
        fail "$name: the logs differ"
        cat "$work/$name.diff"
    fi
    [ "$linux_status" -eq "$windows_status" ] ||
        fail "$name: exit status $linux_status on Linux, $windows_status on Windows"
    if [ ! -s "$work/$name.linux" ]; then
        fail "$name: no log at all"
    elif [ -z "$(cat "$work/$name.diff")" ] && [ "$linux_status" -eq "$windows_status" ]; then
        echo "check-windows:   $name: the same $(wc -l <"$work/$name.linux") log lines and exit status $linux_status"
    fi
}

# Both runs calibrate a channel that never ends until each is sent Ctrl+C (SIGINT, which Wine hands
# to the program's console control handler) once it shows that channel calibrating.
same_interrupted_run() {
    local name=$1 linux_status=0 windows_status=0
    shift
    "$linux/vkr-calibrate" --no-history "$@" >"$work/$name.linux" 2>"$work/$name.linux.err" &
    local linux_run=$!
    "$wine" "$bin/vkr-calibrate.exe" --no-history "$@" >"$work/$name.crlf" 2>"$work/$name.windows.err" &
    local windows_run=$!
    background+=("$linux_run" "$windows_run")
    local run output
    for run in "$linux_run:$work/$name.linux" "$windows_run:$work/$name.crlf"; do
        output=${run#*:}
        if wait_for 60 grep -q 'Channel 1: calibrating' "$output"; then
            kill -INT "${run%%:*}"
        else
            fail "$name: $output never shows channel 1 calibrating"
        fi
    done
    wait_for 60 eval '! kill -0 "$linux_run" 2>/dev/null && ! kill -0 "$windows_run" 2>/dev/null' ||
        fail "$name: Ctrl+C did not end the runs"
    kill -KILL "$linux_run" "$windows_run" 2>/dev/null || true
    wait "$linux_run" || linux_status=$?
    wait "$windows_run" || windows_status=$?
    compare "$name" "$linux_status" "$windows_status"
}

check_library_runs() {
    # A few at a time: each Wine start costs a second of processor time.
    start_run demo sim:demo
    start_run no-sensor 'sim:channels=3,nosensor=0+2,time=50'
    start_run open-failure sim:fail-open=7
    start_run unreadable-scenario sim:channels=x
    finish_runs
    start_run calibrate-failure 'sim:channels=5,fail-calibrate@4=17,time=50'
    start_run unsigned-code 'sim:channels=2,fail-calibrate@0=4294967295,time=50'
    start_run status-failure 'sim:fail-status@2=15,time=50'
    start_run no-channels sim:channels=0
    finish_runs
    start_run mode-read-failure sim:fail-getmode=5
    start_run mode-set-failure 'sim:mode=0,fail-setmode=6'
    start_run no-serial-port nocolon
    finish_runs
    same_interrupted_run ctrl-c 'sim:stuck=1,time=50'

    # The history of vkr-calibrate.exe lands in %LOCALAPPDATA%\vkr-calibrator\history.jsonl.
    history=$(unix_path "$(windows_variable LOCALAPPDATA)\\vkr-calibrator\\history.jsonl")
    timeout 60 "$wine" "$bin/vkr-calibrate.exe" 'sim:channels=1,time=10' >/dev/null 2>&1 ||
        fail "a run with history failed"
    grep -q '"locator":"sim:channels=1,time=10".*"source":"command-line"' "$history" 2>/dev/null ||
        fail "vkr-calibrate.exe wrote no history line in %LOCALAPPDATA%\\vkr-calibrator\\history.jsonl"
}

# A vkr-sim with a fresh controller for each run (a controller keeps its sensor mode between
# hosts); its pseudo-terminal goes to sim_pty.
start_sim() {
    "$linux/vkr-sim" --scenario "$serial_scenario" >"$work/sim-$1.out" 2>&1 &
    background+=($!)
    wait_for 10 grep -qs '^locator: serial:' "$work/sim-$1.out" || fail "vkr-sim did not start: $(cat "$work/sim-$1.out")"
    sim_pty=$(sed -n 's/^locator: serial://p' "$work/sim-$1.out")
}

serial_scenario='mode=0,channels=3,nosensor=1,time=100'
check_serial_runs() {
    local status=0 com7_status=0 com12_status=0
    start_sim com7
    ln -sfn "$sim_pty" "$WINEPREFIX/dosdevices/com7"
    start_sim com12
    ln -sfn "$sim_pty" "$WINEPREFIX/dosdevices/com12"
    timeout 120 "$wine" "$bin/vkr-calibrate.exe" --no-history serial:COM7 >"$work/serial-com7.crlf" 2>&1 &
    local com7_run=$!
    timeout 120 "$wine" "$bin/vkr-calibrate.exe" --no-history 'serial:\\.\COM12' >"$work/serial-com12.crlf" 2>&1 &
    local com12_run=$!
    start_sim linux
    timeout 60 "$linux/vkr-calibrate" --no-history "serial:$sim_pty" >"$work/serial-com7.linux" 2>&1 || status=$?
    cp "$work/serial-com7.linux" "$work/serial-com12.linux"
    wait "$com7_run" || com7_status=$?
    wait "$com12_run" || com12_status=$?
    compare serial-com7 "$status" "$com7_status"
    compare serial-com12 "$status" "$com12_status"
}

# Where to click "Start Calibration", as "X Y" in the window: the widget lowest on the window's
# centre line. Its height depends on the fonts Wine has, so it is found in a dump of the window's
# pixels: the first pixel from the bottom that differs from the window's background is the button's
# lower edge.
start_button() {
    xwd -id "$1" -silent >"$work/window.xwd" || return 1
    python3 - "$work/window.xwd" <<'PYTHON'
import struct, sys
data = open(sys.argv[1], 'rb').read()
fields = struct.unpack('>25I', data[:100])
header, width, height, order, bits, line, colours = (fields[i] for i in (0, 4, 5, 7, 11, 12, 19))
start = header + colours * 12
def pixel(x, y):
    at = start + y * line + x * (bits // 8)
    return int.from_bytes(data[at:at + bits // 8], 'little' if order == 0 else 'big') & 0xFFFFFF
x, y = width // 2, height - 2
background = pixel(x, y)
while y > height // 2 and pixel(x, y) == background:
    y -= 1
if y <= height // 2:
    sys.exit(1)
print(x, y - 6)
PYTHON
}

# The window under Xvfb: it shows up with its form; a click on "Start Calibration" runs the
# locator discovery put first (sim:demo), and the run reaches the history as the window's.
check_window() {
    local history window
    history=$(unix_path "$(windows_variable LOCALAPPDATA)\\vkr-calibrator\\history.jsonl")
    "$wine" "$bin/vkr-calibrator.exe" >"$work/window.log" 2>&1 &
    background+=($!)
    find_window() {
        window=$(xdotool search --onlyvisible --name '^VKR Calibrator$' 2>/dev/null | head -n 1)
        [ -n "$window" ]
    }
    if ! wait_for 60 find_window; then
        fail "the window did not appear: $(cat "$work/window.log")"
        return
    fi
    local WIDTH=0 HEIGHT=0 X Y SCREEN
    eval "$(xdotool getwindowgeometry --shell "$window")"
    [ "$WIDTH" -ge 300 ] && [ "$HEIGHT" -ge 300 ] || fail "the window is ${WIDTH}x$HEIGHT, too small for its form"
    # The window may show before its widgets are drawn: the button is looked for until it is there.
    local button=""
    find_button() { button=$(start_button "$window"); }
    wait_for 30 find_button || { fail "no Start Calibration button found in the window"; return; }
    xdotool mousemove --window "$window" $button click 1
    wait_for 60 grep -q '"locator":"sim:demo".*"outcome":"calibrated".*"source":"window"' "$history" 2>/dev/null ||
        fail "a click on Start Calibration left no run of sim:demo in the history as the window's"
}

check_installer
part "installing and uninstalling"
check_library_runs
part "calibrating sim: controllers on Linux and Windows"
check_serial_runs
part "calibrating over COM7 and \\\\.\\COM12"
check_window
part "running the window under Xvfb"

echo "check-windows: took $((SECONDS - began)) s in all"
if [ "$failures" -gt 0 ]; then
    echo "check-windows: $failures check(s) failed"
    exit 1
fi
echo "check-windows: the Windows build installs, uninstalls and calibrates under Wine as the Linux build does"

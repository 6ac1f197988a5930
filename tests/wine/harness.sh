#!/usr/bin/env bash
# Brings up (and tears down) a private, headless Wine environment for the
# end-to-end tests: its own Xvfb display, its own prefix of the architecture
# asked for (win32, the default, or win64), a persistent wineserver, the
# wdriver/recorder tools built for that architecture, and an env.sh for
# tests to source.
#
#   harness.sh start STATE_DIR [win32|win64]
#   harness.sh stop  STATE_DIR
#
# A 64-bit prefix runs under the 64-bit loader and server themselves:
# Debian's wine starts wine32 whenever it is installed, and a prefix made
# for one architecture cannot be used for the other. env.sh names the
# loader (PELMATIC_WINE) that every program of the prefix must be run with.
#
# Inputs (optional):
#   WDRIVER_SRC_DIR        directory holding wdriver.c, recorder.c and observer.c
#                          (default: ../tools next to this script)
#   MINGW_CC               cross compiler (default: the -posix gcc of the
#                          architecture, i686 or x86_64)
#   PELMATIC_RECORDER_EXTS extra document extensions routed to the recorder,
#                          e.g. ".zip .pdf"
#   PELMATIC_SHELLDOUBLE_DLL  a prebuilt shelldouble.dll to register instead
#                          of building tests/tools/shelldouble.c
#
# The prefix's "Shell.Application" is the test double of shelldouble.c: its
# CLSID key names the double's class, so the tests see and steer every
# shell automation call (control and log files: see env.sh).
#
# Everything started here is listed in STATE_DIR/pids, and stop only ever
# touches what is listed there plus this prefix's own wineserver.
set -euo pipefail

die() {
    echo "harness: error: $*" >&2
    exit 1
}
note() {
    echo "harness: $*" >&2
}

usage() {
    echo "usage: $0 start STATE_DIR [win32|win64] | stop STATE_DIR" >&2
    exit 2
}

[ $# -eq 2 ] || [ $# -eq 3 ] || usage
action=$1
state=$2
arch=${3:-}

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The loader and server of an architecture: the 64-bit ones by their own
# names, since Debian's wine and wineserver pick the 32-bit loader first.
pick_wine() {
    case $arch in
    win64)
        WINE=/usr/lib/wine/wine64
        [ -x "$WINE" ] || WINE=$(command -v wine64 || command -v wine || echo wine64)
        WINESERVER=/usr/lib/wine/wineserver64
        [ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver || echo wineserver)
        export WINELOADER=$WINE
        ;;
    *)
        WINE=/usr/lib/wine/wine
        [ -x "$WINE" ] || WINE=$(command -v wine || echo wine)
        WINESERVER=$(command -v wineserver || echo wineserver)
        ;;
    esac
    export WINESERVER
}

wine_common_env() {
    export WINEPREFIX="$state/prefix"
    export WINEARCH=$arch
    pick_wine
    # Wine names Unix files in the locale's character set: in the C locale
    # a name beyond ASCII (C:\Программы) names nothing. The prefix's own
    # code page stays 1252 either way.
    export LC_ALL=C.UTF-8
    export WINEDEBUG=-all
    # No Mono/Gecko download prompts and no desktop menu/icon side effects.
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# Unix path -> the same file as Wine sees it through the default Z: drive.
to_wine_path() {
    printf 'Z:%s' "${1//\//\\}"
}

# Quote for a POSIX shell, so env.sh stays correct for any path.
shq() {
    printf "'%s'" "${1//\'/\'\\\'\'}"
}

# A zombie counts as gone: once the caller's shell has exited, whoever
# inherits our children may reap them late or never.
pid_alive() {
    local st
    kill -0 "$1" 2>/dev/null || return 1
    st=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    case $st in
    Z*) return 1 ;;
    esac
    return 0
}

# Debian's Wine keeps the server socket in a per-prefix random directory
# named in $WINEPREFIX/wineserver; stock Wine uses /tmp/.wine-UID.
server_root() {
    local name
    if [ -f "$WINEPREFIX/wineserver" ]; then
        name=$(cat "$WINEPREFIX/wineserver")
        case $name in
        wine-*[!A-Za-z0-9-]*) return 1 ;;
        wine-?*) echo "/tmp/$name"; return 0 ;;
        esac
        return 1
    fi
    echo "/tmp/.wine-$(id -u)"
}

# Only signal a listed PID while it still is what we started: after a
# reboot or a long pause the number may belong to someone else.
pid_is() {
    local comm
    pid_alive "$1" || return 1
    comm=$(ps -o comm= -p "$1" 2>/dev/null) || return 1
    case $2:$comm in
    Xvfb:Xvfb | wineserver:wineserver* | wdriver-keepalive:*wdriver*) return 0 ;;
    esac
    return 1
}

do_stop() {
    [ -d "$state" ] || return 0
    # The architecture the prefix was made for, whatever the caller says.
    [ -f "$state/arch" ] && arch=$(cat "$state/arch")
    [ -n "$arch" ] || arch=win32
    if [ -d "$state/prefix" ]; then
        (
            wine_common_env
            command -v "$WINESERVER" >/dev/null || exit 0
            # Kills every Wine process of this prefix, and its server.
            timeout 20 "$WINESERVER" -k >/dev/null 2>&1 || true
            # The private socket directory would otherwise pile up in /tmp.
            root=$(server_root) || exit 0
            case $root in
            /tmp/wine-*) rm -rf "$root" ;;
            esac
        )
    fi
    if [ -f "$state/pids" ]; then
        local pid name
        while read -r pid name; do
            [ -n "$pid" ] || continue
            if pid_is "$pid" "$name"; then
                kill "$pid" 2>/dev/null || true
            fi
        done <"$state/pids"
        # Give them a few seconds to leave, then insist.
        for _ in $(seq 1 50); do
            local left=0
            while read -r pid name; do
                [ -n "$pid" ] && pid_is "$pid" "$name" && left=1
            done <"$state/pids"
            [ $left -eq 0 ] && break
            sleep 0.1
        done
        while read -r pid name; do
            [ -n "$pid" ] || continue
            if pid_is "$pid" "$name"; then
                note "$name ($pid) ignored SIGTERM, sending SIGKILL"
                kill -9 "$pid" 2>/dev/null || true
            fi
            # Reaps it when it is our child; harmless otherwise.
            wait "$pid" 2>/dev/null || true
            for _ in $(seq 1 20); do
                pid_is "$pid" "$name" || break
                sleep 0.05
            done
        done <"$state/pids"
        rm -f "$state/pids"
    fi
}

record_pid() {
    echo "$1 $2" >>"$state/pids"
}

pick_display() {
    local n
    for n in $(seq 99 299); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
            echo "$n"
            return 0
        fi
    done
    return 1
}

start_xvfb() {
    local attempt n pid
    for attempt in 1 2 3 4 5; do
        n=$(pick_display) || die "no free X display number between :99 and :299"
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp \
            >>"$state/xvfb.log" 2>&1 </dev/null &
        pid=$!
        for _ in $(seq 1 100); do
            if ! pid_alive "$pid"; then
                break
            fi
            if [ "$have_xdpyinfo" = 1 ]; then
                if xdpyinfo -display ":$n" >/dev/null 2>&1; then
                    XVFB_PID=$pid
                    XVFB_DISPLAY=":$n"
                    return 0
                fi
            elif [ -S "/tmp/.X11-unix/X$n" ]; then
                XVFB_PID=$pid
                XVFB_DISPLAY=":$n"
                return 0
            fi
            sleep 0.1
        done
        if pid_alive "$pid"; then
            kill "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
        # Most likely another server grabbed the same number; try the next.
        note "Xvfb on :$n did not come up (attempt $attempt), see $state/xvfb.log"
    done
    die "could not start Xvfb; last lines of $state/xvfb.log:
$(tail -n 5 "$state/xvfb.log" 2>/dev/null)"
}

mingw_cc() {
    case $arch in
    win64) echo "${MINGW_CC:-x86_64-w64-mingw32-gcc-posix}" ;;
    *) echo "${MINGW_CC:-i686-w64-mingw32-gcc-posix}" ;;
    esac
}

build_tools() {
    local cc
    cc=$(mingw_cc)
    local src=${WDRIVER_SRC_DIR:-$script_dir/../tools}
    local have_src=0
    [ -f "$src/wdriver.c" ] && [ -f "$src/recorder.c" ] && have_src=1
    # Tools built for the other architecture are built anew.
    if [ "$(cat "$state/tools.arch" 2>/dev/null)" != "$arch" ]; then
        rm -f "$state/wdriver.exe" "$state/recorder.exe" "$state/observer.exe" "$state/shelldouble.dll"
    fi
    # Tools the caller put there are used as they are, unless we can see
    # sources newer than them.
    if [ -f "$state/wdriver.exe" ] && [ -f "$state/recorder.exe" ] && [ -f "$state/observer.exe" ]; then
        if [ $have_src = 0 ] ||
            { [ "$state/wdriver.exe" -nt "$src/wdriver.c" ] &&
                [ "$state/recorder.exe" -nt "$src/recorder.c" ] &&
                [ "$state/observer.exe" -nt "$src/observer.c" ]; }; then
            return 0
        fi
    fi
    [ $have_src = 1 ] ||
        die "wdriver.c/recorder.c not found in '$src' (set WDRIVER_SRC_DIR)"
    command -v "$cc" >/dev/null || die "cross compiler '$cc' not found (set MINGW_CC)"
    "$cc" -O2 -static -o "$state/wdriver.exe" "$src/wdriver.c" -luser32 -lgdi32 -lshell32 ||
        die "building wdriver.exe failed"
    "$cc" -O2 -static -mwindows -o "$state/recorder.exe" "$src/recorder.c" ||
        die "building recorder.exe failed"
    "$cc" -O2 -static -o "$state/observer.exe" "$src/observer.c" -luser32 ||
        die "building observer.exe failed"
    echo "$arch" >"$state/tools.arch"
}

shelldouble_clsid='{67BED662-A42C-4C62-824C-39FE291EF067}'

build_shell_double() {
    local cc
    cc=$(mingw_cc)
    local src=${WDRIVER_SRC_DIR:-$script_dir/../tools}/shelldouble.c
    if [ -n "${PELMATIC_SHELLDOUBLE_DLL:-}" ]; then
        [ -f "$PELMATIC_SHELLDOUBLE_DLL" ] || die "PELMATIC_SHELLDOUBLE_DLL '$PELMATIC_SHELLDOUBLE_DLL' not found"
        cp "$PELMATIC_SHELLDOUBLE_DLL" "$state/shelldouble.dll"
        return 0
    fi
    if [ -f "$state/shelldouble.dll" ] && { [ ! -f "$src" ] || [ "$state/shelldouble.dll" -nt "$src" ]; }; then
        return 0
    fi
    [ -f "$src" ] || die "shelldouble.c not found at '$src' (set WDRIVER_SRC_DIR or PELMATIC_SHELLDOUBLE_DLL)"
    command -v "$cc" >/dev/null || die "cross compiler '$cc' not found (set MINGW_CC)"
    # Undecorated exports: ole32 looks up DllGetClassObject by that name.
    "$cc" -O2 -shared -static -o "$state/shelldouble.dll" "$src" -Wl,--kill-at \
        -lole32 -loleaut32 -luuid -lshlwapi ||
        die "building shelldouble.dll failed"
}

# Registry settings, applied in one regedit run because every wine
# invocation costs a noticeable fraction of a second.
write_reg() {
    local rec='C:\\pelmatic-test\\recorder.exe'
    local open="\"\\\"$rec\\\" \\\"%1\\\"\""
    local ext
    {
        echo 'REGEDIT4'
        echo
        # Without a window manager Wine otherwise waits for the WM after
        # every closed window, about two seconds per message box.
        echo '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]'
        echo '"Managed"="N"'
        echo
        for cls in http https pelmatic.recorded txtfile htmlfile; do
            # A stale DDE verb would win over the command line.
            printf '[-HKEY_CLASSES_ROOT\\%s\\shell\\open\\ddeexec]\n' "$cls"
            echo
            printf '[HKEY_CLASSES_ROOT\\%s\\shell\\open\\command]\n' "$cls"
            echo "@=$open"
            echo
        done
        for cls in http https; do
            echo "[HKEY_CLASSES_ROOT\\$cls]"
            echo '"URL Protocol"=""'
            echo
        done
        echo '[HKEY_CLASSES_ROOT\.txt]'
        echo '@="txtfile"'
        echo
        echo '[HKEY_CLASSES_ROOT\.htm]'
        echo '@="htmlfile"'
        echo
        echo '[HKEY_CLASSES_ROOT\.html]'
        echo '@="htmlfile"'
        echo
        # The shell's ProgID leads to the double.
        printf '[HKEY_CLASSES_ROOT\\CLSID\\%s]\n' "$shelldouble_clsid"
        echo '@="PelMatic test double of Shell.Application"'
        echo
        printf '[HKEY_CLASSES_ROOT\\CLSID\\%s\\InprocServer32]\n' "$shelldouble_clsid"
        printf '%s\n' '@="C:\\pelmatic-test\\shelldouble.dll"'
        echo '"ThreadingModel"="Apartment"'
        echo
        echo '[HKEY_CLASSES_ROOT\Shell.Application\CLSID]'
        echo "@=\"$shelldouble_clsid\""
        echo
        for ext in ${PELMATIC_RECORDER_EXTS:-}; do
            case $ext in
            .*) ;;
            *) ext=".$ext" ;;
            esac
            echo "[HKEY_CLASSES_ROOT\\$ext]"
            echo '@="pelmatic.recorded"'
            echo
        done
    } >"$state/harness.reg"
}

# A folder of the prefix that cmd names by an environment variable, as a
# Unix path.
prefix_folder() {
    local folder
    folder=$(timeout 60 "$WINE" cmd /c echo "%$1%" 2>>"$state/wine.log" </dev/null | tr -d '\r') || true
    case $folder in
    [A-Za-z]:\\*) ;;
    *) die "could not read the prefix's $1 (cmd said: $folder)" ;;
    esac
    "$WINE" winepath.exe -u "$folder" 2>>"$state/wine.log" </dev/null | tr -d '\r' ||
        die "winepath could not map $1"
}

do_start() {
    case ${arch:=win32} in
    win32 | win64) ;;
    *) die "unknown architecture '$arch' (win32 or win64)" ;;
    esac
    pick_wine
    command -v Xvfb >/dev/null || die "Xvfb not installed"
    command -v "$WINE" >/dev/null || die "the $arch loader $WINE is not installed"
    command -v "$WINESERVER" >/dev/null || die "wineserver not installed"
    have_xdpyinfo=0
    command -v xdpyinfo >/dev/null && have_xdpyinfo=1

    mkdir -p "$state"
    state=$(cd "$state" && pwd)
    if [ -f "$state/pids" ]; then
        note "stopping what a previous start left in $state"
        do_stop
    fi
    rm -rf "$state/prefix" "$state/env.sh" "$state/keepalive.log"
    echo "$arch" >"$state/arch"
    : >"$state/pids"
    : >"$state/xvfb.log"
    : >"$state/wine.log"

    # Anything failing from here on must not leave processes behind.
    # shellcheck disable=SC2154 # rc is assigned inside the trap itself
    trap 'rc=$?; if [ $rc -ne 0 ]; then note "start failed, cleaning up"; do_stop; fi' EXIT

    build_tools
    build_shell_double

    start_xvfb
    record_pid "$XVFB_PID" Xvfb
    export DISPLAY=$XVFB_DISPLAY

    wine_common_env
    mkdir -p "$WINEPREFIX"
    # Our own persistent server, in the foreground from its point of view so
    # that its PID is the one we record.
    "$WINESERVER" -f -p >>"$state/wine.log" 2>&1 </dev/null &
    record_pid $! wineserver
    local server_pid=$! sock="" root
    # Wait for its socket, or wineboot would race it with a server of its own.
    for _ in $(seq 1 100); do
        pid_alive "$server_pid" || die "wineserver exited at once, see $state/wine.log"
        if root=$(server_root); then
            sock="$root/server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")/socket"
            [ -S "$sock" ] && break
        fi
        sleep 0.05
    done
    if [ -z "$sock" ] || [ ! -S "$sock" ]; then
        die "wineserver did not create its socket (${sock:-no server directory})"
    fi

    # All Wine output goes to a log: system processes started now inherit
    # these descriptors and would otherwise hold a caller's pipe open.
    timeout 180 "$WINE" wineboot -i >>"$state/wine.log" 2>&1 </dev/null ||
        die "wineboot -i failed, see $state/wine.log"

    mkdir -p "$WINEPREFIX/drive_c/pelmatic-test"
    cp "$state/recorder.exe" "$WINEPREFIX/drive_c/pelmatic-test/recorder.exe"
    cp "$state/shelldouble.dll" "$WINEPREFIX/drive_c/pelmatic-test/shelldouble.dll"
    write_reg
    timeout 60 "$WINE" regedit /S "$(to_wine_path "$state/harness.reg")" \
        >>"$state/wine.log" 2>&1 </dev/null ||
        die "importing $state/harness.reg failed, see $state/wine.log"

    # Hold the desktop for the whole session (see "wdriver keepalive"); it
    # also brings the desktop process up while our log, not a test's pipe,
    # is the output it inherits.
    "$WINE" "$state/wdriver.exe" keepalive >>"$state/keepalive.log" 2>>"$state/wine.log" </dev/null &
    record_pid $! wdriver-keepalive
    for _ in $(seq 1 200); do
        grep -q keepalive "$state/keepalive.log" 2>/dev/null && break
        pid_alive "$(tail -n 1 "$state/pids" | cut -d' ' -f1)" ||
            die "wdriver keepalive exited, see $state/wine.log"
        sleep 0.05
    done
    grep -q keepalive "$state/keepalive.log" || die "wdriver keepalive did not start"

    local m
    m=$(timeout 60 "$WINE" "$state/wdriver.exe" metrics 2>>"$state/wine.log" </dev/null) ||
        die "wdriver.exe metrics failed under Wine, see $state/wine.log"
    case $m in
    *cxfullscreen*) ;;
    *) die "unexpected wdriver output: $m" ;;
    esac
    # And the registry really holds what we imported.
    local q
    q=$("$WINE" reg query 'HKCU\Software\Wine\X11 Driver' /v Managed 2>>"$state/wine.log" </dev/null) || true
    [[ $q =~ Managed[[:space:]]+REG_SZ[[:space:]]+N ]] ||
        die "Managed=N did not reach the registry (reg query said: $q)"
    q=$("$WINE" reg query 'HKCR\Shell.Application\CLSID' /ve 2>>"$state/wine.log" </dev/null) || true
    [[ $q == *"$shelldouble_clsid"* ]] ||
        die "Shell.Application does not lead to the double (reg query said: $q)"

    # The temporary folder the programs of the prefix write to, so that
    # tests can take away what a case left there, and the user's own
    # folder, where PelMatic keeps its state.
    local temp appdata
    temp=$(prefix_folder TEMP)
    appdata=$(prefix_folder LOCALAPPDATA)

    {
        echo "export DISPLAY=$(shq "$DISPLAY")"
        echo "export WINEPREFIX=$(shq "$WINEPREFIX")"
        echo "export WINEARCH=$(shq "$WINEARCH")"
        echo "export LC_ALL=$(shq "$LC_ALL")"
        echo "export PELMATIC_WINE=$(shq "$WINE")"
        echo "export WINESERVER=$(shq "$WINESERVER")"
        [ -n "${WINELOADER:-}" ] && echo "export WINELOADER=$(shq "$WINELOADER")"
        echo "export MINGW_CC=$(shq "$(mingw_cc)")"
        echo "export WINEDEBUG=$(shq "$WINEDEBUG")"
        echo "export WINEDLLOVERRIDES=$(shq "$WINEDLLOVERRIDES")"
        echo "export PELMATIC_WDRIVER=$(shq "$state/wdriver.exe")"
        echo "export PELMATIC_OBSERVER=$(shq "$state/observer.exe")"
        echo "export PELMATIC_RECORDER_EXE=$(shq "$WINEPREFIX/drive_c/pelmatic-test/recorder.exe")"
        echo "export PELMATIC_RECORDER_LOG_UNIX=$(shq "$WINEPREFIX/drive_c/recorder.log")"
        echo "export PELMATIC_WINE_STATE=$(shq "$state")"
        echo "export PELMATIC_WINE_TEMP_UNIX=$(shq "${temp%/}")"
        echo "export PELMATIC_WINE_LOCALAPPDATA_UNIX=$(shq "${appdata%/}")"
        echo "export PELMATIC_SHELLDOUBLE_CLSID=$(shq "$shelldouble_clsid")"
        echo "export PELMATIC_SHELLDOUBLE_CONTROL_UNIX=$(shq "$WINEPREFIX/drive_c/pelmatic-test/shelldouble.ini")"
        echo "export PELMATIC_SHELLDOUBLE_LOG_UNIX=$(shq "$WINEPREFIX/drive_c/pelmatic-test/shelldouble.log")"
    } >"$state/env.sh.tmp"
    mv "$state/env.sh.tmp" "$state/env.sh"
    trap - EXIT
    note "ready: DISPLAY=$DISPLAY WINEPREFIX=$WINEPREFIX (source $state/env.sh)"
}

case $action in
start) do_start ;;
stop)
    [ -d "$state" ] && state=$(cd "$state" && pwd)
    do_stop
    ;;
*) usage ;;
esac

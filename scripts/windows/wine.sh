# Sourced by the Windows scripts: runs Windows programs under Wine in a prefix of the
# build directory, each under a time limit, with Wine's crash debugger switched off so that
# a crash ends the program with a failure instead of waiting. Needs TOLM_WINE_PREFIX.

: "${TOLM_WINE_PREFIX:?set TOLM_WINE_PREFIX to the Wine prefix directory}"
TOLM_WINE=${TOLM_WINE:-/usr/lib/wine/wine64}
TOLM_WINESERVER=${TOLM_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=$TOLM_WINE_PREFIX
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts, no crash debugger (the prefix says so too).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# Wine starts no window or desktop integration here.
unset DISPLAY WAYLAND_DISPLAY

# wine_run SECONDS PROGRAM [ARGS...]: the program's exit status, 124 when the time ran out.
wine_run() {
    local limit=$1
    shift
    timeout -k 10 "$limit" "$TOLM_WINE" "$@" </dev/null
}

# Stops this prefix's wineserver and the Wine services it started. Only this prefix's.
wine_stop() {
    timeout -k 5 30 "$TOLM_WINESERVER" -k 2>/dev/null || true
}

# Creates the prefix once (Windows 10, crash debugger off); later calls find it ready.
wine_prepare_prefix() {
    local stamp=$TOLM_WINE_PREFIX/.tolm-prefix-ready
    local wanted
    wanted="$(timeout -k 5 30 "$TOLM_WINE" --version 2>/dev/null) win10 nodebugger"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
        return 0
    fi
    rm -rf "$TOLM_WINE_PREFIX"
    mkdir -p "$(dirname "$TOLM_WINE_PREFIX")"
    echo "windows: creating the Wine prefix $TOLM_WINE_PREFIX"
    wine_run 180 wineboot --init >/dev/null 2>&1 || { echo "windows: wineboot failed" >&2; return 1; }
    # node.exe 20 refuses the default Windows 7.
    wine_run 60 winecfg /v win10 >/dev/null 2>&1 || { echo "windows: winecfg failed" >&2; return 1; }
    # Also in the prefix itself, for programs started without this environment. Auto: a
    # crash never asks whether to debug.
    wine_run 60 reg add 'HKCU\Software\Wine\DllOverrides' /v winedbg.exe /t REG_SZ /d '' /f \
        >/dev/null 2>&1 &&
        wine_run 60 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Auto /t REG_SZ /d 1 /f >/dev/null 2>&1 ||
        { echo "windows: setting the prefix's registry failed" >&2; return 1; }
    local version
    version=$(wine_run 60 winecfg /v 2>/dev/null | tr -d '\r')
    if [ "$version" != win10 ]; then
        echo "windows: the prefix reports Windows version '$version', not win10" >&2
        return 1
    fi
    # Let the registry reach the disk before the prefix counts as ready.
    timeout -k 5 60 "$TOLM_WINESERVER" -w || true
    echo "$wanted" >"$stamp"
}

#!/usr/bin/env bash
# Runs a Windows program under Wine, headless, in a prefix that belongs to the build folder.
# WINEPREFIX may be set by the caller; otherwise the prefix lives beside the program.
set -euo pipefail
program=$1
shift
if [ -z "${WINEPREFIX:-}" ]; then
    dir=$(cd "$(dirname "$program")" && pwd)
    while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ "$dir" = "/" ] && dir=$(cd "$(dirname "$program")" && pwd)
    export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ -z "${HEIC_WINE_KEEP_DISPLAY:-}" ]; then unset DISPLAY; fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    # One-time prefix creation; a lock keeps parallel tests from racing to make it.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1 || true; wineserver -w; }
    flock -u 9
fi
exec wine "$program" "$@"

#!/bin/sh
# Runs a Windows program of the build under wine: its own prefix under the
# build folder, wine's chatter off, the program's output passed through. ctest
# uses this as the cross-compiling emulator.
#
# Usage: wine-run.sh PROGRAM.exe [ARGS...]
set -u
build_dir=${ASYNFRAME_WINE_BUILD_DIR:-$(dirname "$(dirname "$(readlink -f "$1")")")}
export WINEPREFIX=${WINEPREFIX:-$build_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No desktop integration, no Gecko or Mono installers on first start.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe=d}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
# winedevice.exe keeps the first process's pipes open: wine writes to files,
# which are shown afterwards.
out=$(mktemp) err=$(mktemp)
wine "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $status

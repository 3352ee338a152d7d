#!/bin/sh
# Runs the Windows suites of a build folder under wine: in a network namespace
# of its own (only loopback, so no test can reach another machine), with a
# fresh wine prefix under the build folder and one wine server for the run.
#
# Usage: test-windows.sh BUILD_DIR [ctest arguments...]
set -eu
build_dir=$(readlink -f "$1")
source_dir=$(dirname "$(dirname "$(readlink -f "$0")")")
shift
if [ "${ASYNFRAME_ISOLATED_NETWORK:-}" != 1 ]; then
    exec unshare -n -- env ASYNFRAME_ISOLATED_NETWORK=1 "$0" "$build_dir" "$@"
fi
ip link set lo up

export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
# A server left from an earlier run would hold the old prefix.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
started=$(date +%s)
# One server for every program of the run; it goes when the run ends.
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p
wineboot -i >"$build_dir/wineboot.log" 2>&1
echo "wine prefix ready in $(( $(date +%s) - started )) s"

# The peers are Linux programs in the same namespace; wine's sockets are the
# host's, so the Windows programs reach them over loopback.
peers="$source_dir/tests/platform/run_tls_session_test.sh"
cd "$build_dir"
# Under wine a case that fails is run once more (ctest shows both runs): wine
# schedules threads and delivers socket events unlike Windows, and a case
# that depends on that timing should not hide the rest. A case that fails
# twice fails the run.
"$peers" ctest --test-dir "$build_dir" --output-on-failure -j2 --timeout 180 --repeat until-pass:2 "$@"

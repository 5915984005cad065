#!/usr/bin/env bash
# wine-run.sh <wine prefix folder> <program.exe> [arguments...]
# wine-run.sh <wine prefix folder> --stop
#
# Runs a Windows program under wine64, headless: the CMake cross-compiling
# emulator of cmake/mingw-w64.cmake, so CTest and gtest_discover_tests run
# test programs through it. One wineserver is kept alive between runs
# (SUITE_WINESERVER_LINGER seconds, 30 by default, after the last program
# ends; it then ends by itself) so that a run does not pay for wine's
# start-up each time.
set -u
prefix=$(realpath -m "$1")  # wine wants an absolute path
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs them, and their installers would be
# offered on the first start.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

find_wine() {
    local name=$1
    if [ -x "/usr/lib/wine/$name" ]; then
        echo "/usr/lib/wine/$name"
    else
        command -v "$name" || command -v "${name%64}"
    fi
}
wine=$(find_wine wine64) || { echo "wine-run.sh: wine64 not found (Debian package wine64)" >&2; exit 127; }
wineserver=$(find_wine wineserver64) || { echo "wine-run.sh: wineserver not found" >&2; exit 127; }

# --stop: ends the server (and wine's services with it) at once, rather than
# when it has been idle long enough; for the end of a test run.
if [ "${1:-}" = --stop ]; then
    if [ -d "$prefix" ]; then
        "$wineserver" -k 2>/dev/null
        "$wineserver" -w 2>/dev/null  # until it is gone
    fi
    exit 0
fi

# Under a lock, so that concurrent runs (ctest -j) make the prefix once and
# start one server:
# - the prefix is made on first use;
# - a wineserver is started unless one already serves this prefix, and then
#   wine's own background processes (services.exe and the like) are started
#   at once by a run with no output. They live as long as the server, so
#   they must not hold the caller's stdout/stderr: CTest reads those pipes to
#   their end and would wait for the server to go. For the same reason they
#   must not hold the lock's descriptor (9>&-), or the next run would wait
#   for the lock until the server ends.
mkdir -p "$(dirname "$prefix")"
{
    flock 9
    if [ ! -f "$prefix/.suite-ready" ]; then
        "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&- && touch "$prefix/.suite-ready"
    fi
    if "$wineserver" -p"${SUITE_WINESERVER_LINGER:-30}" </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
} 9>"$prefix.lock"
exec "$wine" "$@"

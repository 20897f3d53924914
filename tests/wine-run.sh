#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build's own, with
# Wine's diagnostics off, so that only the program's own bytes reach a test.
# Usage: wine-run.sh PREFIX --start | --stop | PROGRAM [ARGS...]
#   --start  creates the prefix if need be and starts a persistent wine server
#   --stop   stops that server
# With WINE_RUN_OWN_SERVER set, the program gets a wine server of its own on a
# copy of the prefix (for runs in a time namespace, whose clock the program
# sees only through a server started inside it).
# Wine's 64-bit loader runs the program, or WINE_RUN_LOADER (Wine's 32-bit
# loader, for a 32-bit program): Debian's `wine` would take the 32-bit loader
# for every program once wine32 is installed, and a kernel without 32-bit x86
# support cannot start it. With WINE_RUN_LOADER set, such a kernel makes the
# run exit 77, with the reason: a skip, where the program itself exits only 0
# or 1.
set -u
loader=${WINE_RUN_LOADER:-/usr/lib/wine/wine64}
export WINEPREFIX=$1 WINEDEBUG=-all WINELOADER=$loader
shift

# A wine server keeps the streams it inherits open: never hand it a test's.
start_server() { wineserver -p </dev/null >/dev/null 2>&1; }
stop_server() { wineserver -k </dev/null >/dev/null 2>&1; }

if [[ -n ${WINE_RUN_LOADER:-} ]]; then
  # Whether this kernel runs 32-bit x86 programs at all, asked of Wine's
  # loader, or where that is missing of the i686 cross toolchain's.
  probe=$WINE_RUN_LOADER
  [[ -x $probe ]] || probe=/usr/i686-linux-gnu/lib/ld-linux.so.2
  if ! reason=$("$probe" --version 2>&1 >/dev/null) && [[ $reason == *"Exec format error"* ]]; then
    echo "SKIP: this kernel runs no 32-bit x86 programs ($probe: Exec format error), which Wine needs for a 32-bit one"
    exit 77
  fi
  [[ -x $WINE_RUN_LOADER ]] || { echo "FAIL: no $WINE_RUN_LOADER (apt-get install wine32:i386)"; exit 1; }
fi

case ${1:-} in
  --start)
    mkdir -p "$WINEPREFIX"
    start_server
    "$loader" wineboot --init </dev/null >/dev/null 2>&1
    exit
    ;;
  --stop)
    stop_server
    exit 0
    ;;
esac

if [[ -n ${WINE_RUN_OWN_SERVER:-} ]]; then
  copy=$(mktemp -d)
  trap 'stop_server; rm -rf "$copy"' EXIT
  cp -a "$WINEPREFIX/." "$copy"
  export WINEPREFIX=$copy
  start_server
  "$loader" "$@"
  exit
fi
exec "$loader" "$@"

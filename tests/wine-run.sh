#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of the build's own, with
# Wine's diagnostics off, so that only the program's own bytes reach a test.
# Usage: wine-run.sh PREFIX --start | --stop | PROGRAM [ARGS...]
#   --start  creates the prefix if need be and starts a persistent wine server
#   --stop   stops that server
# With WINE_RUN_OWN_SERVER set, the program gets a wine server of its own on a
# copy of the prefix (for runs in a time namespace, whose clock the program
# sees only through a server started inside it).
set -u
export WINEPREFIX=$1 WINEDEBUG=-all
shift

# A wine server keeps the streams it inherits open: never hand it a test's.
start_server() { wineserver -p </dev/null >/dev/null 2>&1; }
stop_server() { wineserver -k </dev/null >/dev/null 2>&1; }

case ${1:-} in
  --start)
    mkdir -p "$WINEPREFIX"
    start_server
    wine wineboot --init </dev/null >/dev/null 2>&1
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
  wine "$@"
  exit
fi
exec wine "$@"

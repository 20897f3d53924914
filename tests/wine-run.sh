#!/usr/bin/env bash
# Runs a Windows program under Wine in a folder of the build's own, with
# Wine's diagnostics off, so that only the program's own bytes reach a test.
# Usage: wine-run.sh DIR --start | --stop | --env | PROGRAM [ARGS...]
#   DIR      the build's Wine folder: the prefix, and the home, XDG and
#            runtime folders that Wine is given
#   --start  creates the prefix if need be and starts a persistent wine server
#   --stop   stops that server
#   --env    prints Wine's environment, NAME=VALUE a line (for bench/run.sh,
#            which times the loader without this script around it)
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
if [[ $# -lt 2 || $1 != /* ]]; then
  echo "usage: wine-run.sh /ABSOLUTE/DIR --start | --stop | --env | PROGRAM [ARGS...]" >&2
  exit 2
fi
dir=$1
shift
loader=${WINE_RUN_LOADER:-/usr/lib/wine/wine64}

# Everything Wine reads of its environment, set here and nowhere else, so
# that a run is the same as root without a session, as a user with one, and
# the second time in a folder as the first, and writes nothing outside DIR:
# - HOME and the XDG folders: winemenubuilder and the desktop would write
#   menu entries, icons and MIME types into the user's;
# - XDG_RUNTIME_DIR: without one, Wine 10's Wayland driver says so on stderr
#   (Debian 13);
# - no DISPLAY or WAYLAND_DISPLAY: a console program needs no window system,
#   and one that a test happens to inherit is not for Wine to talk to;
# - no TMPDIR: Debian 13's Wine aborts ("free(): invalid pointer") whenever
#   it is set, even empty; the wine server's socket folder goes into /tmp,
#   and is removed when the server stops (below);
# - WINEDLLOVERRIDES: no menu entries (winemenubuilder), and no offer to
#   install Mono or Gecko when the prefix is made.
mkdir -p "$dir/home" "$dir/runtime" && chmod 0700 "$dir/runtime" || exit 2
unset DISPLAY WAYLAND_DISPLAY TMPDIR
wine_env=(WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINELOADER="$loader" HOME="$dir/home"
  XDG_CONFIG_HOME="$dir/home/.config" XDG_DATA_HOME="$dir/home/.local/share"
  XDG_CACHE_HOME="$dir/home/.cache" XDG_STATE_HOME="$dir/home/.local/state"
  XDG_RUNTIME_DIR="$dir/runtime" WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d')
export "${wine_env[@]}"

# A wine server keeps the streams it inherits open: never hand it a test's.
start_server() { wineserver -p </dev/null >/dev/null 2>&1; }
# Stopping a server also removes its socket folder, which it leaves behind:
# /tmp/wine-XXXXXX/server-DEVICE-INODE, where Debian's Wine records the
# first part in the prefix when it makes it and the rest is the prefix's.
stop_server() {
  local name
  wineserver -k </dev/null >/dev/null 2>&1
  name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) && [[ $name =~ ^wine-[A-Za-z0-9]{6}$ ]] ||
    return 0
  rm -rf "/tmp/$name/server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
  rmdir "/tmp/$name" 2>/dev/null
  return 0
}

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

case $1 in
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
  --env)
    printf '%s\n' "${wine_env[@]}"
    exit 0
    ;;
esac

# Wine and the program share the process's stderr. What Wine itself still
# says there, in its own message forms (a channel's "0024:err:", the
# loader's "wine: ", "wine client error:"), goes to DIR/messages.log, and
# reaches the caller's stderr only when the run failed, as the reason;
# every other byte is the program's and always reaches it, so a test still
# sees a program that writes there. (The program writes nothing but its
# line, which has none of those forms.)
wine_message='^([0-9a-f]{4}:(err|warn|fixme|trace):|wine: |wine client error)'
run() {
  local err status
  err=$(mktemp "$dir/stderr.XXXXXX") || exit 2
  "$loader" "$@" 2>"$err"
  status=$?
  grep -aE "$wine_message" "$err" >>"$dir/messages.log"
  if ((status == 0)); then
    grep -avE "$wine_message" "$err" >&2
  else
    cat "$err" >&2
  fi
  rm -f "$err"
  return "$status"
}

if [[ -n ${WINE_RUN_OWN_SERVER:-} ]]; then
  copy=$(mktemp -d "$dir/own-server.XXXXXX") || exit 2
  trap 'stop_server; rm -rf "$copy"' EXIT
  cp -a "$WINEPREFIX/." "$copy"
  export WINEPREFIX=$copy
  start_server
fi
run "$@"

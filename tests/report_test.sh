#!/usr/bin/env bash
# End-to-end checks of the built program, run the way a shell user runs it.
# Usage: report_test.sh CASE PROGRAM [EMULATOR-ARGS...]
# PROGRAM may be an emulator followed by the program it runs. Exit 0 passes,
# 1 fails, 77 skips (with the reason on stdout).
set -u
export LC_ALL=C

case_name=$1
shift
program=("$@")
# How far the program's clock may be from the kernel's uptime; an emulator's
# clock can lag.
tolerance_ms=${CLOCK_TOLERANCE_MS:-50}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL [$case_name]: $*"; exit 1; }
skip() { echo "SKIP [$case_name]: $*"; exit 77; }

line_re='^System Uptime: (0|[1-9][0-9]*) Days, ([0-9]|1[0-9]|2[0-3]) Hours, '
line_re+='([0-9]|[1-5][0-9]) Mins, ([0-9]|[1-5][0-9]) Seconds, '
line_re+='(0|[1-9][0-9]{0,2}) Miliseconds'$'\r\n''$'

# Leaves the bytes of a file, trailing newlines and all, in $text.
read_bytes() { text=$(cat "$1"; printf x); text=${text%x}; }

# A runner that cannot start here (tests/wine-run.sh, for a 32-bit program on
# a kernel without 32-bit x86 support) exits 77 with its reason: every case
# is skipped, never passed.
if [[ -n ${WINE_RUN_LOADER:-} ]]; then
  "${program[@]}" >"$work/out" 2>/dev/null </dev/null
  (($? == 77)) && skip "$(sed "s/^SKIP: //" "$work/out")"
fi

uptime_ms() { local up; read -r up _ </proc/uptime; echo $((${up/./} * 10)); }

# Checks that a run wrote exactly one well-formed line and nothing to stderr,
# and leaves its value in milliseconds in $reported_ms.
expect_line() {
  local out=$1 err=$2 text
  read_bytes "$out"
  [[ -s $err ]] && fail "wrote to stderr: $(cat "$err")"
  [[ $text =~ $line_re ]] || fail "malformed output: $(od -c "$out" | head -n 8)"
  local -a f=("${BASH_REMATCH[@]:1}")
  reported_ms=$(( (((f[0] * 24 + f[1]) * 60 + f[2]) * 60 + f[3]) * 1000 + f[4] ))
}

# Runs the program with the given arguments; the value must fall between two
# readings of /proc/uptime, left in $before_ms and $after_ms, taken around it.
run_and_bracket() {
  local status
  before_ms=$(uptime_ms)
  "${program[@]}" "$@" >"$work/out" 2>"$work/err" </dev/null
  status=$?
  after_ms=$(uptime_ms)
  if ((status != 0)); then
    local shown=$*
    ((${#shown} > 60)) && shown="${shown:0:40}... (${#shown} characters)"
    fail "exit status $status with arguments: $shown; stderr: $(head -c 1000 "$work/err")"
  fi
  expect_line "$work/out" "$work/err"
  # /proc/uptime counts in hundredths, hence the 10 ms on top.
  ((reported_ms >= before_ms - tolerance_ms && reported_ms <= after_ms + 10 + tolerance_ms)) ||
    fail "reported ${reported_ms} ms, /proc/uptime said ${before_ms}..${after_ms} ms"
}

# A failed write must end the program normally with status 1, silently.
expect_failed_write() {
  local status=$1
  ((status < 128)) || fail "killed by signal $((status - 128))"
  ((status == 1)) || fail "exit status $status, expected 1"
  [[ -s $work/err ]] && fail "wrote to stderr: $(cat "$work/err")"
  return 0
}

# An ignored signal stays ignored across exec: a test runner started with
# SIGPIPE or SIGXFSZ ignored would hide a program that dies of them. These
# cases run the program with both at their default actions.
with_default_signals() { env --default-signal=PIPE,XFSZ "$@"; }

# Runs the program in a time namespace whose uptime is moved to just past
# the given number of days.
run_at_days() {
  local days=$1 now_s offset
  [[ $(id -u) == 0 ]] || skip "moving the boot clock needs root"
  unshare --time true 2>/dev/null || skip "time namespaces are not available here"
  now_s=$(($(uptime_ms) / 1000))
  offset=$((days * 86400 + 60 - now_s))
  unshare --time --boottime "$offset" --monotonic "$offset" \
    "${program[@]}" >"$work/out" 2>"$work/err" </dev/null ||
    fail "exit status $? in a time namespace"
  expect_line "$work/out" "$work/err"
  local text
  read_bytes "$work/out"
  [[ $text == "System Uptime: $days Days, 0 Hours, "* ]] ||
    fail "expected $days days, got: $text"
}

case $case_name in
  shape)
    "${program[@]}" >"$work/out" 2>"$work/err" </dev/null || fail "exit status $?"
    expect_line "$work/out" "$work/err"
    size=$(stat -c %s "$work/out")
    ((size >= 66 && size <= 82)) || fail "line of $size bytes"
    ;;
  uptime)
    run_and_bracket
    ;;
  arguments)
    # Nothing a caller passes changes the line: arguments, input, locale or
    # time zone.
    long_argument=$(printf 'x%.0s' {1..4000})
    for args in "" "--help" "-h --version" "/?" "-" "--" "a b c" "$long_argument" $'\r\n'; do
      # shellcheck disable=SC2086
      run_and_bracket $args
    done
    LANG=de_DE.UTF-8 LC_NUMERIC=de_DE.UTF-8 TZ=Asia/Kolkata run_and_bracket
    run_and_bracket <&-
    ;;
  interval)
    # Each run reads the clock afresh: a second later, it reports a second
    # more, and no more than the time that passed between the two runs. (A
    # Windows tick count may move in steps of up to 16 ms.)
    run_and_bracket
    first_ms=$reported_ms first_started_ms=$before_ms
    sleep 1
    run_and_bracket
    gap=$((reported_ms - first_ms))
    ((gap >= 1000 - 16 && gap <= after_ms - first_started_ms + 10)) ||
      fail "runs one second apart differ by $gap ms"
    ;;
  closed_stdout)
    "${program[@]}" >&- 2>"$work/err" </dev/null
    expect_failed_write $?
    ;;
  full_device)
    [[ -w /dev/full ]] || skip "no /dev/full here"
    "${program[@]}" >/dev/full 2>"$work/err" </dev/null
    expect_failed_write $?
    ;;
  null_handle | invalid_handle)
    # GetStdHandle gives NULL or INVALID_HANDLE_VALUE (the Windows program in
    # tests/pe_loader.cpp, which reads PE_LOADER_STD_HANDLE): the write
    # fails, and nothing is written anywhere.
    PE_LOADER_STD_HANDLE=${case_name%_handle} "${program[@]}" >"$work/out" 2>"$work/err" </dev/null
    expect_failed_write $?
    [[ -s $work/out ]] && fail "wrote without a handle: $(od -c "$work/out" | head -n 2)"
    ;;
  crashes)
    # A program made to fault (the PE loader's tests): it must die of
    # SIGSEGV, and leave no core file behind.
    (ulimit -c 0 && cd "$work" && "${program[@]}" >/dev/null 2>"$work/err" </dev/null) 2>/dev/null
    status=$?
    ((status == 128 + 11)) || fail "exit status $status, expected death by SIGSEGV: $(cat "$work/err")"
    ;;
  broken_pipe)
    # The reader ends at once; the program starts writing only after that.
    { sleep 0.3; with_default_signals "${program[@]}" 2>"$work/err" </dev/null; echo $? >"$work/status"; } | true
    expect_failed_write "$(cat "$work/status")"
    ;;
  file_size_limit)
    (ulimit -f 0 && with_default_signals "${program[@]}" >"$work/out" 2>"$work/err" </dev/null)
    expect_failed_write $?
    [[ -s $work/out ]] && fail "wrote past the file-size limit"
    ;;
  partial_write)
    # A limit inside the line: the write stops short, the bytes before the
    # limit stay, and the program says so with its status.
    prlimit --fsize=10 env --default-signal=PIPE,XFSZ "${program[@]}" \
      >"$work/out" 2>"$work/err" </dev/null
    expect_failed_write $?
    read_bytes "$work/out"
    [[ $text == "System Upt" ]] || fail "expected the first 10 bytes, got: $(od -c "$work/out")"
    ;;
  past_49_days)
    run_at_days 50
    ;;
  past_100_days)
    run_at_days 100
    ;;
  *)
    fail "no such case"
    ;;
esac
exit 0

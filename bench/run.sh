#!/usr/bin/env bash
# Measures what a run of uptime-report costs, against the cheapest program of
# its kind measured in the same run, and prints one Markdown table.
# Usage: bench/run.sh [RUNS]   (RUNS: timed runs per command, default 300)
# Needs hyperfine, valgrind, GNU time, binutils; for the Windows rows, the
# mingw-w64 toolchain and wine (skipped when missing). Builds what it measures.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --preset native >/dev/null
cmake --build --preset native --target uptime-report >/dev/null
linux_program=$PWD/build/native/uptime-report
floor=/bin/true

# Median seconds of each command, timed in one hyperfine run.
medians() {
  hyperfine -N --warmup 20 --runs "$runs" --export-json "$work/times.json" "$@" >/dev/null 2>&1
  /usr/bin/python3 -c 'import json,sys; print(*(r["median"] for r in json.load(open(sys.argv[1]))["results"]))' \
    "$work/times.json"
}
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}
# Median of the peak resident sizes of 21 runs, in KB.
peak_rss_kb() {
  for _ in $(seq 21); do /usr/bin/time -f %M "$@" 2>&1 >/dev/null; done | sort -n | sed -n 11p
}
stripped_size() { "${2:-strip}" -o "$work/stripped" "$1" && stat -c %s "$work/stripped"; }
ratio() { /usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$1" "$2"; }
micros() { /usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[1]) * 1e6:.0f} µs")' "$1"; }
needed() {
  local libs
  libs=$(objdump -p "$1" | awk '/NEEDED|DLL Name/ {print $NF}' | paste -sd, -)
  echo "${libs:-none (static)}"
}

read -r program_s floor_s < <(medians "$linux_program" "$floor")
program_ir=$(instructions "$linux_program")
floor_ir=$(instructions "$floor")
program_rss=$(peak_rss_kb "$linux_program")
floor_rss=$(peak_rss_kb "$floor")

echo "| what | uptime-report | yardstick | ratio |"
echo "| --- | --- | --- | --- |"
echo "| Linux: wall time, median of $runs runs | $(micros "$program_s") | $(micros "$floor_s") ($floor) | $(ratio "$program_s" "$floor_s") |"
echo "| Linux: user-space instructions per run | $program_ir | $floor_ir ($floor) | $(ratio "$program_ir" "$floor_ir") |"
echo "| Linux: peak resident memory | $program_rss KB | $floor_rss KB ($floor) | $(ratio "$program_rss" "$floor_rss") |"
echo "| Linux: file size, built / stripped | $(stat -c %s "$linux_program") / $(stripped_size "$linux_program") bytes | | |"
echo "| Linux: dynamic dependencies | $(needed "$linux_program") | $(needed "$floor") | |"

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
  echo "| Windows | not measured: mingw-w64 or wine missing | | |"
  exit 0
fi
cmake --preset windows >/dev/null
cmake --build --preset windows --target uptime-report trivial-console >/dev/null
exe=$PWD/build/windows/uptime-report.exe
trivial=$PWD/build/windows/bench/trivial-console.exe
prefix=$PWD/build/windows/wineprefix
bash tests/wine-run.sh "$prefix" --start
trap 'bash tests/wine-run.sh "$prefix" --stop; rm -rf "$work"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all
read -r exe_s trivial_s < <(medians "wine $exe" "wine $trivial")
strip_exe=x86_64-w64-mingw32-strip

echo "| Windows: stripped .exe | $(stripped_size "$exe" $strip_exe) bytes | $(stripped_size "$trivial" $strip_exe) bytes (empty main) | |"
echo "| Windows: DLL imports | $(needed "$exe") | $(needed "$trivial") | |"
echo "| Windows: wall time under Wine, median of $runs runs | $(micros "$exe_s") | $(micros "$trivial_s") (empty main) | $(ratio "$exe_s" "$trivial_s") |"

#!/usr/bin/env bash
# Measures what a run of uptime-report costs, against reading /proc/uptime,
# the same program linked against glibc and the cheapest process there is,
# all in one run, and prints Markdown tables. Every measured program runs
# from the same path, with the same small environment and nothing else of the
# caller's.
# Usage: bench/run.sh [RUNS]   (RUNS: timed runs per command, default 300)
# Needs hyperfine, valgrind, GNU time, binutils; the ARM rows need the cross
# compilers, the Windows rows mingw-w64, the release's clang and lld, and their
# timing wine (each skipped when missing). Builds what it measures.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-300}

for tool in cmake ninja gcc hyperfine valgrind callgrind_annotate /usr/bin/time strip objdump \
  /usr/bin/python3; do
  command -v "$tool" >/dev/null ||
    { echo "bench: $tool is missing; bash scripts/setup.sh bench installs what the benchmark needs" >&2; exit 1; }
done
# Every program built here runs from a copy in this folder, whose path has
# the same length wherever the checkout is: musl's start-up reads the
# program's path for its name, a few instructions per character (measured
# below), so the counts repeat only from one path.
work=$(mktemp -d /tmp/uptime-report-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

build() { cmake --preset "$1" "${@:3}" >/dev/null && cmake --build "$2" --target uptime-report >/dev/null; }
build native build/native
# The same program linked statically against glibc, as the build does where
# musl is missing: what musl buys.
build native build/bench-glibc -B build/bench-glibc -DUPTIME_REPORT_MUSL=OFF \
  -DUPTIME_REPORT_NOTICES=OFF -DBUILD_TESTING=OFF
program=$work/uptime-report
glibc_program=$work/uptime-report-glibc
cp build/native/uptime-report "$program"
cp build/bench-glibc/uptime-report "$glibc_program"

# The floor: a static program whose _start only exits. GNU time counts the
# measuring child's own pages from before exec too, so no program reads
# lower than this.
printf '.globl _start\n_start: mov $60, %%eax\nxor %%edi, %%edi\nsyscall\n' >"$work/empty.S"
gcc -nostdlib -static -o "$work/empty" "$work/empty.S"

names=("uptime-report" "same, glibc static" "/bin/true")
commands=("$program" "$glibc_program" /bin/true)
names+=("cat /proc/uptime" "empty _start") commands+=("/bin/cat /proc/uptime" "$work/empty")
true_column=2

# The one environment every measured program gets (the Wine rows add Wine's
# own, as tests/wine-run.sh sets it): a program's start-up reads each
# variable (musl's costs a few instructions apiece, measured below), so the
# counts repeat only in a fixed environment.
measure_env=(env -i PATH=/usr/bin:/bin LC_ALL=C)

# Median seconds of each command, timed in one hyperfine run, then their
# standard deviations on the same line.
medians() {
  "${measure_env[@]}" hyperfine -N --warmup 20 --runs "$runs" --export-json "$work/times.json" "$@" \
    >"$work/hyperfine.log" 2>&1 || { cat "$work/hyperfine.log" >&2; return 1; }
  /usr/bin/python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]; print(*(x["median"] for x in r), *(x["stddev"] for x in r))' \
    "$work/times.json"
}
instructions() {
  # shellcheck disable=SC2086
  "${measure_env[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null $1 2>&1 >/dev/null |
    sed -n 's/.*Collected : //p'
}
# The instructions of musl's start-up in a copy of uptime-report (__init_libc,
# which walks the environment and the program's path), with any NAME=VALUE
# given added to the environment. The whole run's count also moves with the
# digits it prints.
startup_instructions() {
  local copy=$1
  shift
  "${measure_env[@]}" "$@" valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" \
    "$copy" >/dev/null 2>&1
  callgrind_annotate --inclusive=yes "$work/callgrind.out" |
    sed -n 's/^ *\([0-9,]*\) .*:__init_libc .*/\1/p' | tr -d ,
}
# Median of 21 readings of a GNU time field (%R minor faults, %M peak KB).
time_median() {
  # shellcheck disable=SC2086
  for _ in $(seq 21); do "${measure_env[@]}" /usr/bin/time -f "$1" $2 2>&1 >/dev/null; done |
    sort -n | sed -n 11p
}
stripped_size() { "${2:-strip}" -o "$work/stripped" "$1" && stat -c %s "$work/stripped"; }
ratio() { /usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[1]) / float(sys.argv[2]):.2f}")' "$1" "$2"; }
micros() { /usr/bin/python3 -c 'import sys; print(f"{float(sys.argv[1]) * 1e6:.0f} µs")' "$1"; }
needed() {
  local libs
  libs=$(objdump -p "$1" | awk '/NEEDED|DLL Name/ {print $NF}' | paste -sd, -)
  echo "${libs:-none (static)}"
}
# One table row: the label, a value per command, then uptime-report's ratio
# to /bin/true and the target for that ratio.
row() {
  local label=$1 target=$2
  shift 2
  local -a values=("$@")
  printf '| %s |' "$label"
  printf ' %s |' "${values[@]}"
  printf ' %s | %s |\n' "$(ratio "${values[0]%% *}" "${values[true_column]%% *}")" "$target"
}

read -r -a seconds < <(medians "${commands[@]}")
wall=() ir=() faults=() rss=()
for i in "${!commands[@]}"; do
  wall+=("$(micros "${seconds[i]}")")
  ir+=("$(instructions "${commands[i]}")")
  faults+=("$(time_median %R "${commands[i]}")")
  rss+=("$(time_median %M "${commands[i]}") KB")
done

echo "Linux, $(uname -m):"
echo
printf '| what |'; printf ' %s |' "${names[@]}"; echo ' uptime-report / /bin/true | target |'
printf '| --- |'; printf ' --- |%.0s' "${names[@]}"; echo ' --- | --- |'
row "wall time, median of $runs runs" "≤ 0.65" "${wall[@]}"
row "user-space instructions per run" "≤ 2000 instructions" "${ir[@]}"
row "minor page faults, median of 21" "≤ 0.5" "${faults[@]}"
row "peak resident memory, median of 21" "see below" "${rss[@]}"
echo
echo "- Peak resident memory above the empty \`_start\`: uptime-report $((${rss[0]%% *} - ${rss[-1]%% *})) KB, /bin/true $((${rss[true_column]%% *} - ${rss[-1]%% *})) KB."
echo "- uptime-report, stripped: $(stripped_size "$program") bytes (target ≤ 32768); glibc static: $(stripped_size "$glibc_program") bytes."
echo "- Dynamic dependencies: uptime-report $(needed "$program"); /bin/true $(needed /bin/true)."
# What each further environment variable costs uptime-report's start-up.
mapfile -t forty < <(seq -f 'BENCH_VARIABLE_%g=value' 40)
mapfile -t eighty < <(seq -f 'BENCH_VARIABLE_%g=value' 80)
startup_0=$(startup_instructions "$program")
startup_40=$(startup_instructions "$program" "${forty[@]}")
startup_80=$(startup_instructions "$program" "${eighty[@]}")
per() { /usr/bin/python3 -c 'import sys; print(f"{(int(sys.argv[2]) - int(sys.argv[1])) / int(sys.argv[3]):g}")' "$@"; }
echo "- Every run's environment: ${measure_env[*]:2}, nothing else (\`env -i\`)."
echo "- Each environment variable more costs uptime-report's start-up (musl's \`__init_libc\`) $(per "$startup_0" "$startup_80" 80) instructions: $startup_0 in that environment, $startup_40 with 40 more variables, $startup_80 with 80 more."
# And each character more of the program's path: the same program, 100
# characters further down.
longer=$work/$(printf 'd%.0s' {1..99})
mkdir "$longer" && cp "$program" "$longer/"
startup_longer=$(startup_instructions "$longer/uptime-report")
echo "- Every run's path: ${work%.*}.XXXXXX/NAME (\`mktemp -d\`), ${#program} characters for uptime-report."
echo "- Each character more of the program's path costs its start-up $(per "$startup_0" "$startup_longer" 100) instructions: $startup_0 from that path, $startup_longer from one 100 characters longer."

# Every other Linux architecture's stripped size (target: 32 KiB each).
mapfile -t cross_presets < <(cmake --list-presets | sed -n 's/^ *"\(linux-[^"]*\)".*/\1/p')
for preset in "${cross_presets[@]}"; do
  if build "$preset" "build/$preset" 2>/dev/null; then
    cross_strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$preset/CMakeCache.txt")
    echo "- $preset, stripped: $(stripped_size "build/$preset/uptime-report" "$cross_strip") bytes."
  else
    echo "- $preset: not built (its cross compiler or musl-dev is missing)."
  fi
done

# Each Windows program's stripped size (target: 10 KiB each), and its
# imports.
echo
for preset in windows-x86 windows-x64 windows-arm64; do
  if build "$preset" "build/$preset" 2>/dev/null; then
    exe=build/$preset/uptime-report.exe
    win_strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$preset/CMakeCache.txt")
    imports=$(/usr/bin/python3 -c 'import pefile, sys; print(",".join(e.dll.decode() for e in pefile.PE(sys.argv[1]).DIRECTORY_ENTRY_IMPORT))' "$exe")
    echo "- $preset, stripped: $(stripped_size "$exe" "$win_strip") bytes (target ≤ 10240); imports $imports."
  else
    echo "- $preset: not built (mingw-w64, or the release's clang and lld, missing)."
  fi
done

# Wine's 64-bit loader, as tests/wine-run.sh runs it.
wine=/usr/lib/wine/wine64
if [[ ! -x $wine ]]; then
  echo
  echo "Windows: not timed (wine missing)."
  exit 0
fi
cmake --build --preset windows-x64 --target trivial-console >/dev/null
exe=$PWD/build/windows-x64/uptime-report.exe
trivial=$PWD/build/windows-x64/bench/trivial-console.exe
wine_dir=$PWD/build/windows-x64/wine
bash tests/wine-run.sh "$wine_dir" --start
trap 'bash tests/wine-run.sh "$wine_dir" --stop; rm -rf "$work"' EXIT
mapfile -t wine_env < <(bash tests/wine-run.sh "$wine_dir" --env)
measure_env+=("${wine_env[@]}")
# Wine's own start-up is tens of milliseconds and varies by as much from run
# to run: the spread says whether the two differ at all.
read -r exe_s trivial_s exe_sd trivial_sd < <(medians "$wine $exe" "$wine $trivial")
strip_exe=x86_64-w64-mingw32-strip

echo
echo "Windows x64, under Wine (timing is Wine's start-up, noise for the program):"
echo
echo "| what | uptime-report.exe | empty main, mingw-w64 with its C runtime |"
echo "| --- | --- | --- |"
echo "| stripped size | $(stripped_size "$exe" $strip_exe) bytes | $(stripped_size "$trivial" $strip_exe) bytes |"
echo "| DLL imports | $(needed "$exe") | $(needed "$trivial") |"
echo "| wall time, median of $runs runs (standard deviation) | $(micros "$exe_s") ($(micros "$exe_sd")) | $(micros "$trivial_s") ($(micros "$trivial_sd")) |"

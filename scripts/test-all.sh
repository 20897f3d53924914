#!/usr/bin/env bash
# Runs every workflow preset that CMakePresets.json defines (configure, build
# and test: each Linux architecture, the sanitizer build, Windows), one after
# another, or the ones named, and closes with what failed and what was
# skipped, each with its reason: a workflow whose architecture this Debian
# release has no musl for, and every test that could not run here. Set up
# first with `bash scripts/setup.sh test`.
# Usage: scripts/test-all.sh [PRESET...]
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

for preset in "$@"; do
  [[ $preset != -* && -n $preset ]] || { echo "usage: $0 [PRESET...]" >&2; exit 2; }
done
presets=("$@")
((${#presets[@]})) ||
  mapfile -t presets < <(cmake --list-presets=workflow | sed -n 's/^ *"\([^"]*\)".*/\1/p')
((${#presets[@]})) || { echo "test-all: no workflow presets found" >&2; exit 1; }

# The tests that a preset's last run skipped, from the JUnit file its test
# preset writes (CMakePresets.json): a line per reason, "REASON<TAB>TESTS".
# A skipped test gives its reason in its last line that starts with SKIP.
skipped_tests() {
  /usr/bin/python3 -c '
import re, sys, xml.etree.ElementTree as tree
reasons = {}
for case in tree.parse(sys.argv[1]).iter("testcase"):
    if case.find("skipped") is not None:
        lines = [line for line in (case.findtext("system-out") or "").splitlines()
                 if line.startswith("SKIP")]
        reason = re.sub(r"^SKIP\w*( \[[^]]*\])?: *", "", lines[-1]) if lines else "no reason given"
        reasons.setdefault(reason, []).append(case.get("name"))
for reason, names in reasons.items():
    print(reason, " ".join(names), sep="\t")' "$1"
}

# CTest shows a test's output only when it ends, and the release test runs
# for many minutes (longer still while it makes its Debian roots): a line
# every minute says that the workflow is still at work.
workflow() {
  # ($$ is this script: the ticker ends with it, however it ends.)
  (
    minutes=0
    # sleep holds no output open: whatever reads this script's output
    # sees its end when the script ends.
    while sleep 60 </dev/null &>/dev/null && kill -0 $$ 2>/dev/null; do
      echo "test-all: $1 still running, $((++minutes)) min so far"
    done
  ) &
  local ticker=$! status=0
  cmake --workflow --preset "$1" || status=$?
  kill "$ticker" 2>/dev/null
  wait "$ticker" 2>/dev/null
  return "$status"
}

passed=() failed=() skipped=() skipped_lines=() skipped_test_count=0
for preset in "${presets[@]}"; do
  echo "=== $preset"
  rm -f "build/$preset/Testing/junit.xml"
  if ! workflow "$preset"; then
    failed+=("$preset")
  # The configure step leaves the reason there (CMakeLists.txt); each
  # preset's folder is build/<preset> (CMakePresets.json).
  elif [[ -f build/$preset/SKIPPED ]]; then
    skipped+=("$preset")
    continue
  else
    passed+=("$preset")
  fi
  [[ -f build/$preset/Testing/junit.xml ]] || continue
  while IFS=$'\t' read -r reason tests; do
    read -r -a names <<<"$tests"
    skipped_lines+=("in $preset, ${#names[@]} ($tests): $reason")
    ((skipped_test_count += ${#names[@]}))
  done < <(skipped_tests "build/$preset/Testing/junit.xml")
done
for preset in "${skipped[@]}"; do
  echo "test-all: skipped workflow $preset: $(cat "build/$preset/SKIPPED")"
done
for line in "${skipped_lines[@]}"; do
  echo "test-all: skipped tests $line"
done
((${#failed[@]})) && echo "test-all: failed: ${failed[*]}"
echo "test-all: ${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped;" \
  "$skipped_test_count tests skipped in the others"
((${#failed[@]} == 0))

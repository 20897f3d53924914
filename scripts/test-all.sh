#!/usr/bin/env bash
# Runs every workflow preset that CMakePresets.json defines (configure, build
# and test: each Linux architecture, the sanitizer build, Windows), one after
# another, and names the ones that failed, and those skipped because this
# Debian release has no musl for their architecture. Set up first with
# `bash scripts/setup.sh test`.
set -uo pipefail
cd "$(dirname "$0")/.."

mapfile -t presets < <(cmake --list-presets=workflow | sed -n 's/^ *"\([^"]*\)".*/\1/p')
((${#presets[@]})) || { echo "test-all: no workflow presets found" >&2; exit 1; }
passed=() failed=() skipped=()
for preset in "${presets[@]}"; do
  echo "=== $preset"
  if ! cmake --workflow --preset "$preset"; then
    failed+=("$preset")
  # The configure step leaves the reason there (CMakeLists.txt); each
  # preset's folder is build/<preset> (CMakePresets.json).
  elif [[ -f build/$preset/SKIPPED ]]; then
    skipped+=("$preset")
  else
    passed+=("$preset")
  fi
done
for preset in "${skipped[@]}"; do
  echo "test-all: skipped $preset: $(cat "build/$preset/SKIPPED")"
done
((${#failed[@]})) && echo "test-all: failed: ${failed[*]}"
echo "test-all: ${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
((${#failed[@]} == 0))

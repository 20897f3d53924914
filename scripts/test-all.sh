#!/usr/bin/env bash
# Runs every workflow preset that CMakePresets.json defines (configure, build
# and test: each Linux architecture, the sanitizer build, Windows), one after
# another, and names the ones that failed. Set up first with
# `bash scripts/setup.sh test`.
set -uo pipefail
cd "$(dirname "$0")/.."

mapfile -t presets < <(cmake --list-presets=workflow | sed -n 's/^ *"\([^"]*\)".*/\1/p')
((${#presets[@]})) || { echo "test-all: no workflow presets found" >&2; exit 1; }
failed=()
for preset in "${presets[@]}"; do
  echo "=== $preset"
  cmake --workflow --preset "$preset" || failed+=("$preset")
done
if ((${#failed[@]})); then
  echo "test-all: ${#failed[@]} of ${#presets[@]} workflows failed: ${failed[*]}" >&2
  exit 1
fi
echo "test-all: all ${#presets[@]} workflows passed: ${presets[*]}"

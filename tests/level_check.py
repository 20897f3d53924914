"""Checks the processor level that the program's objects were compiled for,
from the compiler itself: re-runs each compile command that the build
recorded for the sources under SOURCE_DIR, preprocessing only, and looks for
the macro by which the compiler states its level (s390x: __ARCH__ 9, z196).
Usage: level_check.py COMPILE_COMMANDS SOURCE_DIR "MACRO VALUE"
"""
import json
import os
import shlex
import subprocess
import sys

# Options that name the compile's output files, with the argument they take
# where it is a separate word: the preprocessing run writes none of them.
OUTPUT_OPTIONS = {"-o": True, "-MF": True, "-MT": True, "-MQ": True, "-MD": False,
                  "-MMD": False, "-c": False}


def macros_of(entry):
    words, kept = shlex.split(entry["command"]), []
    skip_next = False
    for word in words:
        if skip_next:
            skip_next = False
        elif word in OUTPUT_OPTIONS:
            skip_next = OUTPUT_OPTIONS[word]
        else:
            kept.append(word)
    result = subprocess.run(kept + ["-dM", "-E"], cwd=entry["directory"],
                            capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"level_check: {shlex.join(kept)} failed:\n{result.stderr}")
    return result.stdout.splitlines()


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    commands_path, source_dir, expected = sys.argv[1:]
    with open(commands_path, encoding="utf-8") as f:
        entries = [e for e in json.load(f)
                   if os.path.commonpath([e["file"], source_dir]) == source_dir]
    if not entries:
        sys.exit(f"level_check: {commands_path} records no compile of {source_dir}")
    name = expected.split()[0]
    for entry in entries:
        found = [m.removeprefix("#define ") for m in macros_of(entry)
                 if m.startswith(f"#define {name} ")]
        if found != [expected]:
            sys.exit(f"level_check: {entry['file']} was compiled for "
                     f"{' '.join(found) or 'no ' + name}, not {expected}")
        print(f"{entry['file']}: {expected}")


if __name__ == "__main__":
    main()

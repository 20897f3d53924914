"""Checks the processor level that the program's objects were compiled for,
from the compiler itself: re-runs each compile command that the build
recorded for the sources under SOURCE_DIR, preprocessing only, and compares
the macros by which the compiler states its level with the expected ones.
Usage: level_check.py COMPILE_COMMANDS SOURCE_DIR EXPECTED [ADDED_OPTION]
  EXPECTED      "PREFIX* OPTION...": the compiler defines exactly the macros
                beginning with PREFIX that it defines given only the OPTIONs
                (s390x: "__ARCH__* -march=z196"; riscv64, its extensions:
                "__riscv* -march=rv64gc -mabi=lp64d")
  ADDED_OPTION  added to each command, to show that the check refuses a
                higher level
"""

import json
import os
import shlex
import subprocess
import sys

# Options that name the compile's output files, with the argument they take
# where it is a separate word: the preprocessing run writes none of them.
OUTPUT_OPTIONS = {"-o": True, "-MF": True, "-MT": True, "-MQ": True, "-MD": False, "-MMD": False, "-c": False}


def macros(command, directory):
    """{name: value} of every macro that COMMAND defines, preprocessing only."""
    result = subprocess.run(command + ["-dM", "-E"], cwd=directory, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"level_check: {shlex.join(command)} failed:\n{result.stderr}")
    found = {}
    for line in result.stdout.splitlines():
        name, _, value = line.removeprefix("#define ").partition(" ")
        found[name] = value
    return found


def compile_command(entry, added):
    words, kept = shlex.split(entry["command"]), []
    skip_next = False
    for word in words:
        if skip_next:
            skip_next = False
        elif word in OUTPUT_OPTIONS:
            skip_next = OUTPUT_OPTIONS[word]
        else:
            kept.append(word)
    return kept + added


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__.strip().splitlines()[4])
    commands_path, source_dir, expected = sys.argv[1:4]
    added = sys.argv[4:]
    with open(commands_path, encoding="utf-8") as f:
        entries = [e for e in json.load(f) if os.path.commonpath([e["file"], source_dir]) == source_dir]
    if not entries:
        sys.exit(f"level_check: {commands_path} records no compile of {source_dir}")
    name, *rest = expected.split()
    if not name.endswith("*") or not rest:
        sys.exit(f"level_check: EXPECTED is PREFIX* OPTION..., not {expected}")
    prefix = name.removesuffix("*")
    for entry in entries:
        command = compile_command(entry, added)
        found = macros(command, entry["directory"])
        baseline = macros([command[0], *rest, "-x", "c++", "/dev/null"], entry["directory"])
        want = {n: v for n, v in baseline.items() if n.startswith(prefix)}
        got = {n: v for n, v in found.items() if n.startswith(prefix)}
        differences = [f"{n} {got[n]}" for n in sorted(got) if want.get(n) != got[n]]
        differences += [f"no {n}" for n in sorted(want) if n not in got]
        if differences:
            sys.exit(
                f"level_check: {entry['file']} was compiled for more or other than "
                f"{' '.join(rest)}: {', '.join(differences)}"
            )
        print(f"{entry['file']}: {expected}")


if __name__ == "__main__":
    main()

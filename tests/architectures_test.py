"""The table of architectures (cmake/architectures) against everything that
must agree with it: the presets, what scripts/setup.sh installs on each
Debian release, the release's roots, and the few per-architecture facts kept
elsewhere. And its reader, from a table of broken lines."""

import json
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TOP / "scripts"))
from uptime_release import roots, tables  # noqa: E402
from uptime_release.errors import FormatError  # noqa: E402

TABLE = tables.read()
# Where each Windows architecture has a word of its own outside the table:
# its README.txt text, and the PE header that tests/exe_check.py expects.
ELSEWHERE = (("cmake/packaging.cmake", "set(machine_text_{} "), ("tests/exe_check.py", '"{}": ('))


class Agreement(unittest.TestCase):
    def test_presets(self):
        presets = json.loads((TOP / "CMakePresets.json").read_text())
        configure = {p["name"]: p for p in presets["configurePresets"]}

        def inherits(name, base):
            parents = configure[name].get("inherits", [])
            parents = [parents] if isinstance(parents, str) else parents
            return base in parents or any(inherits(parent, base) for parent in parents)

        for base, lines, variable in (
            ("musl", TABLE.linux, "LINUX_DEB_ARCH"),
            ("windows", TABLE.windows, "WINDOWS_ARCH"),
        ):
            with self.subTest(base=base):
                built = {n for n, p in configure.items() if not p.get("hidden") and inherits(n, base)}
                self.assertEqual(built, {line.preset for line in lines}, "presets without a line, or lines without")
                for line in lines:
                    # The native preset builds this machine's architecture.
                    named = configure[line.preset].get("cacheVariables", {}).get(variable)
                    self.assertEqual(named, None if line.preset == "native" else line.name, line.preset)
                    for kind in ("buildPresets", "testPresets"):
                        self.assertIn(
                            line.preset,
                            {p["name"] for p in presets[kind] if p.get("configurePreset") == line.preset},
                            kind,
                        )
                    steps = [
                        [(s["type"], s["name"]) for s in p["steps"]]
                        for p in presets["workflowPresets"]
                        if p["name"] == line.preset
                    ]
                    self.assertEqual(
                        steps, [[("configure", line.preset), ("build", line.preset), ("test", line.preset)]], "workflow"
                    )

    def test_setup_installs(self):
        for release in TABLE.releases:
            with self.subTest(release=release.version):
                listed = subprocess.run(
                    ["bash", TOP / "tests/setup_test.sh", release.version], capture_output=True, text=True
                )
                self.assertEqual(listed.returncode, 0, listed.stdout)
                installed = set(listed.stdout.split())
                for line in TABLE.linux:
                    musl = f"musl-dev:{line.name}"
                    if line.program:
                        self.assertNotIn(musl, installed)
                    elif release.version in line.releases:
                        self.assertLessEqual({line.cross, musl}, installed)
                    else:
                        self.assertNotIn(musl, installed)
                for line in TABLE.windows:
                    self.assertLessEqual(set(TABLE.packages(line, release)), installed)

    def test_roots(self):
        built = [preset for recipe in roots.RECIPES for preset in recipe.presets]
        self.assertEqual(sorted(built), sorted(line.preset for line in TABLE.linux + TABLE.windows))
        for line in TABLE.linux + TABLE.windows:
            with self.subTest(preset=line.preset):
                recipe = next(r for r in roots.RECIPES if line.preset in r.presets)
                if isinstance(line, tables.Windows):
                    release, needs = TABLE.releases[-1], set(TABLE.packages(line, TABLE.releases[-1]))
                else:
                    release, program = TABLE.builder(line), TABLE.program(line)
                    needs = {f"musl-dev:{program.name}"} | ({program.cross} if program.preset != "native" else set())
                    self.assertIn(program.name, recipe.architectures)
                self.assertEqual((recipe.name, recipe.suite), (f"debian-{release.version}", release.codename))
                self.assertLessEqual(needs, set(recipe.packages))

    def test_pacman_and_image(self):
        # One package name and one image platform per program; the root that
        # builds a pacman package has its compressor.
        for column in ("pacman", "oci"):
            named = [getattr(line, column) for line in TABLE.linux if getattr(line, column)]
            self.assertEqual(len(named), len(set(named)), column)
        self.assertEqual(
            {TABLE.program(line).name for line in TABLE.linux if line.oci},
            {line.name for line in TABLE.linux if not line.program},
            "an image for every program",
        )
        for line in TABLE.linux:
            if line.pacman:
                recipe = next(r for r in roots.RECIPES if line.preset in r.presets)
                self.assertIn("zstd", recipe.packages, line.name)

    def test_elsewhere(self):
        for path, pattern in ELSEWHERE:
            text = (TOP / path).read_text()
            for line in TABLE.windows:
                with self.subTest(path=path, name=line.name):
                    self.assertIn(pattern.format(line.name), text)


class Reader(unittest.TestCase):
    def test_refuses(self):
        text = (TOP / "cmake/architectures").read_text()
        for old, new, reason in [
            ("linux amd64 ", "linux\tamd64 ", "separated by spaces"),
            ("linux name     preset", "linux name preset preset", "columns are"),
            (" -march=z13\n", " -march=z13 -\n", "where the linux table has"),
            ("linux i386 ", "linux armel ", "armel is given twice"),
            (
                "armel   -                       -",
                "armhf   -                       -",
                "no linux line with a program of its own",
            ),
            (
                "linux armhf    linux-armhf    -       armv7h  -        armel   -    ",
                "linux armhf    linux-armhf    -       armv7h  -        armel   arm  ",
                "the columns after program are armel's",
            ),
            ("-march=mips32r2            12 ", "-march=mips32r2            14 ", "releases must be some of"),
            (" 6.1     i386 ", " 6.1     armhf ", "armhf is no linux line"),
            ("windows x64   windows-x64 ", "windows x64   windows-x86 ", "windows-x86 is given twice"),
            ("\nwindows name", "\nmacos x\nwindows name", "linux or windows"),
        ]:
            with self.subTest(reason=reason), tempfile.TemporaryDirectory() as folder:
                self.assertIn(old, text)
                (Path(folder) / "architectures").write_text(text.replace(old, new, 1))
                shutil.copy(TOP / "cmake/debian-releases", folder)
                with self.assertRaises(FormatError) as caught:
                    tables.read(Path(folder))
                self.assertIn(reason, str(caught.exception))


if __name__ == "__main__":
    unittest.main()

"""The project's architectures (cmake/architectures) and Debian releases
(cmake/debian-releases), read strictly into plain records: the one table of
each, which the build and scripts/setup.sh read as well. "-" reads as None,
and a list column as a tuple."""

from dataclasses import dataclass, fields
from pathlib import Path

from .errors import FormatError

# The tables of the checkout this program is part of.
CMAKE = Path(__file__).resolve().parents[2] / "cmake"
LISTS = {"releases", "packages"}


@dataclass(frozen=True)
class Linux:
    """A line of the linux table; cmake/architectures says what each holds."""

    name: str
    preset: str
    rpm: str | None
    pacman: str | None
    oci: str | None
    program: str | None
    triple: str | None
    cross: str | None
    musl: str | None
    qemu: str | None
    processors: str | None
    baseline: str | None
    releases: tuple
    level: str | None
    above: str | None


@dataclass(frozen=True)
class Windows:
    """A line of the windows table."""

    name: str
    preset: str
    processor: str | None
    triple: str | None
    manifest: str | None
    compiler: str | None
    packages: tuple
    dlltool: str | None
    library: str | None
    version: str | None
    loader: str | None
    winget: str | None
    scoop: str | None


@dataclass(frozen=True)
class Release:
    """A line of cmake/debian-releases, as far as this program needs it."""

    version: str
    codename: str
    llvm: str


@dataclass(frozen=True)
class Tables:
    linux: tuple
    windows: tuple
    releases: tuple  # oldest first

    def program(self, line):
        """The linux line whose program LINE's packages carry: its own, or
        another's (armhf carries armel's)."""
        return next(other for other in self.linux if other.name == (line.program or line.name))

    def builder(self, line):
        """The release whose root builds LINE: the newest with musl for it."""
        have = self.program(line).releases
        return [release for release in self.releases if release.version in have][-1]

    def packages(self, windows, release):
        """The Debian packages that build WINDOWS in RELEASE's root."""
        return tuple(package.replace("@llvm@", release.llvm) for package in windows.packages)


def _words(text, path):
    """(line number, words) of each line that is not a comment or empty."""
    for number, line in enumerate(text.splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        if "\t" in line or line != line.strip():
            raise FormatError(path, number, "words are separated by spaces, with none at either end")
        yield number, line.split()


def _table(rows, kind, record, path):
    """{name: (line number, record)} of the KIND table, in the file's order."""
    columns = [field.name for field in fields(record)]
    header, lines = None, {}
    for number, words in rows:
        if words[0] != kind:
            continue
        if words[1:2] == ["name"]:
            if header or words[1:] != columns:
                raise FormatError(path, number, f"the {kind} table's columns are, once: {' '.join(columns)}")
            header = words
        elif not header:
            raise FormatError(path, number, f"a {kind} line before the line that names the columns")
        elif len(words) != len(header):
            raise FormatError(path, number, f"{len(words) - 1} words where the {kind} table has {len(columns)}")
        elif words[1] in lines:
            raise FormatError(path, number, f"{kind} {words[1]} is given twice")
        else:
            values = {
                column: (
                    (tuple(word.split(",")) if word != "-" else ())
                    if column in LISTS
                    else (word if word != "-" else None)
                )
                for column, word in zip(columns, words[1:])
            }
            lines[words[1]] = (number, record(**values))
    if not header:
        raise FormatError(path, 0, f"no {kind} table")
    return lines


def _releases(text, path):
    releases = []
    for number, words in _words(text, path):
        if len(words) != 7 or not words[0].isdigit():
            raise FormatError(path, number, "a release is VERSION_ID codename llvm gcc python rpm t64")
        releases.append(Release(*words[:3]))
    return tuple(releases)


def read(cmake=CMAKE):
    """The tables in the folder CMAKE, each line checked against the others."""
    path = cmake / "architectures"
    releases = _releases((cmake / "debian-releases").read_text(), cmake / "debian-releases")
    rows = list(_words(path.read_text(), path))
    for number, words in rows:
        if words[0] not in ("linux", "windows") or len(words) < 2:
            raise FormatError(path, number, "a line is linux or windows, then its words")
    linux, windows = _table(rows, "linux", Linux, path), _table(rows, "windows", Windows, path)
    presets = [line.preset for _, line in list(linux.values()) + list(windows.values())]
    known = [release.version for release in releases]
    for number, line in linux.values():
        program = linux.get(line.program, (0, None))[1]
        if line.program and (program is None or program.program):
            raise FormatError(path, number, f"{line.program} is no linux line with a program of its own")
        after = [f.name for f in fields(Linux)]
        if line.program and any(getattr(line, name) for name in after[after.index("program") + 1 :]):
            raise FormatError(path, number, f"the columns after program are {line.program}'s: - here")
        if not line.program and (not line.releases or not set(line.releases) <= set(known)):
            raise FormatError(path, number, f"releases must be some of {','.join(known)}")
    for number, line in windows.values():
        if line.loader and (line.loader not in linux or linux[line.loader][1].program):
            raise FormatError(path, number, f"{line.loader} is no linux line with a program of its own")
    for number, line in list(linux.values()) + list(windows.values()):
        if presets.count(line.preset) > 1:
            raise FormatError(path, number, f"the preset {line.preset} is given twice")
    return Tables(tuple(line for _, line in linux.values()), tuple(line for _, line in windows.values()), releases)

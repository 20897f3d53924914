"""BUILDINFO: how a release was built, read and written here alone.

The first paragraph holds the fields of Debian's .buildinfo for the release
(source, version, commit, SOURCE_DATE_EPOCH, the artifacts' checksums); each
further one a root the artifacts were built in: its name, the Debian suite,
its architectures, the builds it made, and every package installed in it at
its exact version, so that the root can be made again. Only the one form
is read: what write() makes of the record must be the file, byte for byte
(deb822.canonical())."""

import re
from dataclasses import dataclass

from . import deb822, releaseinfo, sums
from .errors import FormatError

VERSION = r"[0-9]+\.[0-9]+(-[1-9][0-9]{0,3})?"
ARCH = r"[a-z0-9]+"
SUITE = r"[a-z]+"
PACKAGE = r"[a-z0-9][a-z0-9+.-]+(:[a-z0-9]+)?"
PACKAGE_VERSION = r"[0-9][A-Za-z0-9.+~:-]*"
CHECKSUMS = (("Md5", "md5", 32), ("Sha1", "sha1", 40), ("Sha256", "sha256", 64))


@dataclass(frozen=True)
class Root:
    name: str
    suite: str
    architectures: tuple
    presets: tuple
    packages: tuple  # ((qualified name, version), ...), sorted


@dataclass(frozen=True)
class Buildinfo:
    version: str
    commit: str
    epoch: int
    architectures: tuple
    build_architecture: str
    checksums: tuple  # ((name, size, md5, sha1, sha256), ...), sorted
    roots: tuple


def write(info):
    release = [
        ("Format", "1.0"),
        ("Source", "uptime-report"),
        ("Binary", "uptime-report"),
        ("Architecture", " ".join(("source",) + info.architectures)),
        ("Version", info.version),
        ("Commit", info.commit),
        ("Source-Date-Epoch", str(info.epoch)),
        ("Build-Architecture", info.build_architecture),
    ]
    for index, (field, _, _) in enumerate(CHECKSUMS):
        release.append(
            (f"Checksums-{field}", [f"{entry[2 + index]} {entry[1]} {entry[0]}" for entry in info.checksums])
        )
    release.append(("Environment", ['LC_ALL="C"', f'SOURCE_DATE_EPOCH="{info.epoch}"', 'TZ="UTC"']))
    paragraphs = [release]
    for root in info.roots:
        packages = [f"{name} (= {version})," for name, version in root.packages]
        packages[-1] = packages[-1][:-1]
        paragraphs.append(
            [
                ("Root", root.name),
                ("Suite", root.suite),
                ("Architectures", " ".join(root.architectures)),
                ("Presets", " ".join(root.presets)),
                ("Installed-Build-Depends", packages),
            ]
        )
    return deb822.write(paragraphs)


def read(data, path):
    paragraphs = deb822.read(data, path)
    if len(paragraphs) < 2:
        raise FormatError(path, 0, "names no root the release was built in")
    fields = paragraphs[0]
    deb822.check_fields(
        fields,
        path,
        (
            "Format",
            "Source",
            "Binary",
            "Architecture",
            "Version",
            "Commit",
            "Source-Date-Epoch",
            "Build-Architecture",
            "Checksums-Md5",
            "Checksums-Sha1",
            "Checksums-Sha256",
            "Environment",
        ),
    )
    architectures = deb822.value(fields, "Architecture", path, rf"source( {ARCH})+").split()[1:]
    epoch = int(deb822.value(fields, "Source-Date-Epoch", path, releaseinfo.EPOCH))
    if not releaseinfo.epoch_in_range(epoch):
        raise FormatError(path, fields["Source-Date-Epoch"].line, f"Source-Date-Epoch {epoch} is out of range")
    listed = {}
    for field, _, width in CHECKSUMS:
        entry = fields[f"Checksums-{field}"]
        for offset, line in enumerate(entry.lines, 1):
            digest, _, rest = line.partition(" ")
            size, _, name = rest.partition(" ")
            if (
                len(digest) != width
                or any(c not in "0123456789abcdef" for c in digest)
                or not size.isdigit()
                or not sums.FILE_NAME.fullmatch(name)
            ):
                raise FormatError(path, entry.line + offset, f"Checksums-{field}: not a digest, a size and a name")
            listed.setdefault(name, {"size": size})[field] = digest
    checksums = []
    for name, entry in listed.items():
        if len(entry) != len(CHECKSUMS) + 1:
            raise FormatError(path, fields["Checksums-Md5"].line, f"{name} is not in every Checksums field")
        checksums.append((name, int(entry["size"])) + tuple(entry[f] for f, _, _ in CHECKSUMS))
    info = Buildinfo(
        version=deb822.value(fields, "Version", path, VERSION),
        commit=deb822.value(fields, "Commit", path, releaseinfo.COMMIT),
        epoch=epoch,
        architectures=tuple(architectures),
        build_architecture=deb822.value(fields, "Build-Architecture", path, ARCH),
        checksums=tuple(sorted(checksums, key=lambda c: c[0].encode())),
        roots=tuple(_root(p, path) for p in paragraphs[1:]),
    )
    deb822.canonical(write(info), data, path, "BUILDINFO")
    return info


def _root(fields, path):
    deb822.check_fields(fields, path, ("Root", "Suite", "Architectures", "Presets", "Installed-Build-Depends"))
    entry = fields["Installed-Build-Depends"]
    packages = []
    for offset, line in enumerate(entry.lines, 1):
        name, separator, version = line.rstrip(",").partition(" (= ")
        if not separator or not version.endswith(")"):
            raise FormatError(path, entry.line + offset, "Installed-Build-Depends: not 'package (= version)'")
        if any(name == seen for seen, _ in packages):
            raise FormatError(path, entry.line + offset, f"Installed-Build-Depends: {name} is listed twice")
        packages.append((name, version[:-1]))
    for name, version in packages:
        if not re.fullmatch(PACKAGE, name) or not re.fullmatch(PACKAGE_VERSION, version):
            raise FormatError(path, entry.line, f"Installed-Build-Depends: {name} (= {version}) is not a package")
    return Root(
        name=deb822.value(fields, "Root", path, r"[a-z0-9-]+"),
        suite=deb822.value(fields, "Suite", path, SUITE),
        architectures=tuple(deb822.value(fields, "Architectures", path, rf"{ARCH}( {ARCH})*").split()),
        presets=tuple(deb822.value(fields, "Presets", path, r"[a-z0-9-]+( [a-z0-9-]+)*").split()),
        packages=tuple(sorted(packages)),
    )

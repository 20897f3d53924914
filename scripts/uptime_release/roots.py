"""The Debian roots a release is built in, made by mmdebstrap from Debian's
archive, kept in a cache by what they hold, and checked before each use.

A release makes each root from its suite as the archive stands (the
essential packages and the toolchain below); BUILDINFO records every package
installed in it at its exact version; a verifier makes the same root again
from that list. A root is reused only while its installed packages are
exactly the ones it was made with."""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import urllib.request
from dataclasses import dataclass
from pathlib import Path

from . import sandbox, tables
from .errors import MachineError

MIRROR = "http://deb.debian.org/debian"
SECURITY_MIRROR = "http://deb.debian.org/debian-security"


@dataclass(frozen=True)
class Recipe:
    """A root: its name, its Debian suite, the architectures whose packages
    it holds (the first its own), what to install besides the essential
    packages, and the release's builds made in it."""
    name: str
    suite: str
    architectures: tuple
    packages: tuple
    presets: tuple


def _musl(architectures):
    return tuple(f"musl-dev:{arch}" for arch in architectures)


# A root for each Debian release that is the newest with musl for some
# architecture (cmake/architectures): Debian 13 builds every architecture it
# has and the Windows programs; Debian 12 the two MIPS ones, which Debian 13
# dropped. Each package is here because its code or data reaches the
# artifacts:
#   cmake, ninja-build: configure and build; CPack writes each package's
#       first form (with libarchive)
#   g++ and the g++-TRIPLE cross compilers, binutils: compile, link and
#       strip the Linux programs
#   musl-dev:ARCH: musl's headers, start files and libc.a, linked into them
#   g++-mingw-w64-*-posix: the x86 and x64 .exe files; clang, lld and llvm:
#       the ARM64 one (its resources, import library and strip too)
#   rpm: rpmbuild writes, rpmsign signs each .rpm; python3: the zip, SPDX,
#       notices and this program's steps; osslsigncode and openssl: the
#       .exe's signature; gpg, gpg-agent: SHA256SUMS.asc and the .rpm
#       signatures. dpkg (dpkg-deb), tar and gzip are essential packages.
BUILD = ("cmake", "ninja-build", "g++", "binutils")
SIGNING = ("osslsigncode", "openssl", "gpg", "gpg-agent")


def recipes(table):
    """The roots, newest release first. Each holds its own architecture (the
    native preset's) and those it builds; the first also builds the Windows
    programs, signs, and writes the release's own files."""
    own = next(line for line in table.linux if line.preset == "native")
    made = []
    for release in reversed(table.releases):
        linux = [line for line in table.linux if table.builder(line) == release]
        if not linux:
            continue
        windows = () if made else table.windows
        architectures = (own.name,) + tuple(line.name for line in linux if line is not own and not line.program)
        compilers = tuple(line.cross for line in table.linux if line.name in architectures[1:])
        windows_packages = tuple(dict.fromkeys(p for w in windows for p in table.packages(w, release)))
        rpm = ("rpm",) if any(line.rpm for line in linux) else ()
        made.append(Recipe(f"debian-{release.version}", release.codename, architectures,
                           BUILD + compilers + windows_packages + rpm + ("python3",)
                           + (SIGNING if not made else ()) + _musl(architectures),
                           tuple(w.preset for w in windows) + tuple(line.preset for line in linux)))
    return tuple(made)


RECIPES = recipes(tables.read())


class Unavailable(Exception):
    """The archive no longer holds versions a root needs: which, and where."""

    def __init__(self, root, packages, mirror):
        super().__init__(f"the {root} root cannot be made again from {mirror}: it no longer holds "
                         + ", ".join(packages))
        self.packages = packages


class Inconsistent(Exception):
    """A package list (a BUILDINFO's) that apt does not install as it is: the
    root made from it holds other packages, so no release was built in it."""

    def __init__(self, root, made, listed):
        extra = [f"{n} {v}" for n, v in sorted(set(made) - set(listed))]
        lacking = [f"{n} {v}" for n, v in sorted(set(listed) - set(made))]
        super().__init__(f"the {root} root made from BUILDINFO's packages holds others: "
                         + "; ".join(([f"also {', '.join(extra[:5])}"] if extra else [])
                                     + ([f"not {', '.join(lacking[:5])}"] if lacking else [])))


@dataclass(frozen=True)
class Root:
    recipe: Recipe
    path: Path
    packages: tuple  # ((qualified name, version), ...), sorted


def cache_folder():
    configured = os.environ.get("UPTIME_REPORT_ROOTS")
    if configured:
        return Path(configured).resolve()
    if os.geteuid() == 0:
        return Path("/var/cache/uptime-report/roots")
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base).resolve() / "uptime-report" / "roots"


def _own(folder):
    """Refuses a cache folder (or a root's folder in it) that another user
    owns or can write to: they could put other compilers in a root whose
    package list is right, and dpkg's database would not tell."""
    info = os.stat(folder)
    if info.st_uid != os.geteuid() or info.st_mode & 0o022:
        whose = "writable by others" if info.st_uid == os.geteuid() else "another user's"
        raise MachineError(f"{folder} is {whose}: a root taken from it could hold anything; keep the roots in a "
                           "folder of your own that only you can write to (UPTIME_REPORT_ROOTS)")


def mirrors():
    return (os.environ.get("UPTIME_REPORT_MIRROR") or MIRROR).rstrip("/"), \
        (os.environ.get("UPTIME_REPORT_SECURITY_MIRROR") or SECURITY_MIRROR).rstrip("/")


def _sources(suite):
    main, security = mirrors()
    options = "[check-valid-until=no] " if "snapshot" in main else ""
    return [f"deb {options}{main} {suite} main", f"deb {options}{main} {suite}-updates main",
            f"deb {security} {suite}-security main"]


def _key(*parts):
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()[:24]


def packages_text(packages):
    return "".join(f"{name} {version}\n" for name, version in packages)


def installed(path, work):
    """The packages installed in the root at PATH, as dpkg there lists them."""
    log = work / "dpkg-query.log"
    with tempfile.TemporaryDirectory(prefix="dpkg-query.", dir=work) as empty:
        os.chmod(empty, 0o755)
        status = sandbox.run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev}\t${binary:Package}\t${Version}\n"],
                             empty, log, root=path, timeout=300)
    lines = log.read_text(errors="replace").splitlines()
    if status != 0:
        raise MachineError(f"dpkg-query cannot list the root at {path}: " + "; ".join(lines[-3:]))
    return tuple(sorted((name, version) for abbrev, name, version in
                        (line.split("\t") for line in lines if line.count("\t") == 2)
                        if abbrev.strip() == "ii"))


def _archive_state(suite):
    """What the archive's suites hold now, by their InRelease files: a root
    made from an unchanged archive holds the same packages."""
    state = []
    for source in _sources(suite):
        _, *_, url, name, _ = source.split()
        location = f"{url}/dists/{name}/InRelease"
        try:
            with urllib.request.urlopen(location, timeout=60) as response:
                state.append(hashlib.sha256(response.read(16 << 20)).hexdigest())
        except OSError as error:
            raise MachineError(f"cannot reach Debian's archive ({location}): {error}")
    return state


def _mmdebstrap(recipe, target, variant, include, log):
    command = ["mmdebstrap", f"--variant={variant}", "--architectures=" + ",".join(recipe.architectures),
               "--include=" + ",".join(include), "--aptopt=Acquire::Retries \"3\"",
               "--dpkgopt=force-unsafe-io", recipe.suite, str(target)] + _sources(recipe.suite)
    with open(log, "wb") as out:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    return result.returncode


def _make(recipe, folder, variant, include, work):
    """Makes the root in FOLDER/root through a partial folder beside it."""
    partial = folder.with_name(folder.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    partial.mkdir(parents=True)
    log = work / f"mmdebstrap-{recipe.name}.log"
    print(f"  making the {recipe.name} root ({recipe.suite}: {', '.join(recipe.architectures)}) with mmdebstrap",
          flush=True)
    if _mmdebstrap(recipe, partial / "root", variant, include, log) != 0:
        text = log.read_text(errors="replace")
        missing = re.findall(r"E: Version '([^']+)' for '([^']+)' was not found", text)
        shutil.rmtree(partial, ignore_errors=True)
        if missing:
            raise Unavailable(recipe.name, [f"{name} (= {version})" for version, name in missing], mirrors()[0])
        if re.search(r"No space left|Disk quota", text):
            raise MachineError(f"no space left to make the {recipe.name} root in {folder.parent}")
        raise MachineError(f"mmdebstrap cannot make the {recipe.name} root: " + "; ".join(text.splitlines()[-4:]))
    packages = installed(partial / "root", work)
    (partial / "packages").write_text(packages_text(packages))
    shutil.rmtree(folder, ignore_errors=True)
    partial.rename(folder)
    return packages


def _check(folder, packages, recipe, work):
    """A cached root is used only while it holds exactly PACKAGES."""
    found = installed(folder / "root", work)
    if found != packages:
        wanted, held = set(packages), set(found)
        differences = [f"{n} {v} instead of {dict(packages).get(n, 'none')}" for n, v in sorted(held - wanted)] \
            + [f"{n} {v} missing" for n, v in sorted(wanted - held) if n not in dict(found)]
        raise MachineError(f"the cached {recipe.name} root at {folder} does not hold what it was made with ("
                           + "; ".join(differences[:5]) + "): remove it, or make the roots anew "
                           "(UPTIME_REPORT_FRESH_ROOTS=1)")


def _fresh():
    return os.environ.get("UPTIME_REPORT_FRESH_ROOTS") == "1"


def for_release(recipe, work):
    """The root as the archive stands now: cached while the archive's suites
    are unchanged, checked before use."""
    cache = cache_folder()
    _own(cache) if cache.exists() else None
    state = _key(recipe.suite, " ".join(recipe.architectures), " ".join(recipe.packages), *_archive_state(recipe.suite))
    index = cache / "archive-states" / state
    if not _fresh() and index.is_file():
        folder = cache / index.read_text().strip()
        if (folder / "packages").is_file():
            _own(folder)
            packages = _read_packages(folder / "packages")
            _check(folder, packages, recipe, work)
            return Root(recipe, folder / "root", packages)
    staging = cache / f"new-{recipe.name}"
    packages = _make(recipe, staging, "essential", recipe.packages, work)
    folder = cache / _key(recipe.suite, " ".join(recipe.architectures), packages_text(packages))
    shutil.rmtree(folder, ignore_errors=True)
    staging.rename(folder)
    index.parent.mkdir(parents=True, exist_ok=True)
    index.write_text(folder.name + "\n")
    return Root(recipe, folder / "root", packages)


def exactly(recipe, packages, work):
    """The root holding exactly PACKAGES (from a BUILDINFO), made again from
    the archive where the cache has none."""
    cache = cache_folder()
    _own(cache) if cache.exists() else None
    folder = cache / _key(recipe.suite, " ".join(recipe.architectures), packages_text(packages))
    if not _fresh() and (folder / "packages").is_file():
        _own(folder)
        _check(folder, packages, recipe, work)
        return Root(recipe, folder / "root", packages)
    made = _make(recipe, folder, "custom", [f"{name}={version}" for name, version in packages], work)
    if made != packages:
        # Not kept under the list's name: it does not hold the list.
        shutil.rmtree(folder, ignore_errors=True)
        raise Inconsistent(recipe.name, made, packages)
    return Root(recipe, folder / "root", packages)


def _read_packages(path):
    return tuple(tuple(line.split(" ", 1)) for line in path.read_text().splitlines())

"""The Debian roots a release is built in, made by mmdebstrap from Debian's
archive, kept in a cache by what they hold, and checked before each use.

A release makes each root from its suite as the archive stands (the
essential packages and the toolchain below); BUILDINFO records every package
installed in it at its exact version; a verifier makes the same root again
from the same recipe, with apt held to that list's versions, so that nothing
the recipe does not need is installed. A root is reused only while its
installed packages are exactly the ones it was made with.

Runs share the cache: each stages a new root in a folder of its own, and
each root has a lock, held shared by every run that uses it and exclusively
by one that makes or replaces it, so that no root is removed while in use.
Where user namespaces work, mmdebstrap runs as root of a user namespace of
its own, mapped to ids that nothing else uses: the packages' maintainer
scripts never act as this machine's root."""

import fcntl
import hashlib
import os
import re
import shutil
import stat
import tempfile
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

from . import runner, sandbox, tables
from .errors import MachineError

MIRROR = "http://deb.debian.org/debian"
# The roots of a recipe the cache keeps, the ones used last.
KEPT = 3
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
#   rpm: rpmbuild writes, rpmsign signs each .rpm; zstd compresses each
#       pacman package; python3: the zip, SPDX, the OCI image,
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
        packagers = ("rpm",) if any(line.rpm for line in linux) else ()
        packagers += ("zstd",) if any(line.pacman for line in linux) else ()
        made.append(
            Recipe(
                f"debian-{release.version}",
                release.codename,
                architectures,
                BUILD
                + compilers
                + windows_packages
                + packagers
                + ("python3",)
                + (SIGNING if not made else ())
                + _musl(architectures),
                tuple(w.preset for w in windows) + tuple(line.preset for line in linux),
            )
        )
    return tuple(made)


RECIPES = recipes(tables.read())


class Unavailable(Exception):
    """The archive does not hold versions a root needs: which, and where."""

    def __init__(self, root, packages, mirror):
        super().__init__(
            f"the {root} root cannot be made again from {mirror}: the archive does not hold " + ", ".join(packages)
        )
        self.packages = packages


class Unneeded(Exception):
    """A package list (a BUILDINFO's) that names packages the root's recipe
    does not need: none of them is installed."""

    def __init__(self, root, names):
        super().__init__(
            f"BUILDINFO's {root} root lists packages its recipe does not need: "
            + ", ".join(names[:10])
            + (f" and {len(names) - 10} more" if len(names) > 10 else "")
        )


class Resolved(Exception):
    """The recipe, left to apt, resolves to other packages than a list (a
    BUILDINFO's) names: the list chose among alternatives, or the archive
    has changed since."""

    def __init__(self, root, listed, chosen, mirror):
        shown = lambda pairs: ", ".join(f"{n}:{a}" for n, a in sorted(pairs)[:5]) or "none"
        super().__init__(
            f"the {root} root's recipe resolves, in {mirror}, to other packages than BUILDINFO lists "
            f"(it lists {shown(listed)}; apt chooses {shown(chosen)})"
        )


class Inconsistent(Exception):
    """A package list (a BUILDINFO's) that apt does not install as it is: the
    root made from it holds other packages, so no release was built in it."""

    def __init__(self, root, made, listed):
        extra = [f"{n} {v}" for n, v in sorted(set(made) - set(listed))]
        lacking = [f"{n} {v}" for n, v in sorted(set(listed) - set(made))]
        super().__init__(
            f"the {root} root made from BUILDINFO's packages holds others: "
            + "; ".join(
                ([f"also {', '.join(extra[:5])}"] if extra else [])
                + ([f"not {', '.join(lacking[:5])}"] if lacking else [])
            )
        )


@dataclass(frozen=True)
class Root:
    recipe: Recipe
    path: Path
    packages: tuple  # ((qualified name, version), ...), sorted
    lock: int = field(default=None, compare=False)  # held shared while the run lasts


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
        raise MachineError(
            f"{folder} is {whose}: a root taken from it could hold anything; keep the roots in a "
            "folder of your own that only you can write to (UPTIME_REPORT_ROOTS)"
        )


def mirrors():
    return (os.environ.get("UPTIME_REPORT_MIRROR") or MIRROR).rstrip("/"), (
        os.environ.get("UPTIME_REPORT_SECURITY_MIRROR") or SECURITY_MIRROR
    ).rstrip("/")


def _sources(suite):
    main, security = mirrors()
    options = "[check-valid-until=no] " if "snapshot" in main else ""
    return [
        f"deb {options}{main} {suite} main",
        f"deb {options}{main} {suite}-updates main",
        f"deb {security} {suite}-security main",
    ]


def _key(*parts):
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()[:24]


def packages_text(packages):
    return "".join(f"{name} {version}\n" for name, version in packages)


def installed(path, work):
    """The packages installed in the root at PATH, as dpkg there lists them."""
    log = work / "dpkg-query.log"
    with tempfile.TemporaryDirectory(prefix="dpkg-query.", dir=work) as empty:
        os.chmod(empty, 0o755)
        status = sandbox.run(
            ["dpkg-query", "-W", "-f", "${db:Status-Abbrev}\t${binary:Package}\t${Version}\n"],
            empty,
            log,
            f"listing the packages of the root at {path}",
            root=path,
        )
    lines = log.read_text(errors="replace").splitlines()
    if status != 0:
        raise MachineError(f"dpkg-query cannot list the root at {path}: " + "; ".join(lines[-3:]))
    return tuple(
        sorted(
            (name, version)
            for abbrev, name, version in (line.split("\t") for line in lines if line.count("\t") == 2)
            if abbrev.strip() == "ii"
        )
    )


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


def _lock(path, exclusive):
    """A lock on PATH (made if need be), waited for: its descriptor, which
    holds it until closed or until this program ends."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB if exclusive else fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f"  waiting for another run, which holds {path}", flush=True)
        fcntl.flock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
    return fd


def _remove_stale(cache):
    """Removes the staging folders of runs that ended without finishing."""
    for entry in cache.glob("new-*"):
        try:
            fd = os.open(entry / "lock", os.O_RDWR | os.O_NOFOLLOW)
        except OSError:
            continue
        _remove_unless_locked(entry, fd)


def _remove_unless_locked(folder, fd):
    """Removes FOLDER unless another run holds its lock, FD (which this
    closes): a root or a staging folder in use is never removed."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        shutil.rmtree(folder, ignore_errors=True)
    except BlockingIOError:
        pass
    finally:
        os.close(fd)


def _progress(log):
    def progress():
        try:
            text = Path(log).read_text(errors="replace")
        except OSError:
            return ""
        return f", {len(re.findall(r'(?m)^Get:', text))} packages fetched, {text.count('Setting up ')} set up"

    return progress


def _mmdebstrap(recipe, staging, include, log, pins=None, simulate=False):
    """Makes the root in STAGING/root (or, SIMULATE, only says in LOG what it
    would install). Where user namespaces work, mmdebstrap runs as root of
    one of its own (sandbox.unprivileged_root()) and writes a tarball, which
    is unpacked here: the packages' maintainer scripts never run as this
    machine's root. PINS: [(name, version)], the only versions apt may take."""
    work = staging / "tmp"
    work.mkdir()
    command = [
        "mmdebstrap",
        "--verbose",
        "--variant=essential",
        "--architectures=" + ",".join(recipe.architectures),
        "--include=" + ",".join(include),
        '--aptopt=Acquire::Retries "3"',
        "--dpkgopt=force-unsafe-io",
    ]
    # Not the keys' passphrases: mmdebstrap, apt and every maintainer script
    # would hold them, as another user.
    env = dict({k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}, TMPDIR=str(work), HOME=str(work))
    if pins is not None:
        (work / "preferences").write_text(_preferences(pins, recipe.architectures[0]))
        command.append(f'--aptopt=Dir::Etc::Preferences "{work / "preferences"}"')
    command.append(recipe.suite)
    unprivileged = not simulate and os.geteuid() == 0 and sandbox.mode() in ("nested", "user")
    if simulate:
        # A dry run adds no architecture to dpkg: apt is told them.
        architectures = " ".join(f'"{a}";' for a in recipe.architectures)
        command = (
            command[:1]
            + ["--simulate", f"--aptopt=APT::Architectures {{ {architectures} }}"]
            + command[1:]
            + ["/dev/null"]
            + _sources(recipe.suite)
        )
    elif unprivileged:
        closed = [f for f in [staging.parent] + list(staging.parent.parents) if not os.stat(f).st_mode & 0o001]
        if closed:
            raise MachineError(
                f"mmdebstrap's user cannot reach the roots' cache {staging.parent}: {closed[0]} is "
                "closed to others (chmod o+x, or another UPTIME_REPORT_ROOTS)"
            )
        first = sandbox.unused_ids(65536)
        for path in [work] + list(work.iterdir()):
            os.chown(path, first, first)
        os.chmod(staging, 0o711)
        command = (
            sandbox.unprivileged_root_command(first, staging / "root")
            + command
            + ["--mode=unshare", "-"]
            + _sources(recipe.suite)
        )
    else:
        command += [str(staging / "root")] + _sources(recipe.suite)
    try:
        return runner.run(
            command,
            f"{'resolving' if simulate else 'making'} the {recipe.name} root",
            log,
            env=env,
            progress=_progress(log),
            check=False,
        )
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _preferences(pins, native):
    """apt's preferences that allow exactly these versions and nothing else.
    apt takes a bare name for this root's own architecture (and "all"), and
    one qualified with its architecture for any other."""
    stanzas = ["Package: *\nPin: release *\nPin-Priority: -1\n"]
    for name, version in sorted(pins):
        base, _, arch = name.partition(":")
        pinned = name if arch and arch != native else base
        stanzas.append(f"Package: {pinned}\nPin: version {version}\nPin-Priority: 1001\n")
    return "\n".join(dict.fromkeys(stanzas))


def _make(recipe, cache, include, work, pins=None):
    """Makes the root in a staging folder of this run's own in CACHE:
    (the staging folder, the packages installed in it, the staging folder's
    lock, which keeps other runs from taking it for a stale one)."""
    staging = Path(tempfile.mkdtemp(prefix=f"new-{recipe.name}.", dir=cache))
    lock = os.open(staging / "lock", os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    log = work / f"mmdebstrap-{recipe.name}.log"
    print(
        f"  making the {recipe.name} root ({recipe.suite}: {', '.join(recipe.architectures)}) with mmdebstrap",
        flush=True,
    )
    try:
        if _mmdebstrap(recipe, staging, include, log, pins) != 0:
            text = log.read_text(errors="replace")
            if pins is not None:
                lacking = _not_installable(text, pins)
                if lacking:
                    raise Unavailable(recipe.name, lacking, mirrors()[0])
            if re.search(r"No space left|Disk quota", text):
                raise MachineError(f"no space left to make the {recipe.name} root in {cache}")
            raise MachineError(f"mmdebstrap cannot make the {recipe.name} root: " + "; ".join(text.splitlines()[-4:]))
        _drop_privileges(staging / "root")
        packages = installed(staging / "root", work)
        (staging / "packages").write_text(packages_text(packages))
        (staging / "recipe").write_text(recipe.name + "\n")
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        os.close(lock)
        raise
    return staging, packages, lock


def _simulate(recipe, cache, work, pins):
    """What apt would install for the recipe (held to the versions PINS,
    where given), before anything is fetched: {(name, architecture)}."""
    staging = Path(tempfile.mkdtemp(prefix=f"new-{recipe.name}.", dir=cache))
    log = work / f"mmdebstrap-{recipe.name}-{'held' if pins else 'free'}.log"
    try:
        if _mmdebstrap(recipe, staging, recipe.packages, log, pins, simulate=True) != 0:
            text = log.read_text(errors="replace")
            lacking = (
                _not_installable(text, pins or ()) or [line for line in text.splitlines() if line.startswith("E: ")][:3]
            )
            raise Unavailable(recipe.name, lacking, mirrors()[0])
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    # apt names a package with its architecture in brackets.
    return {
        (name.partition(":")[0], arch)
        for name, arch in re.findall(r"(?m)^Inst (\S+) \(.*\[(\S+)\]\)", log.read_text(errors="replace"))
    }


def _resolve(recipe, cache, packages, work):
    """Before anything is fetched or installed, what apt would install for
    the recipe must be exactly PACKAGES (a BUILDINFO's), by name: held to
    their versions, a listed package it would not install is one the recipe
    does not need (Unneeded), and apt finding no way at all means the archive
    does not hold them (Unavailable); left free, it must choose the same
    packages, or the list chose among alternatives (or the archive has
    changed since), which makes the root unknown (Resolved)."""
    held = _simulate(recipe, cache, work, packages)
    # dpkg, as BUILDINFO lists them, qualifies the packages of a foreign
    # architecture and those installed for several; apt qualifies none.
    unneeded = sorted(
        n
        for n, _ in packages
        if not (
            {(n.partition(":")[0], n.partition(":")[2])} if ":" in n else {(n, recipe.architectures[0]), (n, "all")}
        )
        & held
    )
    if unneeded:
        raise Unneeded(recipe.name, unneeded)
    free = _simulate(recipe, cache, work, None)
    if free != held:
        raise Resolved(recipe.name, held - free, free - held, mirrors()[0])


def _not_installable(text, pins):
    """The pinned versions that apt, told to take no other, found no way to
    install, as 'name (= version)'."""
    named = set(
        re.findall(r"Package '?([a-z0-9][a-z0-9+.-]+)'? (?:has no installation candidate|is not available)", text)
    )
    named |= set(
        re.findall(
            r"Depends: ([a-z0-9][a-z0-9+.-]+)(?: \([^)]*\))? but (?:it is not installable|"
            r"[^ ]+ is to be installed)",
            text,
        )
    )
    named |= {name for _, name in re.findall(r"E: Version '([^']+)' for '([^']+)' was not found", text)}
    named |= set(re.findall(r"E: Unable to locate package ([a-z0-9][a-z0-9+.:-]+)", text))
    versions = {n.partition(":")[0]: v for n, v in pins}
    return [f"{name} (= {versions[name]})" for name in sorted(n.partition(":")[0] for n in named) if name in versions]


def _place(recipe, staging, staging_lock, folder):
    """Puts the root made in STAGING at FOLDER, under FOLDER's lock held
    exclusively: a root of that name in use there is never removed. Older
    roots of the recipe beyond the few kept go."""
    lock = _lock(folder.with_name(folder.name + ".lock"), exclusive=True)
    try:
        if folder.exists():
            old = staging.with_name(staging.name + ".old")
            folder.rename(old)
            shutil.rmtree(old, ignore_errors=True)
        (staging / "lock").unlink()
        staging.rename(folder)
    finally:
        os.close(lock)
        os.close(staging_lock)
    _prune(folder.parent, recipe)


def _use(recipe, folder, packages, work):
    """The root at FOLDER, checked, under its lock held shared."""
    lock = _lock(folder.with_name(folder.name + ".lock"), exclusive=False)
    _own(folder)
    _check(folder, packages, recipe, work)
    _drop_privileges(folder / "root")
    os.utime(folder / "packages")
    return Root(recipe, folder / "root", packages, lock)


def _drop_privileges(root):
    """Takes the setuid and setgid bits from the root's programs: the cache is
    open to every user of this machine, and nothing run in a sandbox, with
    no_new_privs, needs them."""
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            mode = os.lstat(path).st_mode
            if stat.S_ISREG(mode) and mode & (stat.S_ISUID | stat.S_ISGID):
                os.chmod(path, stat.S_IMODE(mode) & ~(stat.S_ISUID | stat.S_ISGID))


def _prune(cache, recipe):
    """Removes all but the KEPT roots of RECIPE used last, each once no run
    uses it: a verifier makes a root for every list it is given."""
    folders = sorted(
        (
            f
            for f in cache.iterdir()
            if (f / "recipe").is_file()
            and (f / "packages").is_file()
            and (f / "recipe").read_text().strip() == recipe.name
        ),
        key=lambda f: (f / "packages").stat().st_mtime,
        reverse=True,
    )
    for folder in folders[KEPT:]:
        fd = os.open(folder.with_name(folder.name + ".lock"), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
        _remove_unless_locked(folder, fd)


def _check(folder, packages, recipe, work):
    """A cached root is used only while it holds exactly PACKAGES."""
    found = installed(folder / "root", work)
    if found != packages:
        wanted, held = set(packages), set(found)
        differences = [f"{n} {v} instead of {dict(packages).get(n, 'none')}" for n, v in sorted(held - wanted)] + [
            f"{n} {v} missing" for n, v in sorted(wanted - held) if n not in dict(found)
        ]
        raise MachineError(
            f"the cached {recipe.name} root at {folder} does not hold what it was made with ("
            + "; ".join(differences[:5])
            + "): remove it, or make the roots anew "
            "(UPTIME_REPORT_FRESH_ROOTS=1)"
        )


def _fresh():
    return os.environ.get("UPTIME_REPORT_FRESH_ROOTS") == "1"


def _cache():
    cache = cache_folder()
    cache.mkdir(parents=True, exist_ok=True, mode=0o755)
    _own(cache)
    _remove_stale(cache)
    return cache


def for_release(recipe, work):
    """The root as the archive stands now: cached while the archive's suites
    are unchanged, checked before use."""
    cache = _cache()
    state = _key(recipe.suite, " ".join(recipe.architectures), " ".join(recipe.packages), *_archive_state(recipe.suite))
    index = cache / "archive-states" / state
    index.parent.mkdir(exist_ok=True)
    # One run at a time makes the root of an archive state; the others wait
    # for it, then use what it made.
    making = _lock(index.with_name(state + ".lock"), exclusive=True)
    try:
        name = index.read_text().strip() if index.is_file() and not _fresh() else None
        if name is None or not (cache / name / "packages").is_file():
            staging, packages, staging_lock = _make(recipe, cache, recipe.packages, work)
            name = _key(recipe.suite, " ".join(recipe.architectures), packages_text(packages))
            _place(recipe, staging, staging_lock, cache / name)
            index.with_name(state + ".new").write_text(name + "\n")
            index.with_name(state + ".new").rename(index)
    finally:
        os.close(making)
    return _use(recipe, cache / name, _read_packages(cache / name / "packages"), work)


def exactly(recipe, packages, work):
    """The root holding exactly PACKAGES (from a BUILDINFO), made again from
    the archive where the cache has none: from the recipe's packages, with apt
    held to the list's versions, so that a name the recipe does not need is
    never installed (Unneeded)."""
    cache = _cache()
    folder = cache / _key(recipe.suite, " ".join(recipe.architectures), packages_text(packages))
    making = _lock(folder.with_name(folder.name + ".make"), exclusive=True)
    try:
        if _fresh() or not (folder / "packages").is_file():
            _resolve(recipe, cache, packages, work)
            staging, made, staging_lock = _make(recipe, cache, recipe.packages, work, pins=packages)
            if made != packages:
                shutil.rmtree(staging, ignore_errors=True)
                os.close(staging_lock)
                unneeded = sorted({n for n, _ in packages} - {n for n, _ in made})
                if unneeded and set(made) <= set(packages):
                    raise Unneeded(recipe.name, unneeded)
                # Not kept under the list's name: it does not hold the list.
                raise Inconsistent(recipe.name, made, packages)
            _place(recipe, staging, staging_lock, folder)
    finally:
        os.close(making)
    return _use(recipe, folder, packages, work)


def _read_packages(path):
    return tuple(tuple(line.split(" ", 1)) for line in path.read_text().splitlines())

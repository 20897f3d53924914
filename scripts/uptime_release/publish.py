"""Adding a release to the project's APT, DNF and pacman repositories: a folder any
static web server can serve, every version kept, all metadata written anew
and signed, byte for byte the same for the same releases.

Every file taken from the release or kept from TREE is checked first: the
release's against its SHA256SUMS (and, when signing, SHA256SUMS against the
key), each kept release's the same way; BUILDINFO is read strictly, once,
after that. TREE holds nothing but plain files and folders. One run at a
time changes a TREE (a lock on the folder that holds it), and a TREE that
changed while a run read it is never replaced."""

import base64
import ctypes
import email.utils
import errno
import fcntl
import gzip
import hashlib
import io
import json
import os
import re
import shutil
import signal
import stat
import tarfile
import time
from pathlib import Path

from . import buildinfo, openpgp, pipeline, runner, sandbox, sums, tables, tools
from .errors import FormatError, MachineError, Refused

NAME = "uptime-report"
SUITE, COMPONENT = "stable", "main"
_LINUX = tables.read().linux
DEB_ARCHITECTURES = tuple(sorted(line.name for line in _LINUX))
RPM_ARCHITECTURES = tuple(sorted(line.rpm for line in _LINUX if line.rpm))
PACMAN_ARCHITECTURES = tuple(sorted(line.pacman for line in _LINUX if line.pacman))
PACMAN = ".pkg.tar.zst"
POOL = f"apt/pool/{COMPONENT}/{NAME[0]}/{NAME}"
KEY_AND_CLIENT_FILES = ("asc", "gpg", "sources", "repo", "pacman.conf")
TREE_ENTRIES = {"apt", "rpm", "pacman", "releases"} | {f"{NAME}.{kind}" for kind in KEY_AND_CLIENT_FILES}
RELEASE_FILES = ("BUILDINFO", "SHA256SUMS", "SHA256SUMS.asc")


class Signer:
    """gpg with the publishing key, each time in a sandbox of its own that
    takes the key on its standard input and keeps it in its own /tmp: no
    key, passphrase or agent outlives a run."""

    def __init__(self, keys, work):
        self.keys, self.work = keys, work
        self.work.mkdir(mode=0o700)
        result = self._run({"test": (b"test\n", ["--detach-sign"])}, None)
        self.fingerprint = result["fingerprint"].decode().strip()
        self.created = int(result["created"])
        self.public = {True: result["public.asc"], False: result["public.gpg"]}
        self.checks = work / "check"
        self.checks.mkdir(mode=0o755)
        (self.checks / "public.gpg").write_bytes(self.public[False])
        self.key = openpgp.read_key(self.checks, "public.gpg")

    def _run(self, requests, epoch):
        """Signs each of REQUESTS ({name: (data, gpg options)}) at EPOCH (the
        key's own time when None): {name: signature}, and the key's
        fingerprint, time and public key."""
        box = self.work / "box"
        shutil.rmtree(box, ignore_errors=True)
        box.mkdir(mode=0o700)
        sandbox.hand_over(box)
        message = json.loads(self.keys.message())
        message["epoch"] = epoch
        message["requests"] = {
            name: [base64.b64encode(data).decode(), options] for name, (data, options) in requests.items()
        }
        log = self.work / "gpg.log"
        status = sandbox.run(
            ["python3", "-I", "-B", pipeline.INSIDE, "step", "gpg-sign"],
            box,
            log,
            "signing with SIGN_GPG_KEY",
            read_only=[(pipeline.PROGRAM, pipeline.INSIDE)],
            stdin=json.dumps(message).encode(),
        )
        if status != 0:
            raise Refused(
                "signing with SIGN_GPG_KEY failed (a wrong SIGN_GPG_PASSPHRASE?): "
                + log.read_text(errors="replace").strip()
            )
        try:
            folder = sandbox.open_made(box / "out", directory=True)
        except sandbox.Planted as planted:
            raise Refused(f"gpg left no signatures: {planted}")
        try:
            found = {}
            for name in list(requests) + ["fingerprint", "created", "public.asc", "public.gpg"]:
                with os.fdopen(sandbox.open_made(name, folder), "rb") as f:
                    found[name] = f.read(1 << 20)
            return found
        finally:
            os.close(folder)
            shutil.rmtree(box, ignore_errors=True)

    def sign(self, requests, epoch):
        return self._run(requests, epoch)

    def public_key(self, armour):
        return self.public[armour]

    def check(self, sums_path, label):
        """Refuses sums that the key did not sign."""
        asc = sums_path.with_name("SHA256SUMS.asc")
        if not asc.is_file() or asc.is_symlink():
            raise Refused(
                f"{label} has no SHA256SUMS.asc beside it: a signed tree takes only releases signed by SIGN_GPG_KEY"
            )
        shutil.copyfile(sums_path, self.checks / "SHA256SUMS")
        shutil.copyfile(asc, self.checks / "SHA256SUMS.asc")
        verdict = openpgp.verify(
            self.checks, self.key, "public.gpg", "SHA256SUMS.asc", "SHA256SUMS", f"{label}/SHA256SUMS.asc"
        )
        if not verdict.good:
            raise Refused(
                f"{label}'s SHA256SUMS.asc is not a good signature over it by SIGN_GPG_KEY: "
                + "; ".join(verdict.problems)
            )


def _take(root, relative, copy):
    """Copies ROOT/RELATIVE, a plain file, to COPY, opening every folder on
    the way and the file without following a link. Every check and every
    use is of the copy: a release folder or a tree may be another user's,
    who could put another file, or a link, in place of one already checked."""
    folder = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in relative.split("/")[:-1]:
            inner = sandbox.open_made(part, folder, directory=True)
            os.close(folder)
            folder = inner
        fd = sandbox.open_made(relative.split("/")[-1], folder)
    except sandbox.Planted:
        raise Refused(f"{root} holds {relative}, which is not a plain file") from None
    finally:
        os.close(folder)
    copy.parent.mkdir(parents=True, exist_ok=True)
    with os.fdopen(fd, "rb") as source, open(copy, "wb") as target:
        shutil.copyfileobj(source, target)
    return copy


def _plain_files(folder, label, copies):
    """{name: copy} of FOLDER's entries, each a plain file, copied into COPIES."""
    found = {}
    for entry in sorted(os.scandir(folder), key=lambda e: e.name):
        if not entry.is_file(follow_symlinks=False):
            raise Refused(f"{label} holds {entry.name}, which is not a plain file")
        found[entry.name] = _take(folder, entry.name, copies / entry.name)
    return found


def _release(label, signer, files, complete=True):
    """A release's sums checked against its files (and the key), then its
    BUILDINFO read strictly: (sums, BUILDINFO). A kept release holds only
    BUILDINFO and its sums; its packages are checked where the tree keeps
    them."""
    if "SHA256SUMS" not in files or "BUILDINFO" not in files:
        raise Refused(f"{label} holds no SHA256SUMS or no BUILDINFO: it is not a release folder")
    try:
        listed = sums.read(files["SHA256SUMS"].read_bytes(), f"{label}/SHA256SUMS")
    except FormatError as error:
        raise Refused(
            f"{label}'s SHA256SUMS has a line that is not a digest and a file name in the release folder: {error}"
        )
    if "BUILDINFO" not in listed:
        raise Refused(f"{label}'s SHA256SUMS does not cover its BUILDINFO")
    if signer:
        signer.check(files["SHA256SUMS"], label)
    for name, digest in listed.items():
        if name not in files and not complete:
            continue
        if name not in files:
            raise Refused(f"{label}'s SHA256SUMS lists {name}, which is not a plain file in the release folder")
        if sums.sha256(files[name]) != digest:
            raise Refused(
                f"files in {label} do not match its SHA256SUMS ({name}; check with: "
                f"cd {label} && sha256sum -c SHA256SUMS)"
            )
    return listed, buildinfo.read(files["BUILDINFO"].read_bytes(), f"{label}/BUILDINFO")


def _query(argv, what):
    try:
        return runner.output(argv, what).decode().split()
    except runner.Failed as failed:
        raise Refused(f"{what}: {' '.join(failed.tail)}") from None


def _placements(folder, listed, info):
    """Where each package of the release goes in the tree."""
    placed = {}
    for name in listed:
        path = folder / name
        if name.endswith(".deb"):
            package, arch, version = _query(
                ["dpkg-deb", "--showformat=${Package} ${Architecture} ${Version}\n", "-W", str(path)],
                f"{name} is not a Debian package",
            )
            if arch not in DEB_ARCHITECTURES:
                raise Refused(f"{name} is for {arch}, which the APT repository does not carry")
            placed[_target(name)] = (path, package, version)
        elif name.endswith(".rpm"):
            package, arch, version = _query(
                [
                    "rpm",
                    "--dbpath",
                    str(folder.parent / "rpmdb"),
                    "-qp",
                    "--qf",
                    "%{NAME} %{ARCH} %{VERSION}-%{RELEASE}\n",
                    str(path),
                ],
                f"{name} is not an rpm package",
            )
            if arch not in RPM_ARCHITECTURES:
                raise Refused(f"{name} is for {arch}, which the DNF repository does not carry")
            placed[_target(name)] = (path, package, version)
        elif name.endswith(PACMAN):
            fields = _pkginfo(path, name)
            package, arch, version = (fields.get(key) for key in ("pkgname", "arch", "pkgver"))
            if arch not in PACMAN_ARCHITECTURES or not name.endswith(f"-{arch}{PACMAN}"):
                raise Refused(f"{name} is for {arch}, which the pacman repository does not carry under that name")
            placed[_target(name)] = (path, package, version)
    for target, (path, package, version) in placed.items():
        if package != NAME:
            raise Refused(f"{path.name} holds {package}, not {NAME}")
        expected = info.version if target.startswith("apt") else _rpm_version(info.version)
        if version != expected:
            raise Refused(f"{path.name} is version {version}, but BUILDINFO says {expected}")
    if not placed:
        raise Refused(f"{folder} holds no .deb, .rpm or pacman package")
    return {target: path for target, (path, _, _) in placed.items()}


def _target(name):
    """Where a release's file of this name lies in the tree, if it is a package."""
    if name.endswith(".deb"):
        return f"{POOL}/{name}"
    if name.endswith(PACMAN):
        return f"pacman/{name.removesuffix(PACMAN).rsplit('-', 1)[1]}/{name}"
    return f"rpm/{name}" if name.endswith(".rpm") else None


def _pkginfo(path, name):
    """The fields of a pacman package's .PKGINFO, each the first given."""
    try:
        text = runner.output(["bsdtar", "-xOqf", str(path), ".PKGINFO"], f"reading {name}").decode()
    except (runner.Failed, UnicodeDecodeError):
        raise Refused(f"{name} is not a pacman package") from None
    fields = {}
    for line in text.splitlines():
        key, separator, value = line.partition(" = ")
        if separator and not key.startswith("#"):
            fields.setdefault(key, value)
    return fields


def _carried(path):
    """Whether a new tree takes PATH over from the old one: the releases'
    files and the packages, not the metadata, which is written anew."""
    if path.startswith("pacman/"):
        return path.endswith(PACMAN)
    return path.startswith(("releases/", f"{POOL}/", "rpm/")) and not path.startswith("rpm/repodata/")


def _rpm_version(version):
    upstream, _, revision = version.partition("-")
    return f"{upstream}-{revision or 1}"


def _walk(tree):
    """Every file in TREE, relative, refusing anything but plain files and
    folders (a link would have a foreign file copied, indexed and signed)."""
    files = []
    for folder, folders, names in os.walk(tree):
        for name in folders + names:
            path = Path(folder) / name
            mode = os.lstat(path).st_mode
            if not (stat.S_ISDIR(mode) or stat.S_ISREG(mode)):
                raise Refused(f"{tree} holds {path.relative_to(tree)}, which is neither a plain file nor a folder")
            if name.startswith("."):
                raise Refused(f"{tree} holds {path.relative_to(tree)}, which is not part of a repository tree")
            if stat.S_ISREG(mode):
                files.append(path.relative_to(tree).as_posix())
    return files


def _kept(tree, taken, signer):
    """The releases TREE keeps, each checked as a new one is, from their
    copies in TAKEN: {version: (sums, BUILDINFO)}."""
    kept = {}
    releases = tree / "releases"
    if not releases.is_dir() or releases.is_symlink():
        raise Refused(f"{releases} is not a folder")
    for entry in sorted(os.listdir(releases)):
        folder = releases / entry
        if not folder.is_dir() or folder.is_symlink():
            raise Refused(f"{folder} is not a folder")
        files = (
            {name: taken / "releases" / entry / name for name in os.listdir(taken / "releases" / entry)}
            if (taken / "releases" / entry).is_dir()
            else {}
        )
        if set(files) - set(RELEASE_FILES):
            raise Refused(f"{folder} holds more than {', '.join(RELEASE_FILES)}")
        listed, info = _release(str(folder), signer, files, complete=False)
        if info.version != entry:
            raise Refused(f"{folder}'s BUILDINFO is of version {info.version}")
        kept[entry] = (listed, info)
    return kept


STAGING = ".publish-repos.partial."
LOCK_WAIT = 3600


def _lock_path(out):
    """The lock file of TREE (OUT): this user's own, named after TREE's
    place (the device and inode of the folder it is in, and its name: every
    path to it, through a link, a bind mount or "//", names one lock), in a
    folder only this user can write (/run/uptime-report for root: /run/lock
    is every user's, who could take the name first), so that nobody else
    can hold it."""
    base = Path("/run") if os.geteuid() == 0 else Path(os.environ.get("XDG_RUNTIME_DIR") or Path.home() / ".cache")
    folder = base / "uptime-report"
    folder.mkdir(mode=0o700, parents=True, exist_ok=True)
    if os.lstat(folder).st_uid != os.geteuid() or os.lstat(folder).st_mode & 0o077:
        raise MachineError(f"{folder} is not this user's alone; the lock on TREE cannot be kept there")
    out.parent.mkdir(parents=True, exist_ok=True)
    place = os.stat(out.parent)
    name = f"{place.st_dev}:{place.st_ino}/".encode() + os.fsencode(out.name)
    return folder / f"publish-{hashlib.sha256(name).hexdigest()[:24]}.lock"


def _lock(out):
    """Waits, an hour at most, for every other run on TREE (_lock_path()).
    Held until this program ends."""
    path = _lock_path(out)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    for waited in range(LOCK_WAIT + 1):
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except BlockingIOError:
            if waited == 0:
                print(f"  waiting for another run of publish-repos on {out}", flush=True)
            time.sleep(1)
    os.close(fd)
    raise MachineError(f"another run of publish-repos has held {out} for {LOCK_WAIT} s")


def _state(out):
    """What TREE holds, as far as a change would show: every entry's path,
    kind, size, time and inode."""
    found = []
    for folder, folders, names in os.walk(out):
        if folder == str(out):
            folders[:] = [f for f in folders if not f.startswith(STAGING)]
        for name in sorted(folders + names):
            info = os.lstat(os.path.join(folder, name))
            found.append((os.path.join(folder, name), info.st_mode, info.st_size, info.st_mtime_ns, info.st_ino))
    return found


def publish(release_arg, tree_arg, environ):
    release = Path(release_arg)
    if not release.is_dir():
        raise Refused(f"the release is not a folder: {release_arg}")
    release = release.resolve()
    out = Path(os.path.abspath(tree_arg))
    url = (environ.get("REPO_URL") or "https://downloads.example.invalid/uptime-report").rstrip("/")
    if not re.fullmatch(r"(https?|file):/[^\s\\]*", url):
        raise Refused(f"REPO_URL must be an http(s):// or file:/ address, not '{url}'")
    keys = pipeline.read_keys({k: v for k, v in environ.items() if k.startswith("SIGN_GPG")})
    tools.require("publish")
    if keys.gpg_key:
        tools.require("sign")
    work = sandbox.work_folder("publish-repos.", {release: "RELEASE_DIR", out.resolve(): "TREE"})
    lock = None
    try:
        signer = Signer(keys, work / "gpg") if keys.gpg_key else None
        files = _plain_files(release, str(release), work / "release")
        listed, info = _release(str(release), signer, files)
        placed = _placements(work / "release", listed, info)
        for name in RELEASE_FILES:
            if name in files:
                placed[f"releases/{info.version}/{name}"] = files[name]

        lock = _lock(out)
        if os.path.lexists(out) and (not out.is_dir() or out.is_symlink()):
            raise Refused(f"{out} exists and is not a folder")
        for entry in out.glob(STAGING + "*") if out.is_dir() else ():
            shutil.rmtree(entry, ignore_errors=True)
        read = _state(out) if out.is_dir() else None
        kept, taken = {}, {}
        if read:
            extra = set(os.listdir(out)) - TREE_ENTRIES
            if "releases" not in os.listdir(out) or extra:
                raise Refused(
                    f"{out} holds {', '.join(sorted(extra)) or 'no releases/'}, which is not part "
                    "of a repository tree this script made; move it elsewhere first"
                )
            # What the new tree carries over (the releases' files and
            # packages; the metadata is written anew), taken once.
            taken = {p: _take(out, p, work / "tree" / p) for p in _walk(out) if _carried(p)}
            kept = _kept(out, work / "tree", signer)
            expected = {_target(n): d for listed_, _ in kept.values() for n, d in listed_.items() if _target(n)}
            for path, copy in taken.items():
                if not path.startswith("releases/"):
                    if path not in expected:
                        raise Refused(f"{out} holds {path}, which no release in it lists")
                    if sums.sha256(copy) != expected[path]:
                        raise Refused(f"packages in {out} do not match their releases' SHA256SUMS: {path}")
        for target, source in placed.items():
            if target in taken and sums.sha256(taken[target]) != sums.sha256(source):
                raise Refused(
                    f"{out} already holds {target} with other bytes; a published file is never "
                    "replaced (give the release a new package revision: RELEASE_REVISION)"
                )
        # The tree's time: the newest release in it.
        epoch = max([info.epoch] + [i.epoch for _, i in kept.values()])
        if signer:
            openpgp.refuse_younger_key(signer.created, epoch, "the newest release in the tree", "the release")

        # The new tree is made in this run's own work folder, then copied
        # next to TREE (or into it, where TREE is a mount point) through
        # descriptors, and takes the old one's place.
        tree = work / "new-tree"
        for target, source in list(taken.items()) + list(placed.items()):
            (tree / target).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, tree / target)
        (tree / POOL).mkdir(parents=True, exist_ok=True)
        (tree / "rpm").mkdir(exist_ok=True)
        _apt(tree, epoch)
        _dnf(tree, epoch)
        databases = _pacman(tree, epoch, work, signer)
        if signer:
            dists = tree / "apt" / "dists" / SUITE
            release_file = (dists / "Release").read_bytes()
            repomd = tree / "rpm" / "repodata" / "repomd.xml"
            signed = signer.sign(
                {
                    "InRelease": (release_file, ["--clearsign"]),
                    "Release.gpg": (release_file, ["--armor", "--detach-sign"]),
                    "repomd.xml.asc": (repomd.read_bytes(), ["--armor", "--detach-sign"]),
                    **{f"pacman-{i}": (path.read_bytes(), ["--detach-sign"]) for i, path in enumerate(databases)},
                },
                epoch,
            )
            for i, path in enumerate(databases):
                path.with_name(path.name + ".sig").write_bytes(signed[f"pacman-{i}"])
            (dists / "InRelease").write_bytes(signed["InRelease"])
            (dists / "Release.gpg").write_bytes(signed["Release.gpg"])
            repomd.with_name("repomd.xml.asc").write_bytes(signed["repomd.xml.asc"])
            (tree / f"{NAME}.asc").write_bytes(signer.public_key(True))
            (tree / f"{NAME}.gpg").write_bytes(signer.public_key(False))
            # What a user puts in /etc/apt/sources.list.d/ and /etc/yum.repos.d/,
            # with the key where each system keeps keys an administrator adds.
            (tree / f"{NAME}.sources").write_text(
                f"Types: deb\nURIs: {url}/apt\nSuites: {SUITE}\nComponents: {COMPONENT}\n"
                f"Signed-By: /etc/apt/keyrings/{NAME}.gpg\n"
            )
            (tree / f"{NAME}.repo").write_text(
                f"[{NAME}]\nname={NAME}\nbaseurl={url}/rpm\nenabled=1\ngpgcheck=1\nrepo_gpgcheck=1\n"
                f"gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-{NAME}\n"
            )
            (tree / f"{NAME}.pacman.conf").write_text(f"[{NAME}]\nSigLevel = Required\nServer = {url}/pacman/$arch\n")
        else:
            print(
                "  the repositories are unsigned: set SIGN_GPG_KEY to sign them (apt, dnf and pacman refuse them otherwise)"
            )
        if (_state(out) if out.is_dir() else None) != read:
            raise MachineError(
                f"{out} changed while this run read it (a writer that takes no lock?); nothing "
                "was replaced: run it again"
            )
        _install(tree, out, epoch)
        versions = sorted(os.listdir(out / "releases"), key=lambda v: [int(p) for p in re.split(r"[.-]", v)])
        print(f"Published {NAME} {info.version} in {out} (every version it holds: {' '.join(versions)})")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if lock is not None:
            os.close(lock)


def _tool(argv, what, **kwargs):
    try:
        return runner.output(argv, what, **kwargs)
    except runner.Failed as failed:
        raise MachineError(str(failed)) from None


def _apt(tree, epoch):
    """A Packages index per architecture (apt-ftparchive lists the pool in
    name order, whatever order the file system gives), and the Release that
    names their sums. No Valid-Until: nothing re-signs a static tree."""
    ftparchive = ["apt-ftparchive", "-o", "APT::FTPArchive::MD5=false", "-o", "APT::FTPArchive::SHA1=false"]
    dists = tree / "apt" / "dists" / SUITE
    for arch in DEB_ARCHITECTURES:
        index = dists / COMPONENT / f"binary-{arch}"
        index.mkdir(parents=True)
        packages = _tool(
            ftparchive + ["--arch", arch, "packages", "pool"], f"apt-ftparchive for {arch}", cwd=tree / "apt"
        )
        (index / "Packages").write_bytes(packages)
        (index / "Packages.gz").write_bytes(gzip.compress(packages, 9, mtime=0))
        (index / "Packages.xz").write_bytes(_tool(["xz", "-T1"], "xz", stdin=packages))
    options = {
        "Origin": NAME,
        "Label": NAME,
        "Suite": SUITE,
        "Codename": SUITE,
        "Components": COMPONENT,
        "Architectures": " ".join(DEB_ARCHITECTURES),
        "Date": email.utils.formatdate(epoch, usegmt=True),
        "Description": f"{NAME}, every released version",
    }
    release = ftparchive + [a for k, v in options.items() for a in ("-o", f"APT::FTPArchive::Release::{k}={v}")]
    (dists / "Release").write_bytes(_tool(release + ["release", "."], "apt-ftparchive release", cwd=dists))


def _dnf(tree, epoch):
    """createrepo_c records each package's file time, so every file gets the
    tree's time first. No sqlite databases: they are not reproducible."""
    for folder, folders, names in os.walk(tree):
        for name in [folder] + [os.path.join(folder, n) for n in folders + names]:
            os.utime(name, (epoch, epoch), follow_symlinks=False)
    _tool(
        [
            "createrepo_c",
            "--quiet",
            "--no-database",
            "--checksum",
            "sha256",
            "--workers",
            "1",
            "--set-timestamp-to-revision",
            "--revision",
            str(epoch),
            str(tree / "rpm"),
        ],
        "createrepo_c",
    )


def _pacman(tree, epoch, work, signer):
    """Each architecture's pacman database (and its file list), made by
    repo-add from the newest package, which is all a pacman database
    offers; older packages stay in the folder. Every package is signed
    first (in one run of the signer), so that repo-add puts its signature in
    the database. repo-add dates what it packs now, so each database is
    packed again, dated EPOCH. Returns the databases, for signing."""
    folders = {arch: tree / "pacman" / arch for arch in PACMAN_ARCHITECTURES if (tree / "pacman" / arch).is_dir()}
    packages = {arch: sorted(p for p in os.listdir(folder) if p.endswith(PACMAN)) for arch, folder in folders.items()}
    if signer:
        requests = {
            p: ((folders[arch] / p).read_bytes(), ["--detach-sign"]) for arch in folders for p in packages[arch]
        }
        for name, signature in signer.sign(requests, epoch).items():
            if name in requests:
                (folders[_target(name).split("/")[1]] / f"{name}.sig").write_bytes(signature)
    databases = []
    for arch, folder in folders.items():
        if not packages[arch]:
            continue
        newest = max(packages[arch], key=lambda p: [int(n) for n in re.findall(r"[0-9]+", p.removesuffix(PACMAN))])
        scratch = work / "pacman" / arch
        scratch.mkdir(parents=True)
        for name in (newest, f"{newest}.sig"):
            if (folder / name).exists():
                shutil.copyfile(folder / name, scratch / name)
        _tool(["repo-add", "-q", str(scratch / f"{NAME}.db.tar.gz"), str(scratch / newest)], f"repo-add for {arch}")
        for kind in ("db", "files"):
            (folder / f"{NAME}.{kind}").write_bytes(_repacked(scratch / f"{NAME}.{kind}.tar.gz", epoch))
            databases.append(folder / f"{NAME}.{kind}")
    return databases


def _repacked(database, epoch):
    """DATABASE, a gzipped tar, written again in name order, dated EPOCH,
    owned by root."""
    members = []
    with tarfile.open(database, "r:gz") as tar:
        for member in tar.getmembers():
            members.append((member.name.rstrip("/"), tar.extractfile(member).read() if member.isfile() else None))
    packed = io.BytesIO()
    with tarfile.open(fileobj=packed, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in sorted(members):
            entry = tarfile.TarInfo(name)
            entry.mtime, entry.mode = epoch, 0o644 if data is not None else 0o755
            entry.type = tarfile.REGTYPE if data is not None else tarfile.DIRTYPE
            entry.size = len(data or b"")
            tar.addfile(entry, io.BytesIO(data) if data is not None else None)
    return gzip.compress(packed.getvalue(), 9, mtime=0)


def _exchange(a_folder, a, b_folder, b):
    """Swaps A (in the open A_FOLDER) and B in one step (renameat2's
    RENAME_EXCHANGE); False where the file system cannot."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.renameat2(a_folder, os.fsencode(a), b_folder, os.fsencode(b), 2) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(error, os.strerror(error), b)


def _copy_into(tree, folder, epoch):
    """Copies TREE into the open, empty FOLDER, through descriptors opened
    without following a link and made anew (O_EXCL): folders 755, files 644,
    everything dated EPOCH. Whoever can write where FOLDER lies cannot make
    this program write, chmod or date anything else."""
    for entry in sorted(os.scandir(tree), key=lambda e: e.name):
        if entry.is_dir(follow_symlinks=False):
            os.mkdir(entry.name, 0o700, dir_fd=folder)
            inner = os.open(entry.name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=folder)
            try:
                _copy_into(entry.path, inner, epoch)
                os.fchmod(inner, 0o755)
                os.utime(inner, (epoch, epoch))
            finally:
                os.close(inner)
        else:
            fd = os.open(entry.name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600, dir_fd=folder)
            with open(entry.path, "rb") as source, os.fdopen(fd, "wb") as copy:
                shutil.copyfileobj(source, copy)
                copy.flush()
                os.fchmod(fd, 0o644)
                os.utime(fd, (epoch, epoch))


def _install(tree, out, epoch):
    """The new TREE takes OUT's place: copied into a hidden folder beside OUT
    (inside it, where OUT is a mount point, which nothing can replace as a
    whole), which then takes the old tree's place in one step (renameat2's
    exchange; where the file system has none, with signals held), so that no
    signal leaves TREE missing; inside a mount point, entry by entry (apt's
    and dnf's trees each whole). What the old tree held goes with the stage."""
    out.parent.mkdir(parents=True, exist_ok=True)
    parent = os.open(out.parent, os.O_RDONLY | os.O_DIRECTORY)
    inside = out.is_dir() and os.path.ismount(out)
    holder = os.open(out, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW) if inside else parent
    stage = (STAGING if inside else f".{out.name}.partial.") + os.urandom(6).hex()
    os.mkdir(stage, 0o700, dir_fd=holder)
    staged = os.open(stage, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=holder)
    try:
        _copy_into(tree, staged, epoch)
        os.fchmod(staged, 0o755)
        os.utime(staged, (epoch, epoch))
        if inside:
            for entry in sorted(set(os.listdir(staged)) | set(os.listdir(holder)) - {stage}):
                _take_place(staged, entry, holder, entry)
            os.utime(holder, (epoch, epoch))
        else:
            _take_place(holder, stage, holder, out.name)
    finally:
        os.close(staged)
        shutil.rmtree(stage, dir_fd=holder, ignore_errors=True)
        if holder != parent:
            os.close(holder)
        os.close(parent)


def _take_place(new_folder, new, old_folder, old):
    """NEW (in the open NEW_FOLDER) takes the place of OLD (in OLD_FOLDER),
    which goes where NEW was; an entry only one of them has moves alone."""
    has_new = new in os.listdir(new_folder)
    if not has_new:
        os.rename(old, new, src_dir_fd=old_folder, dst_dir_fd=new_folder)
        return
    if old not in os.listdir(old_folder):
        os.rename(new, old, src_dir_fd=new_folder, dst_dir_fd=old_folder)
        return
    if _exchange(new_folder, new, old_folder, old):
        return
    signals = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
    signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    try:
        aside = f"{old}.old.{os.urandom(6).hex()}"
        os.rename(old, aside, src_dir_fd=old_folder, dst_dir_fd=old_folder)
        try:
            os.rename(new, old, src_dir_fd=new_folder, dst_dir_fd=old_folder)
        except BaseException:
            os.rename(aside, old, src_dir_fd=old_folder, dst_dir_fd=old_folder)
            raise
        os.rename(aside, new, src_dir_fd=old_folder, dst_dir_fd=new_folder)
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)

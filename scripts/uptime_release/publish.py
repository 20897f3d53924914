"""Adding a release to the project's APT and DNF repositories: a folder any
static web server can serve, every version kept, all metadata written anew
and signed, byte for byte the same for the same releases.

Every file taken from the release or kept from TREE is checked first: the
release's against its SHA256SUMS (and, when signing, SHA256SUMS against the
key), each kept release's the same way; BUILDINFO is read strictly, once,
after that. TREE holds nothing but plain files and folders."""
import ctypes
import email.utils
import errno
import gzip
import os
import re
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

from . import buildinfo, sandbox, sums, tables
from .errors import FormatError, MachineError, Refused, UsageError

NAME = "uptime-report"
SUITE, COMPONENT = "stable", "main"
_LINUX = tables.read().linux
DEB_ARCHITECTURES = tuple(sorted(line.name for line in _LINUX))
RPM_ARCHITECTURES = tuple(sorted(line.rpm for line in _LINUX if line.rpm))
POOL = f"apt/pool/{COMPONENT}/{NAME[0]}/{NAME}"
TREE_ENTRIES = {"apt", "rpm", "releases", f"{NAME}.asc", f"{NAME}.gpg", f"{NAME}.sources", f"{NAME}.repo"}
RELEASE_FILES = ("BUILDINFO", "SHA256SUMS", "SHA256SUMS.asc")


class Signer:
    """gpg with the publishing key, inside a sandbox whose /build is a work
    folder of its own: the agent ends with each run, and leaves no socket."""

    def __init__(self, key, passphrase, work):
        self.work = work
        self.work.mkdir(mode=0o700)
        shutil.copyfile(key, work / "key")
        (work / "passphrase").write_text(passphrase)
        (work / "gnupg").mkdir(mode=0o700)
        sandbox.hand_over(work)
        self._gpg(["--import", "/build/key"], "cannot import SIGN_GPG_KEY")
        listing = self._gpg(["--with-colons", "--list-secret-keys"], "cannot list SIGN_GPG_KEY").splitlines()
        self.created = next((int(l.split(":")[5]) for l in listing if l.startswith("sec:")), None)
        self.fingerprint = next((l.split(":")[9] for l in listing if l.startswith("fpr:")), None)
        if self.fingerprint is None:
            raise Refused("SIGN_GPG_KEY holds no secret key")
        self._gpg(["--export", "-o", "/build/public.gpg", self.fingerprint], "cannot export SIGN_GPG_KEY's public key")

    def _gpg(self, args, what):
        log = self.work.parent / "gpg.log"
        status = sandbox.run(["gpg", "--homedir", "/build/gnupg", "--batch", "--no-tty", "--pinentry-mode",
                              "loopback", "--passphrase-file", "/build/passphrase"] + args, self.work, log,
                             timeout=300)
        text = log.read_text(errors="replace")
        if status != 0:
            raise Refused(f"{what}: {text.strip()}")
        return text

    def public_key(self, armour):
        self._gpg((["--armor"] if armour else []) + ["--export", "-o", "/build/out", self.fingerprint],
                  "cannot export the public key")
        return self._take("out")

    def sign(self, data, epoch, options):
        (self.work / "in").write_bytes(data)
        sandbox.hand_over(self.work / "in")
        self._gpg(["--faked-system-time", f"{epoch}!", "--local-user", self.fingerprint] + options +
                  ["-o", "/build/out", "/build/in"], "signing with SIGN_GPG_KEY failed (a wrong SIGN_GPG_PASSPHRASE?)")
        return self._take("out")

    def _take(self, name):
        data = (self.work / name).read_bytes()
        (self.work / name).unlink()
        return data

    def check(self, sums_path, label):
        """Refuses sums that the key did not sign."""
        asc = sums_path.with_name("SHA256SUMS.asc")
        if not asc.is_file() or asc.is_symlink():
            raise Refused(f"{label} has no SHA256SUMS.asc beside it: a signed tree takes only releases "
                          "signed by SIGN_GPG_KEY")
        shutil.copyfile(sums_path, self.work / "check")
        shutil.copyfile(asc, self.work / "check.asc")
        sandbox.hand_over(self.work)
        log = self.work.parent / "gpgv.log"
        status = sandbox.run(["gpgv", "--keyring", "/build/public.gpg", "/build/check.asc", "/build/check"],
                             self.work, log, timeout=120)
        if status != 0:
            raise Refused(f"{label}'s SHA256SUMS.asc is not a good signature over it by SIGN_GPG_KEY: "
                          f"{log.read_text(errors='replace').strip()}")


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


def _release(folder, label, signer, files, complete=True):
    """A release's sums checked against its files (and the key), then its
    BUILDINFO read strictly: (sums, BUILDINFO). A kept release holds only
    BUILDINFO and its sums; its packages are checked where the tree keeps
    them."""
    if "SHA256SUMS" not in files or "BUILDINFO" not in files:
        raise Refused(f"{label} holds no SHA256SUMS or no BUILDINFO: it is not a release folder")
    try:
        listed = sums.read(files["SHA256SUMS"].read_bytes(), f"{label}/SHA256SUMS")
    except FormatError as error:
        raise Refused(f"{label}'s SHA256SUMS has a line that is not a digest and a file name in the release "
                      f"folder: {error}")
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
            raise Refused(f"files in {label} do not match its SHA256SUMS ({name}; check with: "
                          f"cd {label} && sha256sum -c SHA256SUMS)")
    return listed, buildinfo.read(files["BUILDINFO"].read_bytes(), f"{label}/BUILDINFO")


def _query(argv, what):
    result = subprocess.run(argv, capture_output=True, text=True)
    if result.returncode != 0:
        raise Refused(f"{what}: {result.stderr.strip()}")
    return result.stdout.split()


def _placements(folder, listed, info):
    """Where each package of the release goes in the tree."""
    placed = {}
    for name in listed:
        path = folder / name
        if name.endswith(".deb"):
            package, arch, version = _query(["dpkg-deb", "--showformat=${Package} ${Architecture} ${Version}\n",
                                             "-W", str(path)], f"{name} is not a Debian package")
            if arch not in DEB_ARCHITECTURES:
                raise Refused(f"{name} is for {arch}, which the APT repository does not carry")
            placed[_target(name)] = (path, package, version)
        elif name.endswith(".rpm"):
            package, arch, version = _query(["rpm", "-qp", "--qf", "%{NAME} %{ARCH} %{VERSION}-%{RELEASE}\n",
                                             str(path)], f"{name} is not an rpm package")
            if arch not in RPM_ARCHITECTURES:
                raise Refused(f"{name} is for {arch}, which the DNF repository does not carry")
            placed[_target(name)] = (path, package, version)
    for target, (path, package, version) in placed.items():
        if package != NAME:
            raise Refused(f"{path.name} holds {package}, not {NAME}")
        expected = info.version if target.startswith("apt") else _rpm_version(info.version)
        if version != expected:
            raise Refused(f"{path.name} is version {version}, but BUILDINFO says {expected}")
    if not placed:
        raise Refused(f"{folder} holds no .deb or .rpm package")
    return {target: path for target, (path, _, _) in placed.items()}


def _target(name):
    """Where a release's file of this name lies in the tree, if it is a package."""
    if name.endswith(".deb"):
        return f"{POOL}/{name}"
    return f"rpm/{name}" if name.endswith(".rpm") else None


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
            if not (os.path.isdir(path) and not path.is_symlink()) and not (path.is_file() and not path.is_symlink()):
                raise Refused(f"{tree} holds {path.relative_to(tree)}, which is neither a plain file nor a folder")
            if name.startswith(".") or not (0o40000 & mode or 0o100000 & mode):
                raise Refused(f"{tree} holds {path.relative_to(tree)}, which is not part of a repository tree")
            if path.is_file():
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
        files = {name: taken / "releases" / entry / name for name in os.listdir(taken / "releases" / entry)} \
            if (taken / "releases" / entry).is_dir() else {}
        if set(files) - set(RELEASE_FILES):
            raise Refused(f"{folder} holds more than {', '.join(RELEASE_FILES)}")
        listed, info = _release(folder, str(folder), signer, files, complete=False)
        if info.version != entry:
            raise Refused(f"{folder}'s BUILDINFO is of version {info.version}")
        kept[entry] = (listed, info)
    return kept


def publish(release_arg, tree_arg, environ):
    release = Path(release_arg)
    if not release.is_dir():
        raise Refused(f"the release is not a folder: {release_arg}")
    release = release.resolve()
    out = Path(os.path.abspath(tree_arg))
    url = (environ.get("REPO_URL") or "https://downloads.example.invalid/uptime-report").rstrip("/")
    if not re.fullmatch(r"(https?|file):/[^\s\\]*", url):
        raise Refused(f"REPO_URL must be an http(s):// or file:/ address, not '{url}'")
    for tool in ("apt-ftparchive", "createrepo_c", "dpkg-deb", "rpm", "xz", "bwrap", "setpriv"):
        if shutil.which(tool) is None:
            raise UsageError(f"{tool} is missing (bash scripts/setup.sh test installs what this needs)")
    work = sandbox.work_folder("publish-repos.", {release: "RELEASE_DIR", out.resolve(): "TREE"})
    stage = None
    try:
        signer = None
        if environ.get("SIGN_GPG_KEY"):
            if not os.access(environ["SIGN_GPG_KEY"], os.R_OK):
                raise Refused(f"cannot read SIGN_GPG_KEY: {environ['SIGN_GPG_KEY']}")
            signer = Signer(environ["SIGN_GPG_KEY"], environ.get("SIGN_GPG_PASSPHRASE", ""), work / "gpg")
        files = _plain_files(release, str(release), work / "release")
        listed, info = _release(release, str(release), signer, files)
        placed = _placements(work / "release", listed, info)
        for name in RELEASE_FILES:
            if name in files:
                placed[f"releases/{info.version}/{name}"] = files[name]

        old, kept, taken = None, {}, {}
        if os.path.lexists(out):
            if not out.is_dir() or out.is_symlink():
                raise Refused(f"{out} exists and is not a folder")
            if any(out.iterdir()):
                old = out
                extra = set(os.listdir(out)) - TREE_ENTRIES
                if "releases" not in os.listdir(out) or extra:
                    raise Refused(f"{out} holds {', '.join(sorted(extra)) or 'no releases/'}, which is not part "
                                  "of a repository tree this script made; move it elsewhere first")
                # What the new tree carries over (the releases' files and
                # packages; the metadata is written anew), taken once.
                taken = {p: _take(out, p, work / "tree" / p) for p in _walk(out)
                         if p.startswith(("releases/", f"{POOL}/", "rpm/")) and not p.startswith("rpm/repodata/")}
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
                raise Refused(f"{out} already holds {target} with other bytes; a published file is never "
                              "replaced (give the release a new package revision: RELEASE_REVISION)")
        # The tree's time: the newest release in it.
        epoch = max([info.epoch] + [i.epoch for _, i in kept.values()])
        if signer and signer.created > epoch:
            raise Refused(f"the OpenPGP key was made at {signer.created}, after the newest release in the tree "
                          f"({epoch}): gpg will not sign before a key existed; use a key older than the release")
        if signer:
            signer.sign(b"test\n", epoch, ["--detach-sign"])

        out.parent.mkdir(parents=True, exist_ok=True)
        stage = Path(tempfile.mkdtemp(prefix=f".{out.name}.partial.", dir=out.parent))
        tree = stage / "tree"
        for target, source in list(taken.items()) + list(placed.items()):
            (tree / target).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, tree / target)
        (tree / POOL).mkdir(parents=True, exist_ok=True)
        (tree / "rpm").mkdir(exist_ok=True)
        _apt(tree, epoch, work)
        _dnf(tree, epoch, work)
        if signer:
            dists = tree / "apt" / "dists" / SUITE
            release_file = (dists / "Release").read_bytes()
            (dists / "InRelease").write_bytes(signer.sign(release_file, epoch, ["--clearsign"]))
            (dists / "Release.gpg").write_bytes(signer.sign(release_file, epoch, ["--armor", "--detach-sign"]))
            repomd = tree / "rpm" / "repodata" / "repomd.xml"
            repomd.with_name("repomd.xml.asc").write_bytes(signer.sign(repomd.read_bytes(), epoch,
                                                                       ["--armor", "--detach-sign"]))
            (tree / f"{NAME}.asc").write_bytes(signer.public_key(True))
            (tree / f"{NAME}.gpg").write_bytes(signer.public_key(False))
            # What a user puts in /etc/apt/sources.list.d/ and /etc/yum.repos.d/,
            # with the key where each system keeps keys an administrator adds.
            (tree / f"{NAME}.sources").write_text(
                f"Types: deb\nURIs: {url}/apt\nSuites: {SUITE}\nComponents: {COMPONENT}\n"
                f"Signed-By: /etc/apt/keyrings/{NAME}.gpg\n")
            (tree / f"{NAME}.repo").write_text(
                f"[{NAME}]\nname={NAME}\nbaseurl={url}/rpm\nenabled=1\ngpgcheck=1\nrepo_gpgcheck=1\n"
                f"gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-{NAME}\n")
        else:
            print("  the repositories are unsigned: set SIGN_GPG_KEY to sign them (apt and dnf refuse them "
                  "otherwise)")
        for folder, folders, names in os.walk(tree):
            for name in [folder] + [os.path.join(folder, n) for n in folders + names]:
                os.chmod(name, 0o755 if os.path.isdir(name) else 0o644)
                os.utime(name, (epoch, epoch), follow_symlinks=False)
        _swap(tree, out, old, stage)
        os.utime(out, (epoch, epoch))
        versions = sorted(os.listdir(out / "releases"), key=lambda v: [int(p) for p in re.split(r"[.-]", v)])
        print(f"Published {NAME} {info.version} in {out} (every version it holds: {' '.join(versions)})")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if stage:
            shutil.rmtree(stage, ignore_errors=True)


def _run(argv, what, **kwargs):
    result = subprocess.run(argv, capture_output=True, **kwargs)
    if result.returncode != 0:
        raise MachineError(f"{what} failed: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def _apt(tree, epoch, work):
    """A Packages index per architecture (apt-ftparchive lists the pool in
    name order, whatever order the file system gives), and the Release that
    names their sums. No Valid-Until: nothing re-signs a static tree."""
    ftparchive = ["apt-ftparchive", "-o", "APT::FTPArchive::MD5=false", "-o", "APT::FTPArchive::SHA1=false"]
    dists = tree / "apt" / "dists" / SUITE
    for arch in DEB_ARCHITECTURES:
        index = dists / COMPONENT / f"binary-{arch}"
        index.mkdir(parents=True)
        packages = _run(ftparchive + ["--arch", arch, "packages", "pool"], f"apt-ftparchive for {arch}",
                        cwd=tree / "apt")
        (index / "Packages").write_bytes(packages)
        (index / "Packages.gz").write_bytes(gzip.compress(packages, 9, mtime=0))
        (index / "Packages.xz").write_bytes(_run(["xz", "-T1"], "xz", input=packages))
    options = {"Origin": NAME, "Label": NAME, "Suite": SUITE, "Codename": SUITE, "Components": COMPONENT,
               "Architectures": " ".join(DEB_ARCHITECTURES), "Date": email.utils.formatdate(epoch, usegmt=True),
               "Description": f"{NAME}, every released version"}
    release = ftparchive + [a for k, v in options.items() for a in ("-o", f"APT::FTPArchive::Release::{k}={v}")]
    (dists / "Release").write_bytes(_run(release + ["release", "."], "apt-ftparchive release", cwd=dists))


def _dnf(tree, epoch, work):
    """createrepo_c records each package's file time, so every file gets the
    tree's time first. No sqlite databases: they are not reproducible."""
    for folder, folders, names in os.walk(tree):
        for name in [folder] + [os.path.join(folder, n) for n in folders + names]:
            os.utime(name, (epoch, epoch), follow_symlinks=False)
    _run(["createrepo_c", "--quiet", "--no-database", "--checksum", "sha256", "--workers", "1",
          "--set-timestamp-to-revision", "--revision", str(epoch), str(tree / "rpm")], "createrepo_c")


def _exchange(a, b):
    """Swaps the folders A and B in one step (renameat2's RENAME_EXCHANGE);
    False where the file system cannot."""
    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(error, os.strerror(error), str(b))


def _swap(tree, out, old, stage):
    """The new tree takes the old one's place in one step, so that no signal
    leaves TREE missing or removes the old tree with the stage: after the
    swap, the old tree is at TREE's former place in the stage. Where the file
    system cannot swap, the old one is moved aside with signals held, and put
    back if the move fails."""
    if old and _exchange(tree, out):
        return
    signals = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
    signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    try:
        moved = None
        if old:
            moved = stage / "old"
            old.rename(moved)
        try:
            if moved is None and out.is_dir():
                for entry in tree.iterdir():
                    entry.rename(out / entry.name)
            else:
                tree.rename(out)
        except BaseException:
            if moved is not None and not out.exists():
                moved.rename(out)
            raise
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, signals)

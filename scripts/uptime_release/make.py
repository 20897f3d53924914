"""Making a release: every artifact built inside the roots made for it, from
a clean copy of one commit's sources, byte for byte the same wherever,
whenever and by whomever it is made. The verifier's rebuild is the same
work, with the published signatures in place of keys."""
import json
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, replace
from pathlib import Path

from . import releaseinfo, roots, sandbox, source_archive
from .errors import MachineError, Refused, UsageError

PROGRAM = Path(__file__).resolve().parent
CHECKOUT = PROGRAM.parent.parent
INSIDE = "/release/uptime_release"
# rpmbuild cannot take a path with a space, and CPack fails on a name that is
# not ASCII under the C locale.
PLAIN_PATH = re.compile(r"[A-Za-z0-9._/+,:=@%~-]+")


@dataclass(frozen=True)
class Keys:
    gpg_key: Path = None
    gpg_passphrase: str = ""
    pkcs12: Path = None
    pkcs12_password: str = ""


def plain_path(path, what):
    if not PLAIN_PATH.fullmatch(str(path)):
        raise Refused(f"'{path}' ({what}) has a space or a character other than ASCII letters, digits and "
                      "._/+,:=@%~-; rpmbuild cannot build under a path with a space, nor CPack under one with "
                      "other characters: use a plainer path")


def _git(*args):
    return subprocess.run(["git", "-C", str(CHECKOUT)] + list(args), capture_output=True, text=True,
                          env=source_archive.git_env())


def checkout_info(environ):
    """The commit of this program's own checkout, which must be clean, and its
    time, as a ReleaseInfo."""
    if shutil.which("git") is None:
        raise UsageError(f"git is missing (apt-get install git), and {CHECKOUT} is a git checkout")
    top = _git("rev-parse", "--show-toplevel")
    if top.returncode != 0:
        if "dubious ownership" in top.stderr:
            raise Refused(f"git will not read {CHECKOUT}, which another user owns; allow it with: "
                          f"git config --global --add safe.directory {CHECKOUT}")
        raise Refused(f"{CHECKOUT} is not the top of a git work tree: {top.stderr.strip()}")
    if Path(top.stdout.strip()).resolve() != CHECKOUT:
        raise Refused(f"{CHECKOUT} is not the top of a git work tree")
    changes = _git("status", "--porcelain").stdout
    if changes:
        raise Refused(f"the work tree has uncommitted changes; a release is of a commit:\n{changes.rstrip()}")
    commit = _git("rev-parse", "HEAD").stdout.strip()
    epoch = int(_git("log", "-1", "--format=%ct").stdout.strip())
    revision = int((CHECKOUT / "packaging" / "revision").read_text().strip())
    return releaseinfo.ReleaseInfo(commit, epoch, revision)


def release_info(environ, base):
    """BASE (the checkout's or the archive's) with what the environment sets."""
    info = base
    if "SOURCE_DATE_EPOCH" in environ:
        value = environ["SOURCE_DATE_EPOCH"]
        if not re.fullmatch(releaseinfo.EPOCH, value) or not releaseinfo.epoch_in_range(int(value)):
            raise Refused(f"SOURCE_DATE_EPOCH must be a whole number of seconds from {releaseinfo.EPOCH_FIRST} "
                          "(1980-01-01, zip's first date) to 2524607999 (2049-12-31, the last year a UTCTime "
                          f"signing time holds), not '{value}'")
        info = replace(info, epoch=int(value))
    if environ.get("RELEASE_REVISION"):
        value = environ["RELEASE_REVISION"]
        if not re.fullmatch(releaseinfo.REVISION, value):
            raise Refused(f"RELEASE_REVISION must be a whole number from 1, not '{value}'")
        info = replace(info, revision=int(value))
    for variable, field in (("RELEASE_URL", "release_url"), ("PROJECT_URL", "project_url")):
        if environ.get(variable):
            if not re.fullmatch(releaseinfo.URL, environ[variable]):
                raise Refused(f"{variable} must be one http:// or https:// address, without blanks or quotes, "
                              f"not '{environ[variable]}'")
            info = replace(info, **{field: environ[variable]})
    return info


def keys_from(environ):
    keys = Keys()
    if environ.get("SIGN_GPG_KEY"):
        path = Path(environ["SIGN_GPG_KEY"])
        if not os.access(path, os.R_OK) or not path.is_file():
            raise Refused(f"cannot read SIGN_GPG_KEY: {path}")
        keys = replace(keys, gpg_key=path.resolve(), gpg_passphrase=environ.get("SIGN_GPG_PASSPHRASE", ""))
    if environ.get("SIGN_PKCS12"):
        path = Path(environ["SIGN_PKCS12"])
        if "SIGN_PASSWORD" not in environ:
            raise Refused("SIGN_PKCS12 is set but SIGN_PASSWORD is not (set it empty for none)")
        if not os.access(path, os.R_OK) or not path.is_file():
            raise Refused(f"cannot read SIGN_PKCS12: {path}")
        keys = replace(keys, pkcs12=path.resolve(), pkcs12_password=environ["SIGN_PASSWORD"])
    return keys


def stage_beside(out):
    """A hidden folder for the work: inside OUT when OUT is an existing empty
    folder (so that its mode, group and mount stay), beside it otherwise.
    OUT's group and setgid bit do not reach what is made inside."""
    if os.path.lexists(out):
        if not out.is_dir() or out.is_symlink() or any(out.iterdir()):
            raise Refused(f"{out} exists and is not an empty folder")
        parent, prefix = out, ".partial."
    else:
        out.parent.mkdir(parents=True, exist_ok=True)
        parent, prefix = out.parent, f".{out.name}.partial."
    stage = Path(tempfile.mkdtemp(prefix=prefix, dir=parent))
    os.chown(stage, -1, os.getegid())
    os.chmod(stage, 0o711)
    return stage


class Box:
    """The folder a root's sandbox sees as /build, and the host's view of it."""

    def __init__(self, stage):
        self.path = stage / "box"
        self.logs = stage / "logs"
        # What the steps read and nothing they run may change: the release's
        # record and the roots, bound read-only.
        self.control = stage / "control"
        # The keys, outside the box: bound read-only for the steps that sign
        # alone, never for a build, which runs the sources' own code.
        self.keys = stage / "keys"
        for folder in (self.path, self.logs, self.control, self.keys, self.path / "home", self.path / "work",
                       self.path / "signatures", self.path / "artifacts"):
            folder.mkdir(mode=0o700)
        os.chmod(self.control, 0o755)

    def run(self, root, what, argv, env=None, keys=False):
        """Runs this program's step ARGV in ROOT's sandbox; a failure shows the
        step's own message. With KEYS, the step sees the keys, and its HOME is
        its own /tmp, where nothing a build left (an .rpmmacros) can be."""
        log = self.logs / f"{len(list(self.logs.iterdir())):02d}.log"
        read_only = [(PROGRAM, INSIDE), (self.control, "/release/control")]
        if keys:
            read_only.append((self.keys, "/release/keys"))
            env = dict(env or {}, HOME="/tmp")
        # -I: no user site-packages from HOME, which a build can write, so that
        # nothing a step leaves there runs in the steps after it.
        status = sandbox.run(["python3", "-I", "-B", INSIDE] + argv, self.path, log, root=root.path,
                             read_only=read_only, env=env)
        text = log.read_text(errors="replace")
        if status != 0:
            if re.search(r"No space left on device|Disk quota exceeded", text):
                raise MachineError(f"{what}: no space left in {self.path}")
            lines = [line for line in text.splitlines() if line.strip()]
            message = next((l.removeprefix("release: ") for l in reversed(lines) if l.startswith("release: ")), None)
            if message:
                raise Refused(message + "\n".join(lines[lines.index(f"release: {message}") + 1:][-40:]))
            raise Refused(f"{what} failed:\n" + "\n".join(lines[-40:]))
        return text


def prepare(box, info, keys, made):
    """What the steps read from BOX, written before it is handed to the
    sandbox's user: the release's record, the keys, and the roots."""
    (box.path / "src" / "RELEASE-INFO").write_text(releaseinfo.write(info))
    (box.control / "RELEASE-INFO").write_text(releaseinfo.write(info))
    if keys.gpg_key:
        shutil.copyfile(keys.gpg_key, box.keys / "gpg-key")
        (box.keys / "gpg-passphrase").write_text(keys.gpg_passphrase)
    if keys.pkcs12:
        shutil.copyfile(keys.pkcs12, box.keys / "signing.p12")
        (box.keys / "p12-password").write_text(keys.pkcs12_password)
    prepare_roots(box, made)


def prepare_roots(box, made):
    (box.control / "roots.json").write_text(json.dumps([
        {"name": r.recipe.name, "suite": r.recipe.suite, "architectures": r.recipe.architectures,
         "presets": r.recipe.presets, "packages": r.packages} for r in made]))


def build(box, info, made, signed):
    """Makes every artifact into BOX/artifacts: each root of MADE builds its
    presets, and the first (Debian 13's) writes the release's own files."""
    sandbox.hand_over(box.path)
    sandbox.hand_over(box.keys)
    env = {"SOURCE_DATE_EPOCH": str(info.epoch)}
    box.run(made[0], "checking the keys", ["step", "check-keys"], env, keys=True)
    for root in made:
        print(f"  building {' '.join(root.recipe.presets)} in the {root.recipe.name} root", flush=True)
        box.run(root, f"building in the {root.recipe.name} root", ["step", "build"] + list(root.recipe.presets), env)
    box.run(made[0], "signing the packages", ["step", "sign"], env, keys=True)
    box.run(made[0], "writing the release's files", ["step", "assemble"], env, keys=True)
    sandbox.take_back(box.path)
    for line in signed:
        print(line)


def make(out, environ):
    """scripts/release.sh DIR."""
    out = Path(os.path.abspath(out))
    if environ.get("RELEASE_SOURCE"):
        source = Path(environ["RELEASE_SOURCE"]).resolve()
        if not (source / "RELEASE-INFO").is_file():
            raise Refused(f"RELEASE_SOURCE ({source}) is not an unpacked source archive: it has no RELEASE-INFO")
        base = releaseinfo.read((source / "RELEASE-INFO").read_bytes(), source / "RELEASE-INFO")
    elif (CHECKOUT / ".git").exists():
        source, base = None, checkout_info(environ)
    elif (CHECKOUT / "RELEASE-INFO").is_file():
        source = CHECKOUT
        base = releaseinfo.read((CHECKOUT / "RELEASE-INFO").read_bytes(), CHECKOUT / "RELEASE-INFO")
    else:
        raise Refused(f"{CHECKOUT} is neither a git checkout nor an unpacked source archive (no RELEASE-INFO)")
    plain_path(source or CHECKOUT, "the source folder")
    plain_path(out, "DIR")
    info = release_info(environ, base)
    keys = keys_from(environ)
    for tool in ("mmdebstrap", "bwrap", "setpriv", "unshare"):
        if shutil.which(tool) is None:
            raise UsageError(f"{tool} is missing (bash scripts/setup.sh release installs what a release needs)")
    stage = stage_beside(out)
    try:
        print(f"Releasing {info.commit} (SOURCE_DATE_EPOCH={info.epoch})", flush=True)
        box = Box(stage)
        if source is None:
            (box.path / "src").mkdir()
            source_archive.export(CHECKOUT, info.commit, box.path / "src")
        else:
            _copy_without_builds(source, box.path / "src", stage)
        made = [roots.for_release(recipe, stage / "logs") for recipe in roots.RECIPES]
        prepare(box, info, keys, made)
        unsigned = []
        if not keys.pkcs12:
            unsigned.append("  the uptime-report.exe files are unsigned: set SIGN_PKCS12 and SIGN_PASSWORD to sign them")
        if not keys.gpg_key:
            unsigned.append("  SHA256SUMS is unsigned: set SIGN_GPG_KEY to sign it")
        build(box, info, made, unsigned)
        publish_folder(box.path / "artifacts", out)
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    print(f"Made in {out}:")
    for name in sorted(os.listdir(out), key=str.encode):
        print(f"  {(out / name).stat().st_size:9d}  {name}")


def _copy_without_builds(source, copy, stage):
    """An unpacked archive's files, less what a build or a release put beside
    them (build/, RELEASE-INFO, the release's own folder)."""
    skipped = {source / "build", source / "RELEASE-INFO", stage.parent.resolve(), stage.resolve()}
    shutil.copytree(source, copy, symlinks=True,
                    ignore=lambda folder, names: [n for n in names if (Path(folder) / n).resolve() in skipped
                                                  or Path(folder) / n in skipped])


def publish_folder(artifacts, out):
    """Moves the artifacts into OUT, the caller's, with plain modes. The folder
    was the sandbox's: anything in it but plain files (a link to a file of this
    machine, which chown and chmod would follow) is refused."""
    try:
        folder = sandbox.open_made(artifacts, directory=True)
    except sandbox.Planted as planted:
        raise Refused(f"the build left no folder of artifacts: {planted}")
    try:
        names = sorted(os.listdir(folder))
        for name in names:
            try:
                fd = sandbox.open_made(name, folder)
            except sandbox.Planted as planted:
                raise Refused(f"the build left something other than a plain file among the artifacts: {planted}")
            try:
                os.fchown(fd, os.geteuid(), os.getegid())
                os.fchmod(fd, 0o644)
            finally:
                os.close(fd)
        if out.is_dir():
            for name in names:
                os.rename(name, out / name, src_dir_fd=folder)
        else:
            os.fchown(folder, os.geteuid(), os.getegid())
            os.fchmod(folder, 0o755)
            artifacts.rename(out)
    finally:
        os.close(folder)

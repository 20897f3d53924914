"""The work that a release and its verification share, driven from this
machine: the sources built in each root's sandbox, the artifacts taken out
of it, then signed (or given their published signatures) and joined by the
release's own files in a folder of their own.

The build runs the sources' own code; nothing it writes reaches a step that
sees a key but artifact bytes, copied out by this program as plain files,
never through a link. Every value the later steps use (the version, what
each artifact contains, the roots) is read here, once, and handed to them
read-only; the keys reach the steps that sign on their standard input and
are never written where the sandbox's user could read them."""

import base64
import json
import os
import re
import shutil
import stat
from dataclasses import dataclass
from pathlib import Path

from . import releaseinfo, runner, sandbox, sums
from .errors import Refused, UsageError

PROGRAM = Path(__file__).resolve().parent
# The project's own checkout (or unpacked source archive) this program is in.
CHECKOUT = PROGRAM.parent.parent
# Where the steps find the program and what they read: a copy made for the
# run, so that nothing changes under them.
INSIDE = "/release/uptime_release"
CONTROL = "/release/control"
NAME = "uptime-report"
ARTIFACT = re.compile(
    rf"{NAME}([_-])([0-9]+\.[0-9]+)(-[1-9][0-9]*)?[_.-][A-Za-z0-9_.+-]+\.(deb|rpm|tar\.gz|zip|pkg\.tar\.zst|tar|json)"
)
COMPONENT_FIELDS = {"name", "version", "license", "package", "source", "files"}


@dataclass(frozen=True)
class Keys:
    """The signing keys, read once from the files the caller named."""

    gpg_key: bytes = None
    gpg_passphrase: str = ""
    pkcs12: bytes = None
    pkcs12_password: str = ""

    def message(self):
        """What a signing step reads on its standard input."""
        return json.dumps(
            {
                "gpg_key": base64.b64encode(self.gpg_key).decode() if self.gpg_key else None,
                "gpg_passphrase": self.gpg_passphrase,
                "pkcs12": base64.b64encode(self.pkcs12).decode() if self.pkcs12 else None,
                "pkcs12_password": self.pkcs12_password,
            }
        ).encode()


class Box:
    """A folder a sandbox sees as /build: sources, work, home and what it
    makes. Made by this program, then handed to the sandbox's user."""

    def __init__(self, stage, name):
        self.path = stage / name
        for folder in ("", "home", "work", "artifacts", "signatures"):
            (self.path / folder).mkdir(mode=0o700)

    def open(self):
        sandbox.hand_over(self.path)

    def close(self):
        sandbox.take_back(self.path)


class Stage:
    """A release's work folder: logs, the control folder the steps read
    (the program's copy and the release's record) and the boxes."""

    def __init__(self, path):
        self.path = path
        path.mkdir(mode=0o711, exist_ok=True)
        self.logs = path / "logs"
        self.control = path / "control"
        self.logs.mkdir(mode=0o700)
        self.control.mkdir(mode=0o755)
        shutil.copytree(PROGRAM, self.control / "uptime_release", ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))

    def record(self, name, text):
        (self.control / name).write_text(text)

    def run(self, box, root, what, argv, env=None, stdin=b""):
        """Runs this program's step ARGV in ROOT's sandbox on BOX; a failure
        shows the step's own message."""
        log = self.logs / f"{len(list(self.logs.iterdir())):02d}.log"
        read_only = [(self.control / "uptime_release", INSIDE), (self.control, CONTROL)]
        try:
            # -I: no user site-packages from HOME, which a build can write.
            sandbox.run(
                ["python3", "-I", "-B", INSIDE] + argv,
                box.path,
                log,
                what,
                root=root.path,
                read_only=read_only,
                env=env,
                stdin=stdin,
                check=True,
            )
        except runner.Failed as failed:
            message = next(
                (l.removeprefix("release: ") for l in reversed(failed.tail) if l.startswith("release: ")), None
            )
            if message:
                after = failed.tail[failed.tail.index(f"release: {message}") + 1 :]
                raise Refused("\n".join([message] + after)) from None
            raise Refused(f"{what} failed:\n" + "\n".join(failed.tail)) from None


def _control_roots(made):
    return [
        {
            "name": r.recipe.name,
            "suite": r.recipe.suite,
            "architectures": r.recipe.architectures,
            "presets": r.recipe.presets,
            "packages": r.packages,
        }
        for r in made
    ]


def _take_artifacts(box, target):
    """Copies what the build left in BOX's artifacts folder into TARGET:
    plain files whose names are artifacts', opened without following a link.
    Returns (version, {artifact: components})."""
    try:
        folder = sandbox.open_made(box.path / "artifacts", directory=True)
    except sandbox.Planted as planted:
        raise Refused(f"the build left no folder of artifacts: {planted}")
    versions, components = set(), {}
    try:
        for name in sorted(os.listdir(folder)):
            if name == "components":
                continue
            match = ARTIFACT.fullmatch(name)
            if not match or not sums.FILE_NAME.fullmatch(name):
                raise Refused(f"the build left {name!r} among the artifacts, which is no artifact's name")
            versions.add(match[2])
            _copy_made(name, folder, target / name)
            components[name] = _components(folder, name)
    finally:
        os.close(folder)
    if len(versions) != 1:
        raise Refused(f"the artifacts name {len(versions)} versions ({', '.join(sorted(versions))}), not one")
    return versions.pop(), components


def _copy_made(name, folder, target, limit=runner.FILE_SIZE):
    """Copies the plain file NAME of the open folder FOLDER to TARGET, within
    LIMIT bytes (a sparse file of a terabyte takes no room until copied)."""
    try:
        fd = sandbox.open_made(name, folder)
    except sandbox.Planted as planted:
        raise Refused(f"the build left something other than a plain file among the artifacts: {planted}")
    with os.fdopen(fd, "rb") as source:
        if os.fstat(fd).st_size > limit:
            raise Refused(f"the build left {name} of more than {limit >> 20} MiB")
        with open(target, "wb") as copy:
            shutil.copyfileobj(source, copy)


def _components(folder, name):
    """What the build says artifact NAME contains, checked to be the list of
    records the notices step writes."""
    try:
        inner = sandbox.open_made("components", folder, directory=True)
    except sandbox.Planted as planted:
        raise Refused(f"the build left no list of what the artifacts contain: {planted}")
    try:
        with os.fdopen(sandbox.open_made(f"{name}.json", inner), "rb") as f:
            data = f.read(1 << 20)
        listed = json.loads(data)
    except (sandbox.Planted, ValueError, UnicodeDecodeError) as error:
        raise Refused(f"the build's list of what {name} contains is not one: {error}")
    finally:
        os.close(inner)
    if not isinstance(listed, list) or not all(
        isinstance(c, dict)
        and set(c) == COMPONENT_FIELDS
        and all(isinstance(v, str) for k, v in c.items() if k != "files")
        and isinstance(c["files"], list)
        and all(isinstance(f, str) for f in c["files"])
        for c in listed
    ):
        raise Refused(f"the build's list of what {name} contains is not a list of linked components")
    return listed


def make_artifacts(stage, info, made, fill_source, keys=None, signatures=None):
    """Every artifact of the release INFO, built in the roots MADE from the
    sources that FILL_SOURCE(box) puts in a box's src folder, then signed
    with KEYS (or given SIGNATURES, {file name: bytes}) in a box of their
    own. Returns the folder of artifacts, this program's."""
    stage.record("RELEASE-INFO", releaseinfo.write(info))
    stage.record("roots.json", json.dumps(_control_roots(made)))
    env = {"SOURCE_DATE_EPOCH": str(info.epoch)}
    keys_message = keys.message() if keys else b""
    if keys and (keys.gpg_key or keys.pkcs12):
        checking = Box(stage.path, "keys")
        checking.open()
        stage.run(checking, made[0], "checking the keys", ["step", "check-keys"], env, keys_message)
        checking.close()
    build = Box(stage.path, "build")
    fill_source(build)
    build.open()
    for root in made:
        print(f"  building {' '.join(root.recipe.presets)} in the {root.recipe.name} root", flush=True)
        stage.run(
            build, root, f"building in the {root.recipe.name} root", ["step", "build"] + list(root.recipe.presets), env
        )
    stage.run(build, made[0], "making the OCI image", ["step", "image"], env)
    build.close()
    finish = Box(stage.path, "finish")
    version, components = _take_artifacts(build, finish.path / "artifacts")
    sandbox.remove(build.path)
    for name, data in (signatures or {}).items():
        (finish.path / "signatures" / f"{name}.sig").write_bytes(data)
    stage.record("release.json", json.dumps({"version": version, "components": components}))
    fill_source(finish)
    finish.open()
    stage.run(finish, made[0], "signing and writing the release's files", ["step", "finish"], env, keys_message)
    finish.close()
    return finish.path / "artifacts"


def copy_tree(source, target, skipped=()):
    """Copies the source tree SOURCE into TARGET: folders, plain files and
    symbolic links that stay inside it, nothing else (a device node would
    have its disk copied in), less SKIPPED (absolute paths). Every folder is
    opened without following a link and everything in it is read through
    that descriptor: whoever can write to SOURCE cannot swap a folder for a
    link to one of this machine's while it is copied."""
    source = Path(source)
    real_source = Path(os.path.realpath(source))
    for folder, folders, files, fd in os.fwalk(source, follow_symlinks=False):
        folder = Path(folder)
        into = Path(target) / folder.relative_to(source)
        into.mkdir(parents=True, exist_ok=True)
        for name in sorted(folders + files):
            path = folder / name
            if path in skipped:
                if name in folders:
                    folders.remove(name)
                continue
            info = os.stat(name, dir_fd=fd, follow_symlinks=False)
            if stat.S_ISLNK(info.st_mode):
                link = os.readlink(name, dir_fd=fd)
                resolved = Path(os.path.normpath(folder / link))
                # Also as the links on its way lead: "a/u/../.." stays inside
                # as written, but not where a/u is a link to "..".
                really = Path(os.path.realpath(path))
                if os.path.isabs(link) or source not in resolved.parents or real_source not in really.parents:
                    raise UsageError(
                        f"{path} is a symbolic link leading out of {source} ({link}); the sources "
                        "hold files, folders and links inside them only"
                    )
                os.symlink(link, into / name)
            elif stat.S_ISREG(info.st_mode):
                readable = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=fd)
                with os.fdopen(readable, "rb") as f:
                    if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                        raise UsageError(f"{path} changed while it was copied")
                    with open(into / name, "wb") as copy:
                        shutil.copyfileobj(f, copy)
                os.chmod(into / name, 0o755 if info.st_mode & 0o111 else 0o644)
            elif not stat.S_ISDIR(info.st_mode):
                raise UsageError(
                    f"{path} is a device, fifo or socket; the sources hold files, folders and links inside them only"
                )


def read_keys(environ):
    """The signing keys the environment names, read once."""
    keys = Keys()

    def read(variable):
        path = Path(environ[variable])
        try:
            with open(path, "rb") as f:
                if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                    raise Refused(f"{variable} is not a file: {path}")
                return f.read(1 << 20)
        except OSError as error:
            raise Refused(f"cannot read {variable}: {path} ({error.strerror})")

    if environ.get("SIGN_GPG_KEY"):
        keys = Keys(read("SIGN_GPG_KEY"), environ.get("SIGN_GPG_PASSPHRASE", ""))
    if environ.get("SIGN_PKCS12"):
        if "SIGN_PASSWORD" not in environ:
            raise Refused("SIGN_PKCS12 is set but SIGN_PASSWORD is not (set it empty for none)")
        keys = Keys(keys.gpg_key, keys.gpg_passphrase, read("SIGN_PKCS12"), environ["SIGN_PASSWORD"])
    return keys

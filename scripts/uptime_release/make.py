"""Making a release: every artifact built inside the roots made for it, from
a clean copy of one commit's sources, byte for byte the same wherever,
whenever and by whomever it is made (pipeline.py, which the verifier's
rebuild shares)."""

import os
import re
import shutil
import stat
from dataclasses import replace
from pathlib import Path

from . import pipeline, releaseinfo, roots, runner, sandbox, source_archive, tools
from .errors import Refused

CHECKOUT = pipeline.CHECKOUT
# rpmbuild cannot take a path with a space, and CPack fails on a name that is
# not ASCII under the C locale.
PLAIN_PATH = re.compile(r"[A-Za-z0-9._/+,:=@%~-]+")


def plain_path(path, what):
    if not PLAIN_PATH.fullmatch(str(path)):
        raise Refused(
            f"'{path}' ({what}) has a space or a character other than ASCII letters, digits and "
            "._/+,:=@%~-; rpmbuild cannot build under a path with a space, nor CPack under one with "
            "other characters: use a plainer path"
        )


def _git(*args):
    return (
        runner.output(["git", "-C", str(CHECKOUT)] + list(args), f"git {args[0]}", env=source_archive.git_env())
        .decode()
        .strip()
    )


def checkout_info():
    """The commit of this program's own checkout, which must be clean, and its
    time, as a ReleaseInfo."""
    tools.require("checkout")
    try:
        top = _git("rev-parse", "--show-toplevel")
    except runner.Failed as failed:
        if any("dubious ownership" in line for line in failed.tail):
            raise Refused(
                f"git will not read {CHECKOUT}, which another user owns; allow it with: "
                f"git config --global --add safe.directory {CHECKOUT}"
            ) from None
        raise Refused(f"{CHECKOUT} is not the top of a git work tree: {' '.join(failed.tail)}") from None
    if Path(top).resolve() != CHECKOUT:
        raise Refused(f"{CHECKOUT} is not the top of a git work tree")
    changes = _git("status", "--porcelain")
    if changes:
        raise Refused(f"the work tree has uncommitted changes; a release is of a commit:\n{changes}")
    commit = _git("rev-parse", "HEAD")
    epoch = int(_git("log", "-1", "--format=%ct"))
    return releaseinfo.ReleaseInfo(commit, epoch, _revision(CHECKOUT / "packaging" / "revision"))


def _read_plain(path, limit):
    """A file of the sources, read only as a plain file, never through a link
    (which would have this program read, and show in an error, any file it
    can read: a key) nor from a fifo."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as error:
        raise Refused(f"{path} cannot be read as a plain file ({error.strerror})") from None
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Refused(f"{path} is not a plain file")
        return f.read(limit)


def _revision(path):
    """The package revision packaging/revision holds; what else it holds is
    never shown."""
    text = _read_plain(path, 64)
    if not re.fullmatch(rb"[1-9][0-9]{0,3}\n?", text):
        raise Refused(f"{path} does not hold the package revision, a whole number from 1")
    return int(text)


def _write_release_info(sources, info):
    """SOURCES/RELEASE-INFO, made anew, never through what the commit put
    there: a link of that name would have this program write wherever it
    leads."""
    try:
        fd = os.open(sources / "RELEASE-INFO", os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
    except FileExistsError:
        raise Refused("the commit holds RELEASE-INFO, which is the release's own file: remove it") from None
    with os.fdopen(fd, "w") as f:
        f.write(releaseinfo.write(info))


def release_info(environ, base):
    """BASE (the checkout's or the archive's) with what the environment sets."""
    info = base
    if "SOURCE_DATE_EPOCH" in environ:
        value = environ["SOURCE_DATE_EPOCH"]
        if not re.fullmatch(releaseinfo.EPOCH, value) or not releaseinfo.epoch_in_range(int(value)):
            raise Refused(
                f"SOURCE_DATE_EPOCH must be a whole number of seconds from {releaseinfo.EPOCH_FIRST} "
                "(1980-01-01, zip's first date) to 2524607999 (2049-12-31, the last year a UTCTime "
                f"signing time holds), not '{value}'"
            )
        info = replace(info, epoch=int(value))
    if environ.get("RELEASE_REVISION"):
        value = environ["RELEASE_REVISION"]
        if not re.fullmatch(releaseinfo.REVISION, value):
            raise Refused(f"RELEASE_REVISION must be a whole number from 1, not '{value}'")
        info = replace(info, revision=int(value))
    for variable, field in (("RELEASE_URL", "release_url"), ("PROJECT_URL", "project_url")):
        if environ.get(variable):
            if not re.fullmatch(releaseinfo.URL, environ[variable]):
                raise Refused(
                    f"{variable} must be one http:// or https:// address, without blanks or quotes, "
                    f"not '{environ[variable]}'"
                )
            info = replace(info, **{field: environ[variable]})
    return info


def check_out(out):
    """Refuses a DIR that exists and is not an empty folder, before anything
    is made."""
    if os.path.lexists(out) and (not out.is_dir() or out.is_symlink() or any(out.iterdir())):
        raise Refused(f"{out} exists and is not an empty folder")


def make(out, environ):
    """scripts/release.sh DIR."""
    out = Path(os.path.abspath(out))
    if environ.get("RELEASE_SOURCE"):
        source = Path(environ["RELEASE_SOURCE"]).resolve()
        if not os.path.lexists(source / "RELEASE-INFO"):
            raise Refused(f"RELEASE_SOURCE ({source}) is not an unpacked source archive: it has no RELEASE-INFO")
        base = releaseinfo.read(_read_plain(source / "RELEASE-INFO", 4097), source / "RELEASE-INFO")
    elif (CHECKOUT / ".git").exists():
        source, base = None, checkout_info()
    elif (CHECKOUT / "RELEASE-INFO").is_file():
        source = CHECKOUT
        base = releaseinfo.read(_read_plain(CHECKOUT / "RELEASE-INFO", 4097), CHECKOUT / "RELEASE-INFO")
    else:
        raise Refused(f"{CHECKOUT} is neither a git checkout nor an unpacked source archive (no RELEASE-INFO)")
    plain_path(source or CHECKOUT, "the source folder")
    plain_path(out, "DIR")
    info = release_info(environ, base)
    keys = pipeline.read_keys(environ)
    tools.require("make")
    check_out(out)
    # The work goes on in a folder of this program's own in TMPDIR: DIR and
    # the folder it is in may be another user's, who could otherwise swap a
    # step's program or log for their own.
    stage_path = sandbox.work_folder("release.", {out: "DIR"})
    try:
        print(f"Releasing {info.commit} (SOURCE_DATE_EPOCH={info.epoch})", flush=True)
        runner.check_machine("a release", sandbox.sandbox_user())
        stage = pipeline.Stage(stage_path)
        pristine = stage_path / "source"
        if source is None:
            pristine.mkdir()
            source_archive.export(CHECKOUT, info.commit, pristine)
        else:
            pipeline.copy_tree(source, pristine, _builds_beside(source, out, stage_path))
        _write_release_info(pristine, info)
        made = [roots.for_release(recipe, stage.logs) for recipe in roots.RECIPES]
        artifacts = pipeline.make_artifacts(
            stage, info, made, lambda box: pipeline.copy_tree(pristine, box.path / "src"), keys
        )
        if not keys.pkcs12:
            print("  the uptime-report.exe files are unsigned: set SIGN_PKCS12 and SIGN_PASSWORD to sign them")
        if not keys.gpg_key:
            print("  SHA256SUMS is unsigned: set SIGN_GPG_KEY to sign it")
        if not info.release_url:
            print("  made no winget or Scoop manifests: set RELEASE_URL to where the files will be published")
        publish_folder(artifacts, out)
    finally:
        sandbox.remove(stage_path)
    print(f"Made in {out}:")
    for name in sorted(os.listdir(out), key=str.encode):
        print(f"  {(out / name).stat().st_size:9d}  {name}")


def _builds_beside(source, out, stage):
    """What a build or a release put beside an unpacked archive's files:
    build/, RELEASE-INFO, the release's own folders."""
    return {source / "build", source / "RELEASE-INFO", out, stage}


def publish_folder(artifacts, out):
    """Copies the artifacts into OUT with plain modes, the caller's: into a
    hidden folder of this program's own, made inside OUT (when it is an
    existing empty folder, so that its mode, group and mount stay) or beside
    it, then moved in. Every file is written through descriptors opened once
    without following a link: whoever can write to OUT or the folder it is
    in cannot make this program write anywhere else. The artifacts folder
    was the sandbox's: anything in it but plain files is refused."""
    try:
        made = sandbox.open_made(artifacts, directory=True)
    except sandbox.Planted as planted:
        raise Refused(f"the build left no folder of artifacts: {planted}")
    out.parent.mkdir(parents=True, exist_ok=True)
    parent = os.open(out.parent, os.O_RDONLY | os.O_DIRECTORY)
    target = partial = holder = name = None
    try:
        try:
            target = os.open(out.name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=parent)
        except FileNotFoundError:
            pass
        if target is not None and os.listdir(target):
            raise Refused(f"{out} is no longer an empty folder")
        holder = parent if target is None else target
        name = f".{out.name}.partial.{os.urandom(6).hex()}"
        os.mkdir(name, 0o700, dir_fd=holder)
        partial = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=holder)
        names = sorted(os.listdir(made))
        for artifact in names:
            try:
                source = sandbox.open_made(artifact, made)
            except sandbox.Planted as planted:
                raise Refused(f"the build left something other than a plain file among the artifacts: {planted}")
            copy = os.open(artifact, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644, dir_fd=partial)
            with os.fdopen(source, "rb") as reading, os.fdopen(copy, "wb") as writing:
                shutil.copyfileobj(reading, writing)
                os.fchmod(writing.fileno(), 0o644)
        if target is None:
            os.fchmod(partial, 0o755)
            os.rename(name, out.name, src_dir_fd=parent, dst_dir_fd=parent)
        else:
            for artifact in names:
                os.rename(artifact, artifact, src_dir_fd=partial, dst_dir_fd=target)
            os.rmdir(name, dir_fd=target)
        name = None
    finally:
        if name is not None and partial is not None:
            shutil.rmtree(name, dir_fd=holder, ignore_errors=True)
        for fd in (made, parent, target, partial):
            if fd is not None:
                os.close(fd)

"""Verifying a release: its sums against KEY, its source against the commit,
and a rebuild, in the roots its BUILDINFO names, compared byte for byte.

Every file of the download is read once, into a folder of the verifier's
own, and every check, the rebuild and the comparison use those copies: DIR
may change while it is checked. Nothing from the download is parsed outside
a sandbox but by this program's own bounded readers; every tool that reads
it (sqv, gpg, osslsigncode, tar, diffoscope) runs inside one."""

import os
import re
import shutil
import stat
import traceback
from pathlib import Path

from . import (
    authenticode,
    buildinfo,
    openpgp,
    pipeline,
    roots,
    rpmfile,
    runner,
    sandbox,
    source_archive,
    spdx,
    sums,
    tools,
    zipfiles,
)
from . import errors
from .errors import FormatError, MachineError, Refused, UsageError

# The lines of osslsigncode's report that say what failed.
OSSLSIGNCODE_VERDICT = re.compile(r"(?i)\berror\b|\bfailed\b|verification|mismatch")
# A release is a few megabytes in some 40 files.
FILE_LIMIT, DOWNLOAD_LIMIT, FILES_LIMIT = 256 << 20, 1 << 30, 1000
# What a rebuild needs in TMPDIR at the least: its sources, fourteen build
# trees and the artifacts come to about 300 MB.
SPACE_NEEDED, INODES_NEEDED = 1 << 30, 20000


class Done(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


def _shown(text):
    """TEXT as a line of the report, with names from the download in it (a
    file in DIR, a member of an archive): every character that is not
    printable escaped, and every further line indented, so that no name can
    start a line of its own ("VERIFIED: ...") or move the cursor."""
    text = "".join(c if c == "\n" or c.isprintable() else f"\\x{ord(c):02x}" for c in text)
    first, *rest = text.split("\n")
    return "\n".join([first] + [line if line.startswith("        ") else f"        {line}" for line in rest])


class Report:
    """The lines of the verdict, and what it rests on."""

    def __init__(self, allow_incomplete):
        self.failures, self.missing, self.allow_incomplete = 0, [], allow_incomplete
        self.commit = None
        # What vouches for the source (a good signature by KEY, the commit
        # in this checkout), and whether every artifact was rebuilt.
        self.signed = self.matched = self.rebuilt = False

    def ok(self, text):
        print(f"  ok    {_shown(text)}", flush=True)

    def note(self, text):
        print(f"  note  {_shown(text)}", flush=True)

    def fail(self, text):
        print(f"  FAIL  {_shown(text)}", flush=True)
        self.failures += 1

    def incomplete(self, what, note):
        self.note(note)
        self.missing.append(what)

    def stop_if_failed(self):
        if self.failures:
            self.finish()

    def finish(self):
        if self.failures:
            print(f"NOT VERIFIED: {self.failures} check(s) failed")
            raise Done(errors.FAILED)
        if self.missing:
            print("INCOMPLETE: nothing failed, but not established: " + _shown("; ".join(self.missing)))
            raise Done(errors.VERIFIED if self.allow_incomplete and self.rebuilt else errors.INCOMPLETE)
        print(
            f"VERIFIED: SHA256SUMS is signed by KEY, the source archive is commit {self.commit}'s, "
            "and every artifact is rebuilt identical"
        )
        raise Done(errors.VERIFIED)


def _open_plain(path):
    """A file of the download, opened only if it is a plain file: a fifo
    would block, a link lead elsewhere (/dev/zero)."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise FormatError(path.name, 0, "is not a plain file")
    return os.fdopen(fd, "rb")


def _read(path, limit=FILE_LIMIT):
    with _open_plain(path) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise FormatError(path.name, 0, f"is larger than {limit >> 20} MiB, more than any release file")
    return data


def _first_difference(x, y):
    """Where two open files first differ, None where they do not."""
    offset = 0
    while True:
        one, two = x.read(1 << 20), y.read(1 << 20)
        if one != two:
            at = next((i for i, (p, q) in enumerate(zip(one, two)) if p != q), min(len(one), len(two)))
            return offset + at
        if not one:
            return None
        offset += len(one)


def _check_space(folder):
    usage = os.statvfs(folder)
    free, inodes = usage.f_bavail * usage.f_frsize, usage.f_favail
    if free < SPACE_NEEDED or inodes < INODES_NEEDED:
        raise MachineError(
            f"{folder} has {free >> 20} MiB and {inodes} inodes free; a rebuild needs "
            f"{SPACE_NEEDED >> 20} MiB and {INODES_NEEDED} (set TMPDIR to a larger file system)"
        )


def _take_download(dir_, copies):
    """Copies every plain file of DIR into COPIES, once, opened without
    following a link and within the bounds of a release: {name: whether it
    is a plain file}."""
    copies.mkdir(mode=0o700)
    folder = os.open(dir_, os.O_RDONLY | os.O_DIRECTORY)
    names, total = {}, 0
    try:
        for name in os.listdir(folder):
            if len(names) >= FILES_LIMIT:
                raise FormatError(str(dir_), 0, f"holds more than {FILES_LIMIT} files, far more than a release")
            try:
                fd = sandbox.open_made(name, folder)
            except sandbox.Planted:
                names[name] = False
                continue
            with os.fdopen(fd, "rb") as source, open(copies / name, "wb") as copy:
                while piece := source.read(1 << 20):
                    copy.write(piece)
                    total += len(piece)
                    if copy.tell() > FILE_LIMIT or total > DOWNLOAD_LIMIT:
                        raise FormatError(
                            name,
                            0,
                            f"is larger than {FILE_LIMIT >> 20} MiB, or the release than "
                            f"{DOWNLOAD_LIMIT >> 20} MiB, more than any release",
                        )
            names[name] = True
    finally:
        os.close(folder)
    print(f"  read the {sum(names.values())} files of {dir_} once; every check reads these copies", flush=True)
    return names


def _checksums(dir_, names, report, key, check):
    print("Checksums", flush=True)
    if not names.get("SHA256SUMS"):
        report.fail("no SHA256SUMS in DIR, or not a plain file")
        report.finish()
    data = _read(dir_ / "SHA256SUMS", sums.LIMIT)
    if key is None:
        report.incomplete(
            "SHA256SUMS's signature (no KEY given)",
            "no KEY given: SHA256SUMS is not "
            "authenticated (it proves nothing against whoever could replace the files)",
        )
    elif not names.get("SHA256SUMS.asc"):
        report.fail("no SHA256SUMS.asc (as a plain file): the checksums carry no signature")
    else:
        (check / "SHA256SUMS").write_bytes(data)
        (check / "SHA256SUMS.asc").write_bytes(_read(dir_ / "SHA256SUMS.asc", 1 << 20))
        verdict = openpgp.verify(check, key, "key", "SHA256SUMS.asc", "SHA256SUMS", "SHA256SUMS.asc")
        for problem in verdict.problems:
            report.fail(problem)
        if verdict.good:
            report.signed = True
            report.ok(f"SHA256SUMS is signed by {verdict.good}")
            for other in verdict.others:
                report.note(f"SHA256SUMS.asc also holds {other}; it was not checked")
    # Read only once its signature holds: a bad signature stops it here.
    report.stop_if_failed()
    listed = sums.read(data, "SHA256SUMS")
    for name, plain in sorted(names.items()):
        # A name may hold a newline, which _shown() keeps: escaped here, it stays one line.
        shown = name.encode("unicode_escape").decode("ascii")
        if not plain:
            report.fail(f"{shown} is not a plain file")
        elif name not in listed and name not in ("SHA256SUMS", "SHA256SUMS.asc"):
            report.fail(f"{shown} is not in SHA256SUMS")
    for name in listed:
        if name not in names:
            report.fail(f"{name} is in SHA256SUMS but not in DIR")
    report.stop_if_failed()
    wrong = [name for name, digest in listed.items() if sums.sha256(dir_ / name) != digest]
    if wrong:
        report.fail("files do not match SHA256SUMS: " + ", ".join(wrong))
    else:
        report.ok("every file listed matches SHA256SUMS")
    # Nothing else can be trusted without authentic checksums.
    report.stop_if_failed()
    return listed


def _source(dir_, listed, info, report):
    print("Source", flush=True)
    # Signatures that fail end it here: nothing else they vouch for counts.
    report.stop_if_failed()
    archive = f"uptime-report-{info.version}-source.tar.gz"
    document = f"uptime-report-{info.version}.spdx.json"
    if archive not in listed or document not in listed:
        report.fail(f"the release lacks {archive} or {document}")
        report.finish()
    top = f"uptime-report-{info.version}"
    release = source_archive.read_release_info(dir_ / archive, top)
    named = {
        "the source archive's RELEASE-INFO": release.commit,
        "BUILDINFO": info.commit,
        "the SPDX document": spdx.read_commit(_read(dir_ / document, spdx.LIMIT), document),
    }
    if len(set(named.values())) != 1:
        report.fail(
            "the release names more than one commit: "
            + "; ".join(f"{where} names {commit}" for where, commit in named.items())
        )
        report.finish()
    if release.epoch != info.epoch or (release.revision == 1) != ("-" not in info.version):
        report.fail("RELEASE-INFO and BUILDINFO give other times or revisions")
        report.finish()
    report.commit = info.commit
    report.ok(f"RELEASE-INFO, BUILDINFO and the SPDX document name commit {info.commit}")
    try:
        runner.output(
            ["git", "-C", str(pipeline.CHECKOUT), "cat-file", "-e", f"{info.commit}^{{commit}}"],
            "git cat-file",
            env=source_archive.git_env(),
        )
        known = True
    except runner.Failed:
        known = False
    if known:
        differences = source_archive.differences(dir_ / archive, top, pipeline.CHECKOUT, info.commit)
        if differences:
            report.fail(
                f"{archive} is not commit {info.commit}'s source:\n"
                + "\n".join(f"        {line}" for line in differences)
            )
            # A source archive that is not the commit's is not rebuilt.
            report.finish()
        report.matched = True
        report.ok(f"{archive} holds exactly commit {info.commit}'s files")
    else:
        report.incomplete(
            f"that the source archive is commit {info.commit}'s (the commit is not in {pipeline.CHECKOUT})",
            f"the source was not checked against the repository: commit "
            f"{info.commit} is not in {pipeline.CHECKOUT}",
        )
    return archive, release


def _roots(info, report, logs):
    made = []
    for recorded in info.roots:
        recipe = next((s for s in roots.RECIPES if s.name == recorded.name), None)
        if recipe is None or (recipe.suite, recipe.architectures, recipe.presets) != (
            recorded.suite,
            recorded.architectures,
            recorded.presets,
        ):
            report.fail(
                f"BUILDINFO's {recorded.name} root ({recorded.suite}: {' '.join(recorded.presets)}) is "
                "not one this checkout builds in; check out the release's commit to verify it"
            )
            report.finish()
        try:
            made.append(roots.exactly(recipe, recorded.packages, logs))
        except roots.Unavailable as missing:
            report.incomplete(
                f"the rebuild (the archive does not hold {len(missing.packages)} of the {recipe.name} root's "
                "packages; give UPTIME_REPORT_MIRROR an archive that has them, such as "
                "http://snapshot.debian.org/archive/debian/<time of the release>)",
                f"{missing}",
            )
            report.finish()
        except roots.Unneeded as unneeded:
            report.fail(str(unneeded))
            report.finish()
        except roots.Resolved as resolved:
            report.incomplete(
                f"the rebuild (the {recipe.name} root is not known: {resolved}; give UPTIME_REPORT_MIRROR the "
                "archive of the release's time, such as http://snapshot.debian.org/archive/debian/<time>)",
                f"{resolved}",
            )
            report.finish()
        except roots.Inconsistent as inconsistent:
            report.fail(f"{inconsistent} (a root was never made from that list)")
            report.finish()
    if [r.recipe.name for r in made] != [s.name for s in roots.RECIPES]:
        report.fail("BUILDINFO does not name the roots this checkout builds in")
        report.finish()
    report.ok(
        "the roots hold exactly the packages BUILDINFO lists: "
        + ", ".join(f"{r.recipe.name} ({len(r.packages)})" for r in made)
    )
    return made


def _rpm_signatures(dir_, listed, key, signatures, check, report):
    """Each .rpm's signature over its header, checked by sqv, and its
    signature header kept for the rebuild to take over."""
    for name in listed:
        if not name.endswith(".rpm"):
            continue
        data = _read(dir_ / name, rpmfile.SIZE_LIMIT)
        signatures[name] = rpmfile.signature_header(data, name)
        if key is None:
            report.note(f"{name}: its signature was not checked (no KEY given)")
            continue
        signature, signed = rpmfile.header_signature(data, name)
        if signature is None:
            report.fail(f"{name} carries no OpenPGP signature")
            continue
        (check / "rpm.sig").write_bytes(signature)
        (check / "rpm.header").write_bytes(signed)
        verdict = openpgp.verify(check, key, "key", "rpm.sig", "rpm.header", name)
        for problem in verdict.problems:
            report.fail(problem)
        if verdict.good:
            report.ok(f"{name} is signed by KEY")


def _exe_signatures(dir_, listed, signatures, check, report, root):
    """Each .exe's Authenticode signature, checked by osslsigncode in the
    Debian 13 root, and its signature proper kept for the rebuild."""
    for name in listed:
        if not name.endswith(".zip"):
            continue
        folder = name[:-4]
        contents = zipfiles.read(_read(dir_ / name, zipfiles.SIZE_LIMIT), name)
        exe = contents.get(f"{folder}/uptime-report.exe")
        if exe is None:
            report.fail(f"{name} holds no {folder}/uptime-report.exe")
            continue
        proper = authenticode.signature(exe, f"{name}/uptime-report.exe")
        if proper is None:
            report.note(f"{name}/uptime-report.exe carries no Authenticode signature")
            continue
        signatures[name] = proper
        (check / "program.exe").write_bytes(exe)
        ca = []
        if os.environ.get("VERIFY_CA_FILE"):
            shutil.copyfile(os.environ["VERIFY_CA_FILE"], check / "ca.pem")
            ca = ["-CAfile", f"{sandbox.BOX}/ca.pem"]
        log = check / "authenticode.log"
        status = sandbox.run(
            ["osslsigncode", "verify", "-in", f"{sandbox.BOX}/program.exe"] + ca,
            check,
            log,
            f"checking {name}'s Authenticode signature",
            root=root.path,
            limits=runner.Limits(seconds=120, address_space=runner.ADDRESS_SPACE, processes=runner.PROCESSES),
        )
        text = log.read_text(errors="replace")
        subject = next((l.split("Subject: ", 1)[1] for l in text.splitlines() if "Subject: " in l), "")
        if status == 0:
            report.ok(f"{name}/uptime-report.exe: Authenticode signature verified ({subject})")
        else:
            # osslsigncode's verdict, without the certificates it lists.
            verdict = [line for line in text.splitlines() if OSSLSIGNCODE_VERDICT.search(line)]
            report.fail(
                f"{name}/uptime-report.exe: Authenticode signature does not verify (set "
                "VERIFY_CA_FILE to trust its certificate):\n" + "\n".join(f"        {l}" for l in verdict)
            )


def _compare(dir_, listed, rebuilt, check, report):
    """Each published file against the rebuild's. The rebuild's folder was the
    sandbox's: what is there is read without following a link, which would
    lead anywhere on this machine (to DIR itself, through /proc/self/cwd)."""
    try:
        folder = sandbox.open_made(rebuilt, directory=True)
    except sandbox.Planted as planted:
        report.fail(f"the rebuild left no folder of artifacts: {planted}")
        return
    try:
        for name in list(listed) + ["SHA256SUMS"]:
            try:
                ours = os.fdopen(sandbox.open_made(name, folder), "rb")
            except sandbox.Planted:
                report.fail(f"{name} is not made by the rebuild")
                continue
            with ours, _open_plain(dir_ / name) as theirs:
                offset = _first_difference(theirs, ours)
                if offset is None:
                    report.ok(f"{name} is identical")
                    continue
                report.fail(f"{name} differs from its rebuild, first at byte {offset}")
                if shutil.which("diffoscope"):
                    _diffoscope(name, theirs, ours, check)
    finally:
        os.close(folder)


def _diffoscope(name, theirs, ours, check):
    for side, f in (("published", theirs), ("rebuilt", ours)):
        f.seek(0)
        with open(check / f"{side}-{name}", "wb") as copy:
            shutil.copyfileobj(f, copy)
        os.chmod(check / f"{side}-{name}", 0o644)
    log = check / "diffoscope.log"
    try:
        sandbox.run(
            [
                "diffoscope",
                "--no-progress",
                "--max-report-size",
                "65536",
                f"{sandbox.BOX}/published-{name}",
                f"{sandbox.BOX}/rebuilt-{name}",
            ],
            check,
            log,
            f"diffoscope on {name}",
            limits=runner.Limits(seconds=300, address_space=2 << 30, processes=runner.PROCESSES, file_size=16 << 20),
        )
        stopped = ""
    except MachineError as error:
        stopped = f"(diffoscope was stopped: {error})"
    lines = log.read_text(errors="replace").splitlines()
    print("\n".join(f"        {_shown(line)}" for line in lines[:40] + ([stopped] if stopped else [])))
    (check / f"published-{name}").unlink()
    (check / f"rebuilt-{name}").unlink()


def _unpack_into(box, archive, stage, root):
    """The source archive's files into BOX's src folder, unpacked in the
    sandbox."""
    shutil.copyfile(archive, box.path / "work" / "source.tar.gz")
    (box.path / "src").mkdir(mode=0o700)
    box.open()
    stage.run(box, root, "unpacking the source archive", ["step", "unpack", "/build/work/source.tar.gz", "/build/src"])


def verify(dir_arg, key_arg, allow_incomplete):
    report = Report(allow_incomplete)
    dir_ = Path(dir_arg)
    if not dir_.is_dir():
        raise UsageError(f"{dir_arg} is not a folder")
    dir_ = dir_.resolve()
    key = Path(key_arg).resolve() if key_arg else None
    if key is not None and not (key.is_file() and os.access(key, os.R_OK)):
        raise UsageError(f"cannot read KEY: {key_arg}")
    tools.require("verify")
    work = sandbox.work_folder("verify-release.", {dir_: "DIR"})
    keep = os.environ.get("VERIFY_KEEP_WORK") == "1"
    if keep:
        print(f"verify-release: the work is kept in {work}", flush=True)
    try:
        _check_space(work)
        runner.check_machine("a rebuild", sandbox.sandbox_user())
        check = work / "check"
        check.mkdir(mode=0o755)
        sandbox.mode(work)
        if key is not None:
            try:
                (check / "key").write_bytes(_read(key, openpgp.KEY_LIMIT))
                key = openpgp.read_key(check, "key")
            except FormatError as error:
                raise UsageError(f"KEY ({key_arg}) is not an OpenPGP key: {error}")
        download = work / "download"
        names = _take_download(dir_, download)
        listed = _checksums(download, names, report, key, check)
        info = buildinfo.read(_read(download / "BUILDINFO", 1 << 20), "BUILDINFO") if "BUILDINFO" in listed else None
        if info is None:
            report.fail("the release has no BUILDINFO")
            report.finish()
        stage = pipeline.Stage(work / "stage")
        signatures = {}
        print("Signatures", flush=True)
        _rpm_signatures(download, listed, key, signatures, check, report)
        archive, release = _source(download, listed, info, report)
        if not (report.signed or report.matched):
            # Nothing vouches for the sources: their build is not run.
            report.incomplete(
                f"the rebuild (nothing vouches for the source archive: no KEY signed it, and commit "
                f"{info.commit} is not in {pipeline.CHECKOUT})",
                "the release was not rebuilt: its source is neither signed by KEY nor the commit's",
            )
            report.finish()
        print("Rebuild", flush=True)
        made = _roots(info, report, stage.logs)
        _exe_signatures(download, listed, signatures, check, report, made[0])
        # A release whose signatures fail is not worth rebuilding.
        report.stop_if_failed()
        print(f"  rebuilding {archive} with {pipeline.PROGRAM} in the roots (a few minutes)", flush=True)
        try:
            rebuilt = pipeline.make_artifacts(
                stage,
                release,
                made,
                lambda box: _unpack_into(box, download / archive, stage, made[0]),
                signatures=signatures,
            )
        except Refused as error:
            report.fail("the rebuild failed: " + "\n        ".join(str(error).splitlines()[-30:]))
            report.finish()
        report.rebuilt = True
        _compare(download, listed, rebuilt, check, report)
        report.finish()
    except Done as done:
        return done.status
    except (FormatError, Refused) as error:
        report.fail(str(error))
        try:
            report.finish()
        except Done as done:
            return done.status
    except Exception as error:
        if isinstance(error, (MachineError, OSError)):
            print(f"verify-release: nothing was judged, this machine failed: {_shown(str(error))}", flush=True)
        else:
            # The last line is the verdict, after what went wrong.
            print(_shown(traceback.format_exc()), flush=True)
            print("verify-release: nothing was judged, the verifier failed (above)", flush=True)
        return errors.exit_status(error)
    finally:
        if not keep:
            sandbox.remove(work)

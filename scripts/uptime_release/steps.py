"""The steps of a release that run inside a root's sandbox, where /build
holds the work: the sources (src), the artifacts made so far, the published
signatures of a rebuild, and a work folder. The release's record, read once
by the program that started the step, is at /release/control, read-only.
The keys of a signing release reach the steps that sign on their standard
input, and only their own /tmp, which no other process sees, holds them
while they run. Each step is a subcommand of the program, started by
pipeline.py."""

import base64
import gzip
import json
import os
import shutil
import sys
import tarfile
import tempfile
from pathlib import Path

from . import (
    authenticode,
    buildinfo,
    formats,
    manifests,
    openpgp,
    releaseinfo,
    rpmfile,
    runner,
    spdx,
    sums,
    tables,
    zipfiles,
)
from .errors import FormatError, Refused

BOX = Path("/build")
SOURCES, ARTIFACTS, WORK = BOX / "src", BOX / "artifacts", BOX / "work"
SIGNATURES = BOX / "signatures"
CONTROL = Path("/release/control")
# The step's own: the sandbox's /tmp is new for each run, where nothing a
# build left (a gpg.conf naming another program, say) can be.
KEYS = Path("/tmp/keys")
GNUPGHOME = Path("/tmp/gnupg")
NAME = "uptime-report"


def step(what, argv, **kwargs):
    """Runs a tool with its output in a log that is shown only when it fails
    (the sandbox sets the limits)."""
    try:
        return runner.run(argv, what, Path("/tmp/step.log"), **kwargs)
    except runner.Failed as failed:
        raise Refused(str(failed)) from None


def _info():
    """The release's record as the program that started the step read it,
    once: given read-only, where nothing a build runs can change it."""
    return releaseinfo.read((CONTROL / "RELEASE-INFO").read_bytes(), "RELEASE-INFO")


def _read_keys():
    """The keys on standard input, written where only this step sees them;
    the rest of what it holds."""
    message = sys.stdin.buffer.read(64 << 20)
    keys = json.loads(message) if message else {}
    KEYS.mkdir(mode=0o700, exist_ok=True)
    if keys.get("gpg_key"):
        (KEYS / "gpg-key").write_bytes(base64.b64decode(keys["gpg_key"]))
        (KEYS / "gpg-passphrase").write_text(keys["gpg_passphrase"])
    if keys.get("pkcs12"):
        (KEYS / "signing.p12").write_bytes(base64.b64decode(keys["pkcs12"]))
        (KEYS / "p12-password").write_text(keys["pkcs12_password"])
    return keys


def _gpg():
    os.environ["GNUPGHOME"] = str(GNUPGHOME)
    return [
        "gpg",
        "--batch",
        "--no-tty",
        "--pinentry-mode",
        "loopback",
        "--passphrase-file",
        str(KEYS / "gpg-passphrase"),
    ]


def _import_key():
    """SIGN_GPG_KEY imported into the step's own GNUPGHOME: (its fingerprint,
    when it was made)."""
    GNUPGHOME.mkdir(mode=0o700, exist_ok=True)
    gpg = _gpg()
    step("importing SIGN_GPG_KEY", gpg[:3] + ["--import", str(KEYS / "gpg-key")])
    listing = runner.output(gpg[:3] + ["--with-colons", "--list-secret-keys"], "listing SIGN_GPG_KEY")
    listing = listing.decode(errors="replace").splitlines()
    created = next((int(line.split(":")[5]) for line in listing if line.startswith("sec:")), None)
    fingerprint = next((line.split(":")[9] for line in listing if line.startswith("fpr:")), None)
    if fingerprint is None:
        raise Refused("SIGN_GPG_KEY holds no secret key")
    return fingerprint, created


def check_keys():
    """The signing keys, tried before anything is built: the OpenPGP key must
    sign at the release's time, which gpg refuses for a key made after it; the
    PKCS#12 file must open with its password."""
    epoch = _info().epoch
    _read_keys()
    if (KEYS / "gpg-key").exists():
        fingerprint, created = _import_key()
        openpgp.refuse_younger_key(created, epoch, "SOURCE_DATE_EPOCH", "the commit")
        (KEYS / "test").write_text("test\n")
        step(
            "signing with SIGN_GPG_KEY (a wrong SIGN_GPG_PASSPHRASE?)",
            _gpg()
            + [
                "--faked-system-time",
                f"{epoch}!",
                "--local-user",
                fingerprint,
                "--detach-sign",
                "-o",
                str(KEYS / "test.sig"),
                str(KEYS / "test"),
            ],
        )
    if (KEYS / "signing.p12").exists():
        password = (KEYS / "p12-password").read_bytes()
        for legacy in ([], ["-legacy"]):
            # OpenSSL 3 reads files with old ciphers only as "legacy".
            if (
                step(
                    "opening SIGN_PKCS12",
                    ["openssl", "pkcs12", "-in", str(KEYS / "signing.p12"), "-passin", "stdin", "-noout"] + legacy,
                    stdin=password,
                    check=False,
                )
                == 0
            ):
                break
        else:
            raise Refused(
                "SIGN_PKCS12 does not open with SIGN_PASSWORD: the password is wrong, or it is not a PKCS#12 file"
            )


def _finish_zip(package, epoch):
    contents = zipfiles.read(package.read_bytes(), package.name)
    exe = f"{package.name[:-4]}/uptime-report.exe"
    if exe not in contents:
        raise Refused(f"{package.name} holds no {exe}")
    unsigned = contents[exe]
    proper = None
    if (KEYS / "signing.p12").exists():
        with tempfile.TemporaryDirectory(dir=WORK) as folder:
            folder = Path(folder)
            (folder / "in.exe").write_bytes(unsigned)
            step(
                "signing uptime-report.exe",
                [
                    "osslsigncode",
                    "sign",
                    "-pkcs12",
                    str(KEYS / "signing.p12"),
                    "-readpass",
                    str(KEYS / "p12-password"),
                    "-h",
                    "sha256",
                    "-n",
                    NAME,
                    "-time",
                    str(epoch),
                    "-in",
                    str(folder / "in.exe"),
                    "-out",
                    str(folder / "out.exe"),
                ],
            )
            proper = authenticode.signature((folder / "out.exe").read_bytes(), exe)
    elif (SIGNATURES / f"{package.name}.sig").is_file():
        proper = (SIGNATURES / f"{package.name}.sig").read_bytes()
    if proper is not None:
        contents[exe] = authenticode.attach(unsigned, proper, exe)
    zipfiles.write(package, contents, zipfiles.executable(package.read_bytes()), epoch)


def _finish_rpm(package, fingerprint):
    if fingerprint:
        gpg = _gpg()
        step(
            f"signing {package.name}",
            [
                "rpmsign",
                "--addsign",
                "--define",
                "__gpg /usr/bin/gpg",
                "--define",
                f"_gpg_name {fingerprint}",
                "--define",
                "_gpg_sign_cmd_extra_args " + " ".join(gpg[1:] + ["--faked-system-time", f"{_info().epoch}!"]),
                str(package),
            ],
        )
    elif (SIGNATURES / f"{package.name}.sig").is_file():
        header = (SIGNATURES / f"{package.name}.sig").read_bytes()
        rpmfile.check_taken_over(package.read_bytes(), header, package.name)
        package.write_bytes(rpmfile.with_signature_header(package.read_bytes(), header, package.name))


def _tar_sorted(epoch):
    """tar as a release writes archives: members in name order, one time
    (not clamped: --clamp-mtime would keep the build's times of files
    older than a SOURCE_DATE_EPOCH ahead of the build's clock), root's
    ownership, plain modes."""
    return [
        "tar",
        "--sort=name",
        f"--mtime=@{epoch}",
        "--owner=0",
        "--group=0",
        "--numeric-owner",
        "--mode=u=rwX,go=rX",
        "--format=gnu",
    ]


def _archive(tar_argv, out, compress=("gzip", "-9n")):
    """TAR_ARGV's archive (written to standard output), compressed by
    COMPRESS into OUT; returns the SHA-256 of the archive itself."""
    archive = Path(tempfile.mkstemp(dir="/tmp")[1])
    try:
        step(f"writing {out.name}", tar_argv, stdout=archive)
        with open(archive, "rb") as data:
            step(f"compressing {out.name}", list(compress), stdin=data.fileno(), stdout=out)
        return sums.sha256(archive)
    finally:
        archive.unlink()


def _finish_tgz(package, epoch):
    tree = Path(tempfile.mkdtemp(dir=WORK))
    step(f"unpacking {package.name}", ["tar", "-xzf", str(package), "-C", str(tree)])
    _archive(_tar_sorted(epoch) + ["-cf", "-", "-C", str(tree)] + sorted(os.listdir(tree)), package)
    shutil.rmtree(tree)


def _usr(archive, into, epoch, manual):
    """The program of ARCHIVE (a finished .tar.gz) and its licences, where
    Arch keeps them, with MANUAL its manual page gzipped, written below
    INTO/usr and dated EPOCH: [(path, mode, bytes or None for a folder)],
    in the order tar --sort=name writes them."""
    tree = Path(tempfile.mkdtemp(dir=WORK))
    step(f"unpacking {archive.name}", ["tar", "-xzf", str(archive), "-C", str(tree)])
    (installed,) = tree.iterdir()
    files = {formats.PROGRAM: (0o755, (installed / "bin" / NAME).read_bytes())}
    for text in ("LICENSE", "NOTICES"):
        files[f"usr/share/licenses/{NAME}/{text}"] = (0o644, (installed / "share/doc" / NAME / text).read_bytes())
    if manual:
        page = (installed / "share/man/man1" / f"{NAME}.1").read_bytes()
        files[f"usr/share/man/man1/{NAME}.1.gz"] = (0o644, gzip.compress(page, 9, mtime=0))
    shutil.rmtree(tree)
    folders = {"/".join(path.split("/")[:n]) for path in files for n in range(1, path.count("/") + 1)}
    entries = [(folder, 0o755, None) for folder in folders] + [(p, m, d) for p, (m, d) in files.items()]
    entries.sort(key=lambda entry: entry[0].split("/"))
    for path, mode, data in entries:
        if data is None:
            (into / path).mkdir(parents=True, exist_ok=True)
        else:
            (into / path).write_bytes(data)
            (into / path).chmod(mode)
    for path, _, _ in reversed(entries):
        os.utime(into / path, (epoch, epoch))
    return entries


def _pacman(archive, arch, info, components):
    """The pacman package of the program in ARCHIVE for ARCH, made among the
    artifacts as makepkg lays one out: .BUILDINFO, .MTREE and .PKGINFO, then
    usr/. Returns its path."""
    version = formats.pacman_version(archive.name.removeprefix(f"{NAME}-").split("-linux-")[0], info.revision)
    out = ARTIFACTS / f"{NAME}-{version}-{arch}.pkg.tar.zst"
    work = Path(tempfile.mkdtemp(dir=WORK))
    entries = _usr(archive, work, info.epoch, manual=True)
    size = sum(len(data) for _, _, data in entries if data is not None)
    licences = list(dict.fromkeys([spdx.OWN_LICENCE] + [c["license"] for c in components]))
    (work / ".PKGINFO").write_text(formats.pkginfo(version, arch, info.epoch, size, licences, info.project_url))
    (work / ".BUILDINFO").write_text(formats.buildinfo(version, arch, info.epoch))
    described = [(name, 0o644, (work / name).read_bytes()) for name in (".BUILDINFO", ".PKGINFO")]
    (work / ".MTREE").write_bytes(formats.mtree(described + entries, info.epoch))
    names = [".BUILDINFO", ".MTREE", ".PKGINFO", "usr"]
    for name in names[:3]:
        os.utime(work / name, (info.epoch, info.epoch))
    tar = _tar_sorted(info.epoch) + ["-cf", "-", "-C", str(work)] + names
    _archive(tar, out, ("zstd", "-19", "--single-thread", "-q", "-c"))
    shutil.rmtree(work)
    return out


def build(presets):
    """Configures, builds and packages each preset; the .tar.gz archives are
    written again in order, the .zip and .rpm packages are left to finish()."""
    info = _info()
    ARTIFACTS.mkdir(exist_ok=True)
    (ARTIFACTS / "components").mkdir(exist_ok=True)
    for preset in presets:
        print(f"  building {preset}", flush=True)
        tree = SOURCES / "build" / preset
        step(
            f"configuring {preset}",
            [
                "cmake",
                "-S",
                str(SOURCES),
                "--preset",
                preset,
                "-DBUILD_TESTING=OFF",
                f"-DUPTIME_REPORT_PACKAGE_REVISION={info.revision}",
            ],
        )
        step(f"building {preset}", ["cmake", "--build", str(tree)])
        packages = WORK / "packages" / preset
        step(f"packaging {preset}", ["cpack", "--config", str(tree / "CPackConfig.cmake"), "-B", str(packages)])
        components = json.loads((tree / "notices" / "components.json").read_text())
        line = next((line for line in tables.read(SOURCES / "cmake").linux if line.preset == preset), None)
        for package in sorted(packages.iterdir()):
            if package.name.endswith(".tar.gz"):
                _finish_tgz(package, info.epoch)
                if line and line.pacman:
                    made = _pacman(package, line.pacman, info, components)
                    (ARTIFACTS / "components" / f"{made.name}.json").write_text(json.dumps(components))
            elif package.suffix not in (".deb", ".rpm", ".zip"):
                continue
            shutil.move(str(package), ARTIFACTS / package.name)
            (ARTIFACTS / "components" / f"{package.name}.json").write_text(json.dumps(components))


def image():
    """The release's OCI image, from the finished .tar.gz of each machine
    with an OCI platform: an OCI layout archive holding one image per
    machine and an index over them, and that index alone, whose SHA-256 is
    the image's digest. Each image is the program and its licences, one
    layer."""
    info = _info()
    blobs, manifests, contained = {}, {}, {}
    work = Path(tempfile.mkdtemp(dir=WORK))
    for line in tables.read(SOURCES / "cmake").linux:
        if not line.oci:
            continue
        archives = list(ARTIFACTS.glob(f"{NAME}-*-linux-{line.name}.tar.gz"))
        if len(archives) != 1:
            raise Refused(f"the build left {len(archives)} .tar.gz archives for {line.name}, not one")
        archive = archives[0]
        full = archive.name.removeprefix(f"{NAME}-").split("-linux-")[0]
        tree, layer = work / line.name, work / f"{line.name}.tar.gz"
        tree.mkdir()
        _usr(archive, tree, info.epoch, manual=False)
        diff_id = _archive(_tar_sorted(info.epoch) + ["-cf", "-", "-C", str(tree), "usr"], layer)
        config, manifests[line.oci] = formats.image(line.oci, layer.read_bytes(), diff_id, full, info.epoch)
        blobs.update((formats.digest(data), data) for data in (layer.read_bytes(), config))
        for component in json.loads((ARTIFACTS / "components" / f"{archive.name}.json").read_text()):
            contained[(component["package"], component["version"])] = component
    blob, top = formats.index(manifests, full, info.commit, info.epoch)
    layout = work / "layout"
    (layout / "blobs" / "sha256").mkdir(parents=True)
    for data in list(blobs.values()) + list(manifests.values()) + [blob]:
        (layout / "blobs" / "sha256" / formats.digest(data)).write_bytes(data)
    (layout / "index.json").write_bytes(top)
    (layout / "oci-layout").write_bytes(formats.LAYOUT)
    for folder, _, names in os.walk(layout):
        for path in [folder] + [os.path.join(folder, name) for name in names]:
            os.utime(path, (info.epoch, info.epoch))
    out = ARTIFACTS / f"{NAME}-{full}-oci.tar"
    step(
        f"writing {out.name}",
        _tar_sorted(info.epoch) + ["-cf", str(out), "-C", str(layout), "blobs", "index.json", "oci-layout"],
    )
    (ARTIFACTS / f"{NAME}-{full}-oci-index.json").write_bytes(blob)
    components = json.dumps([contained[key] for key in sorted(contained)])
    (ARTIFACTS / "components" / f"{out.name}.json").write_text(components)
    (ARTIFACTS / "components" / f"{NAME}-{full}-oci-index.json.json").write_text("[]")
    shutil.rmtree(work)


def finish():
    """Finishes the release once every package is built, in a box of its own
    that holds the artifacts' bytes alone of what the build wrote: the .exe
    files and the .rpm packages signed (or given their published
    signatures), the .zip files written again in order; then the release's
    own files: the source archive, the winget and Scoop manifests, the SPDX
    document, BUILDINFO, SHA256SUMS and its signature."""
    info = _info()
    _read_keys()
    record = json.loads((CONTROL / "release.json").read_text())
    fingerprint = _import_key()[0] if (KEYS / "gpg-key").exists() else None
    for package in sorted(ARTIFACTS.iterdir()):
        if package.suffix == ".rpm":
            _finish_rpm(package, fingerprint)
        elif package.suffix == ".zip":
            _finish_zip(package, info.epoch)
    version, components = record["version"], record["components"]
    full = version if info.revision == 1 else f"{version}-{info.revision}"
    name = f"{NAME}-{full}"
    _archive(
        _tar_sorted(info.epoch) + [f"--transform=s,^\\.,{name},", "-cf", "-", "-C", str(SOURCES), "."],
        ARTIFACTS / f"{name}-source.tar.gz",
    )
    if info.release_url:
        zips = {}
        for arch in tables.read(SOURCES / "cmake").windows:
            zip_name = f"{name}-windows-{arch.name}.zip"
            zips[arch] = (zip_name, zip_name[:-4], sums.sha256(ARTIFACTS / zip_name))
        for manifest, text in manifests.write(zips, version, info.revision, info.release_url, info.project_url).items():
            (ARTIFACTS / manifest).write_text(text)
            components[manifest] = []
    entries = []
    for artifact in sorted(os.listdir(ARTIFACTS), key=str.encode):
        entries.append((artifact, sums.sha256(ARTIFACTS / artifact), components.get(artifact)))
    (ARTIFACTS / f"{name}.spdx.json").write_text(spdx.write(entries, version, info.commit, info.epoch))
    checksums = []
    for artifact in sorted(os.listdir(ARTIFACTS), key=str.encode):
        size, digests = sums.file_digests(ARTIFACTS / artifact, ("md5", "sha1", "sha256"))
        checksums.append((artifact, size, digests["md5"], digests["sha1"], digests["sha256"]))
    roots = tuple(
        buildinfo.Root(
            r["name"],
            r["suite"],
            tuple(r["architectures"]),
            tuple(r["presets"]),
            tuple(tuple(p) for p in r["packages"]),
        )
        for r in json.loads((CONTROL / "roots.json").read_text())
    )
    architectures = sorted({a.rsplit("_", 1)[1][:-4] for a in os.listdir(ARTIFACTS) if a.endswith(".deb")})
    buildinfo_record = buildinfo.Buildinfo(
        version=full,
        commit=info.commit,
        epoch=info.epoch,
        architectures=tuple(architectures),
        build_architecture=roots[0].architectures[0],
        checksums=tuple(checksums),
        roots=roots,
    )
    (ARTIFACTS / "BUILDINFO").write_text(buildinfo.write(buildinfo_record))
    listed = {artifact: sums.sha256(ARTIFACTS / artifact) for artifact in os.listdir(ARTIFACTS)}
    (ARTIFACTS / "SHA256SUMS").write_text(sums.write(listed))
    if fingerprint:
        step(
            "signing SHA256SUMS",
            _gpg()
            + [
                "--faked-system-time",
                f"{info.epoch}!",
                "--local-user",
                fingerprint,
                "--armor",
                "--detach-sign",
                "-o",
                str(ARTIFACTS / "SHA256SUMS.asc"),
                str(ARTIFACTS / "SHA256SUMS"),
            ],
        )


def gpg_sign():
    """Signs what the message on standard input asks, with the key it holds:
    into /build/out the key's fingerprint, time and public key (armoured and
    binary), and each signature under the name the message gives it."""
    message = _read_keys()
    fingerprint, created = _import_key()
    out = BOX / "out"
    out.mkdir()
    (out / "fingerprint").write_text(fingerprint + "\n")
    (out / "created").write_text(f"{created}\n")
    gpg = _gpg()
    step("exporting the public key", gpg[:3] + ["--armor", "--export", "-o", str(out / "public.asc"), fingerprint])
    step("exporting the public key", gpg[:3] + ["--export", "-o", str(out / "public.gpg"), fingerprint])
    epoch = ["--faked-system-time", f"{message['epoch']}!"] if message.get("epoch") else []
    for name, (data, options) in message["requests"].items():
        Path("/tmp/in").write_bytes(base64.b64decode(data))
        step(
            f"signing {name}",
            gpg + epoch + ["--local-user", fingerprint] + options + ["-o", str(out / name), "/tmp/in"],
        )


def unpack(archive, destination):
    """The source archive's files, below its one top folder, into DESTINATION
    through tarfile's data filter, which the Debian 13 root's Python has: no
    member lands outside, links included, and none keeps an owner, a device
    or a mode that gives others more (the verifier has read the archive and
    refused any member that is not a file, folder or link, below one top)."""
    if not hasattr(tarfile, "data_filter"):
        raise Refused("this Python's tarfile has no data filter (Python 3.12 and later have)")
    with tarfile.open(archive, "r:gz") as tar:
        members = tar.getmembers()
        top = members[0].name.rstrip("/") + "/"
        for member in members[1:]:
            member.name = member.name.removeprefix(top)
        tar.extractall(destination, members=members[1:], filter="data")


def main(command, args):
    # What the steps make has the same modes whoever runs them.
    os.umask(0o022)
    try:
        if command == "unpack":
            unpack(*args)
        elif command == "check-keys":
            check_keys()
        elif command == "build":
            build(args)
        elif command == "image":
            image()
        elif command == "finish":
            finish()
        elif command == "gpg-sign":
            gpg_sign()
    except (Refused, FormatError) as error:
        print(f"release: {error}", file=sys.stderr)
        return 1
    return 0

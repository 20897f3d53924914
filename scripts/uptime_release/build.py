"""The steps of a release that run inside a root's sandbox, where /build
holds the work: the sources (src), the artifacts made so far, the published
signatures of a rebuild, and a work folder. The keys of a signing release are
not there: they are bound read-only at /release/keys for the steps that sign
alone, never for a build, which runs the sources' own code. Each step is a
subcommand of the program, started by make.py."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from . import authenticode, buildinfo, manifests, releaseinfo, rpmfile, spdx, sums, tables, zipfiles
from .errors import FormatError, Refused

BOX = Path("/build")
SOURCES, ARTIFACTS, WORK = BOX / "src", BOX / "artifacts", BOX / "work"
SIGNATURES = BOX / "signatures"
KEYS = Path("/release/keys")
# The step's own: the sandbox's /tmp is new for each run, where nothing a
# build left (a gpg.conf naming another program, say) can be.
GNUPGHOME = Path("/tmp/gnupg")
NAME = "uptime-report"


def step(what, argv, **kwargs):
    """Runs a tool with its output in a log that is shown only when it fails."""
    log = WORK / "step.log"
    with open(log, "wb") as out:
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        tail = log.read_text(errors="replace").splitlines()[-40:]
        raise Refused(f"{what} failed:\n" + "\n".join(tail))


CONTROL = Path("/release/control")


def _info():
    """The release's record as the program that started the step read it,
    once: given read-only, where nothing a build runs can change it."""
    return releaseinfo.read((CONTROL / "RELEASE-INFO").read_bytes(), "RELEASE-INFO")


def _gpg():
    os.environ["GNUPGHOME"] = str(GNUPGHOME)
    return ["gpg", "--batch", "--no-tty", "--pinentry-mode", "loopback",
            "--passphrase-file", str(KEYS / "gpg-passphrase")]


def _import_key():
    """SIGN_GPG_KEY imported into the step's own GNUPGHOME: (its fingerprint,
    when it was made)."""
    GNUPGHOME.mkdir(mode=0o700, exist_ok=True)
    gpg = _gpg()
    result = subprocess.run(gpg[:3] + ["--import", str(KEYS / "gpg-key")], capture_output=True, text=True)
    if result.returncode != 0:
        raise Refused(f"cannot import SIGN_GPG_KEY: {result.stderr.strip()}")
    listing = subprocess.run(gpg[:3] + ["--with-colons", "--list-secret-keys"], capture_output=True,
                             text=True).stdout.splitlines()
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
    if (KEYS / "gpg-key").exists():
        fingerprint, created = _import_key()
        gpg = _gpg()
        if created > epoch:
            raise Refused(f"the OpenPGP key was made at {created}, after SOURCE_DATE_EPOCH ({epoch}): a release "
                          "signs at the commit's time, and gpg will not sign before a key existed; use a key "
                          "older than the commit")
        (WORK / "gpg-test").write_text("test\n")
        result = subprocess.run(gpg + ["--faked-system-time", f"{epoch}!", "--local-user", fingerprint,
                                       "--detach-sign", "-o", str(WORK / "gpg-test.sig"), str(WORK / "gpg-test")],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Refused(f"signing with SIGN_GPG_KEY failed (a wrong SIGN_GPG_PASSPHRASE?): {result.stderr.strip()}")
    if (KEYS / "signing.p12").exists():
        password = (KEYS / "p12-password").read_bytes()
        for legacy in ([], ["-legacy"]):
            # OpenSSL 3 reads files with old ciphers only as "legacy".
            result = subprocess.run(["openssl", "pkcs12", "-in", str(KEYS / "signing.p12"), "-passin", "stdin",
                                     "-noout"] + legacy, input=password, capture_output=True)
            if result.returncode == 0:
                break
        else:
            raise Refused("SIGN_PKCS12 does not open with SIGN_PASSWORD: the password is wrong, or it is not "
                          "a PKCS#12 file")


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
            result = subprocess.run(
                ["osslsigncode", "sign", "-pkcs12", str(KEYS / "signing.p12"), "-readpass",
                 str(KEYS / "p12-password"), "-h", "sha256", "-n", NAME, "-time", str(epoch),
                 "-in", str(folder / "in.exe"), "-out", str(folder / "out.exe")], capture_output=True, text=True)
            if result.returncode != 0:
                raise Refused(f"signing uptime-report.exe failed: {result.stdout.strip()} {result.stderr.strip()}")
            proper = authenticode.signature((folder / "out.exe").read_bytes(), exe)
    elif (SIGNATURES / f"{package.name}.sig").is_file():
        proper = (SIGNATURES / f"{package.name}.sig").read_bytes()
    if proper is not None:
        contents[exe] = authenticode.attach(unsigned, proper, exe)
    zipfiles.write(package, contents, zipfiles.executable(package.read_bytes()), epoch)


def _finish_rpm(package, fingerprint):
    if fingerprint:
        gpg = _gpg()
        step(f"signing {package.name}", [
            "rpmsign", "--addsign", "--define", "__gpg /usr/bin/gpg", "--define", f"_gpg_name {fingerprint}",
            "--define", "_gpg_sign_cmd_extra_args " + " ".join(gpg[1:] + ["--faked-system-time",
                                                                          f"{_info().epoch}!"]),
            str(package)])
    elif (SIGNATURES / f"{package.name}.sig").is_file():
        header = (SIGNATURES / f"{package.name}.sig").read_bytes()
        rpmfile.signature_header_end(package.read_bytes()[:rpmfile.LEAD_SIZE] + header, package.name)
        package.write_bytes(rpmfile.with_signature_header(package.read_bytes(), header, package.name))


def _tar_sorted(epoch):
    """tar as a release writes archives: members in name order, one time,
    root's ownership, plain modes."""
    return ["tar", "--sort=name", f"--mtime=@{epoch}", "--clamp-mtime", "--owner=0", "--group=0",
            "--numeric-owner", "--mode=u=rwX,go=rX", "--format=gnu"]


def _gzip_pipe(tar_argv, out):
    with open(out, "wb") as f:
        tar = subprocess.Popen(tar_argv, stdout=subprocess.PIPE)
        gzip = subprocess.run(["gzip", "-9n"], stdin=tar.stdout, stdout=f)
        tar.stdout.close()
        if tar.wait() != 0 or gzip.returncode != 0:
            raise Refused(f"cannot write {out.name}")


def _finish_tgz(package, epoch):
    tree = Path(tempfile.mkdtemp(dir=WORK))
    step(f"unpacking {package.name}", ["tar", "-xzf", str(package), "-C", str(tree)])
    _gzip_pipe(_tar_sorted(epoch) + ["-cf", "-", "-C", str(tree)] + sorted(os.listdir(tree)), package)
    shutil.rmtree(tree)


def build(presets):
    """Configures, builds and packages each preset; the .tar.gz archives are
    written again in order, the .zip and .rpm packages are left to sign()."""
    info = _info()
    ARTIFACTS.mkdir(exist_ok=True)
    (ARTIFACTS / "components").mkdir(exist_ok=True)
    for preset in presets:
        print(f"  building {preset}", flush=True)
        tree = SOURCES / "build" / preset
        step(f"configuring {preset}", ["cmake", "-S", str(SOURCES), "--preset", preset, "-DBUILD_TESTING=OFF",
                                       f"-DUPTIME_REPORT_PACKAGE_REVISION={info.revision}"])
        step(f"building {preset}", ["cmake", "--build", str(tree)])
        packages = WORK / "packages" / preset
        step(f"packaging {preset}", ["cpack", "--config", str(tree / "CPackConfig.cmake"), "-B", str(packages)])
        components = json.loads((tree / "notices" / "components.json").read_text())
        version = _cpack_version(tree / "CPackConfig.cmake")
        (WORK / "version").write_text(version + "\n")
        for package in sorted(packages.iterdir()):
            if package.name.endswith(".tar.gz"):
                _finish_tgz(package, info.epoch)
            elif package.suffix not in (".deb", ".rpm", ".zip"):
                continue
            shutil.move(str(package), ARTIFACTS / package.name)
            (ARTIFACTS / "components" / f"{package.name}.json").write_text(json.dumps(components))


def sign():
    """Finishes every .zip and .rpm package once all are built, in a step of
    its own, the only one but check-keys and assemble that sees the keys: the
    .exe files and the .rpm packages signed (or given their published
    signatures), the .zip files written again in order."""
    epoch = _info().epoch
    fingerprint = _import_key()[0] if (KEYS / "gpg-key").exists() else None
    for package in sorted(ARTIFACTS.iterdir()):
        if package.suffix == ".rpm":
            _finish_rpm(package, fingerprint)
        elif package.suffix == ".zip":
            _finish_zip(package, epoch)


def _cpack_version(config):
    for line in config.read_text().splitlines():
        if line.startswith('set(CPACK_PACKAGE_VERSION "'):
            return line.split('"')[1]
    raise Refused("no version in the CPack configuration")


def assemble():
    """The release's own files, once every package is made: the source
    archive, the winget and Scoop manifests, the SPDX document, BUILDINFO,
    SHA256SUMS and its signature."""
    info = _info()
    version = (WORK / "version").read_text().strip()
    full = version if info.revision == 1 else f"{version}-{info.revision}"
    name = f"{NAME}-{full}"
    shutil.rmtree(SOURCES / "build", ignore_errors=True)
    _gzip_pipe(_tar_sorted(info.epoch) + [f"--transform=s,^\\.,{name},", "-cf", "-", "-C", str(SOURCES), "."],
               ARTIFACTS / f"{name}-source.tar.gz")
    components = {p.name[:-5]: json.loads(p.read_text()) for p in (ARTIFACTS / "components").iterdir()}
    shutil.rmtree(ARTIFACTS / "components")
    if info.release_url:
        zips = {}
        for arch in tables.read(SOURCES / "cmake").windows:
            zip_name = f"{name}-windows-{arch.name}.zip"
            zips[arch] = (zip_name, zip_name[:-4], sums.sha256(ARTIFACTS / zip_name))
        for manifest, text in manifests.write(zips, version, info.revision, info.release_url,
                                              info.project_url).items():
            (ARTIFACTS / manifest).write_text(text)
            components[manifest] = []
    else:
        print("  made no winget or Scoop manifests: set RELEASE_URL to where the files will be published")
    entries = []
    for artifact in sorted(os.listdir(ARTIFACTS), key=str.encode):
        entries.append((artifact, sums.sha256(ARTIFACTS / artifact), components.get(artifact)))
    (ARTIFACTS / f"{name}.spdx.json").write_text(spdx.write(entries, version, info.commit, info.epoch))
    checksums = []
    for artifact in sorted(os.listdir(ARTIFACTS), key=str.encode):
        size, digests = sums.file_digests(ARTIFACTS / artifact, ("md5", "sha1", "sha256"))
        checksums.append((artifact, size, digests["md5"], digests["sha1"], digests["sha256"]))
    roots = tuple(buildinfo.Root(r["name"], r["suite"], tuple(r["architectures"]), tuple(r["presets"]),
                                 tuple(tuple(p) for p in r["packages"])) for r in json.loads((CONTROL / "roots.json").read_text()))
    architectures = sorted({a.rsplit("_", 1)[1][:-4] for a in os.listdir(ARTIFACTS) if a.endswith(".deb")})
    record = buildinfo.Buildinfo(version=full, commit=info.commit, epoch=info.epoch,
                                 architectures=tuple(architectures), build_architecture=roots[0].architectures[0],
                                 checksums=tuple(checksums), roots=roots)
    (ARTIFACTS / "BUILDINFO").write_text(buildinfo.write(record))
    listed = {artifact: sums.sha256(ARTIFACTS / artifact) for artifact in os.listdir(ARTIFACTS)}
    (ARTIFACTS / "SHA256SUMS").write_text(sums.write(listed))
    if (KEYS / "gpg-key").exists():
        fingerprint = _import_key()[0]
        step("signing SHA256SUMS", _gpg() + ["--faked-system-time", f"{info.epoch}!", "--local-user",
                                             fingerprint, "--armor", "--detach-sign", "-o",
                                             str(ARTIFACTS / "SHA256SUMS.asc"), str(ARTIFACTS / "SHA256SUMS")])


def unpack(archive, destination):
    """The source archive's files, below its one top folder, into DESTINATION
    (the verifier has read the archive and refused any member that could
    reach outside)."""
    step("unpacking the source archive", ["tar", "-xzf", archive, "-C", destination, "--strip-components=1",
                                          "--no-same-owner", "--no-same-permissions"])


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
        elif command == "sign":
            sign()
        elif command == "assemble":
            assemble()
    except (Refused, FormatError) as error:
        print(f"release: {error}", file=sys.stderr)
        return 1
    return 0

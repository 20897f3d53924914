"""The parts of making and checking a release that want more than a shell.

Usage:
  release_tools.py export REPO COMMIT DEST
      writes the commit's files into DEST exactly as git stores them: no
      line-end conversion, filter or attribute, whatever git's settings
  release_tools.py rezip ARCHIVE EPOCH MEMBER [FILE]
      rewrites a .zip reproducibly (members in name order, EPOCH's time, fixed
      modes), with MEMBER's bytes taken from FILE; without FILE, writes
      MEMBER's bytes to stdout and rewrites nothing
  release_tools.py spdx DIR MANIFEST NAME VERSION COMMIT EPOCH
      writes the SPDX 2.3 document of the release in DIR to stdout; MANIFEST
      has a line "ARTIFACT<TAB>COMPONENTS.JSON" per artifact built from a
      program ("-" for the source archive)
  release_tools.py rpm-signature RPM
      writes the .rpm's lead and signature header to stdout
  release_tools.py transplant-rpm-signature SIGNATURE REBUILT
      gives the rebuilt .rpm the lead and signature header that SIGNATURE
      holds (a published .rpm, or what rpm-signature wrote of it)
  release_tools.py buildinfo DIR VERSION COMMIT EPOCH
      writes BUILDINFO for the artifacts in DIR to stdout
  release_tools.py compare-buildinfo PUBLISHED REBUILT
      compares two BUILDINFO files field by field: one line per difference,
      "note" for the installed packages, "fail" for any other field; exits 1
      when a line says "fail"
  release_tools.py check-archive ARCHIVE BUILDINFO SPDX
      refuses a source archive with a member that could reach outside its
      folder when unpacked; checks that its RELEASE-INFO, BUILDINFO and the
      SPDX document name one commit, and prints it
  release_tools.py compare-source ARCHIVE REPO COMMIT
      compares the archive's files with the commit's, content and mode; one
      line per differing file, exit status 1 when there is one
  release_tools.py manifests DIR VERSION URL
      writes into DIR the winget manifests (version, installer, defaultLocale)
      and the Scoop manifest of the Windows .zip files in DIR, as published
      under URL, and prints their names
"""
import fnmatch
import hashlib
import io
import json
import os
import subprocess
import sys
import tarfile
import time
import uuid
import zipfile


def export(repo, commit, dest):
    listing = subprocess.run(["git", "-C", repo, "ls-tree", "-r", "-z", "--full-tree", commit],
                             capture_output=True, check=True).stdout
    entries = []
    for record in listing.split(b"\0"):
        if record:
            meta, path = record.split(b"\t", 1)
            mode, kind, blob = meta.split()
            if kind != b"blob":
                sys.exit(f"release: {path.decode()} is a {kind.decode()}; a release exports files only")
            entries.append((mode.decode(), blob.decode(), os.fsdecode(path)))
    batch = subprocess.run(["git", "-C", repo, "cat-file", "--batch"],
                           input="".join(f"{blob}\n" for _, blob, _ in entries).encode(),
                           capture_output=True, check=True).stdout
    offset = 0
    for mode, blob, path in entries:
        header_end = batch.index(b"\n", offset)
        size = int(batch[offset:header_end].split()[2])
        data = batch[header_end + 1:header_end + 1 + size]
        offset = header_end + 1 + size + 1
        target = os.path.join(dest, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if mode == "120000":
            os.symlink(os.fsdecode(data), target)
            continue
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, 0o755 if mode == "100755" else 0o644)


def rezip(archive, epoch, name, replacement=None):
    with zipfile.ZipFile(archive) as source:
        members = sorted(source.infolist(), key=lambda m: m.filename)
        contents = {m.filename: source.read(m) for m in members}
    if replacement is None:
        sys.stdout.buffer.write(contents[name])
        return
    with open(replacement, "rb") as f:
        contents[name] = f.read()
    # release.sh keeps EPOCH within zip's dates (1980 on).
    stamp = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(archive, "w") as z:
        for member in members:
            info = zipfile.ZipInfo(member.filename, stamp)
            info.create_system = 3
            executable = (member.external_attr >> 16) & 0o111
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, contents[member.filename], compresslevel=9)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def spdx_id(text):
    return "SPDXRef-" + "".join(c if c.isalnum() or c in ".-" else "-" for c in text)


def spdx(directory, manifest, name, version, commit, epoch):
    own_licence = "MIT"
    supplier = "Organization: The uptime-report developers"
    packages, relationships, described = [], [], []
    components = {}
    source_id = None
    for line in open(manifest, encoding="utf-8").read().splitlines():
        artifact, components_file = line.split("\t")
        artifact_id = spdx_id("Artifact-" + artifact)
        described.append(artifact_id)
        contained = json.load(open(components_file)) if components_file != "-" else []
        licences = [own_licence] + [c["license"] for c in contained]
        concluded = " AND ".join(dict.fromkeys(
            f"({l})" if " " in l and len(licences) > 1 else l for l in licences))
        packages.append({
            "SPDXID": artifact_id, "name": artifact, "packageFileName": artifact,
            "versionInfo": version, "supplier": supplier, "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "checksums": [{"algorithm": "SHA256",
                           "checksumValue": sha256(os.path.join(directory, artifact))}],
            "licenseDeclared": own_licence, "licenseConcluded": concluded,
            "copyrightText": "2026 The uptime-report developers",
            "primaryPackagePurpose": "SOURCE" if components_file == "-" else "INSTALL"})
        if components_file == "-":
            source_id = artifact_id
        for c in contained:
            component_id = spdx_id(f"Component-{c['package']}-{c['version']}")
            arch = c["package"].partition(":")[2]
            components[component_id] = {
                "SPDXID": component_id, "name": c["name"], "versionInfo": c["version"],
                "supplier": "Organization: Debian", "downloadLocation": "NOASSERTION",
                "filesAnalyzed": False, "licenseDeclared": c["license"],
                "licenseConcluded": c["license"], "copyrightText": "NOASSERTION",
                "sourceInfo": f"Debian package {c['package']} {c['version']}, from source "
                              f"package {c['source']}; linked: {'; '.join(c['files'])}",
                "externalRefs": [{
                    "referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                    "referenceLocator": f"pkg:deb/debian/{c['package'].partition(':')[0]}@"
                                        f"{c['version']}" + (f"?arch={arch}" if arch else "")}],
                "primaryPackagePurpose": "LIBRARY"}
            relationships.append({"spdxElementId": artifact_id, "relationshipType": "CONTAINS",
                                  "relatedSpdxElement": component_id})
    for artifact_id in described:
        relationships.insert(0, {"spdxElementId": "SPDXRef-DOCUMENT",
                                 "relationshipType": "DESCRIBES",
                                 "relatedSpdxElement": artifact_id})
        if source_id and artifact_id != source_id:
            relationships.append({"spdxElementId": artifact_id,
                                  "relationshipType": "GENERATED_FROM",
                                  "relatedSpdxElement": source_id})
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"{name}-{version}",
        "comment": f"The release of {name} {version} from commit {commit}.",
        "creationInfo": {
            "created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch))),
            "creators": ["Tool: scripts/release.sh", supplier]},
        "packages": packages + [components[k] for k in sorted(components)],
        "relationships": relationships,
    }
    # The namespace names this very document: it is derived from everything
    # else in it, so that two documents that differ in anything (signed or
    # not, another source) never share one.
    content = json.dumps(document, sort_keys=True).encode()
    document["documentNamespace"] = "urn:uuid:" + str(
        uuid.uuid5(uuid.NAMESPACE_URL, f"{name}/sha256/{hashlib.sha256(content).hexdigest()}"))
    json.dump(document, sys.stdout, indent=1, sort_keys=True)
    sys.stdout.write("\n")


def rpm_signature_end(data, path):
    """Where an .rpm's lead and signature header end: what follows is the
    package that was signed."""
    offset = 96
    if data[offset:offset + 3] != b"\x8e\xad\xe8":
        sys.exit(f"{path} is not an rpm package")
    entries = int.from_bytes(data[offset + 8:offset + 12], "big")
    size = int.from_bytes(data[offset + 12:offset + 16], "big")
    end = offset + 16 + 16 * entries + size
    return end + (-end % 8)


def rpm_signature(path):
    data = open(path, "rb").read()
    sys.stdout.buffer.write(data[:rpm_signature_end(data, path)])


def transplant_rpm_signature(released, rebuilt):
    """Gives the rebuilt .rpm the released one's lead and signature header.
    Whether the signature holds for the rebuilt package is what comparing the
    two afterwards tells."""
    theirs = open(released, "rb").read()
    ours = open(rebuilt, "rb").read()
    with open(rebuilt, "wb") as f:
        f.write(theirs[:rpm_signature_end(theirs, released)] + ours[rpm_signature_end(ours, rebuilt):])

# The installed packages whose code a release runs and that can change the
# artifacts' bytes: BUILDINFO records these, and only these. A pattern names
# a package as dpkg-query's ${Package} does; it matches this machine's own
# architecture (or "all") unless it ends in ":*", and never a "-base"
# package, which holds documents only. Adding a compiler or a tool to the
# release takes one line here.
BUILD_PACKAGES = (
    ("cmake", "configures and builds every preset; CPack writes each package's first form"),
    ("cmake-data", "CMake's modules and CPack's generators"),
    ("libarchive13", "CPack writes the .tar.gz, .zip and .deb members with it"),
    ("gcc-12", "compiles the programs for this machine's architecture"),
    ("g++-12", "compiles the programs for this machine's architecture"),
    ("cpp-12", "preprocesses the programs' sources"),
    ("libgcc-12-dev", "libgcc.a, linked into the programs"),
    ("libstdc++-12-dev", "the C++ headers the programs compile with"),
    ("binutils", "assembles, links and strips the programs"),
    ("binutils-x86-64-linux-gnu", "assembles, links and strips the x86-64 programs"),
    ("libbinutils", "the BFD library of as, ld and strip"),
    ("gcc-12-*-linux-gnu*", "the cross compilers, one per architecture"),
    ("g++-12-*-linux-gnu*", "the cross compilers, one per architecture"),
    ("cpp-12-*-linux-gnu*", "the cross preprocessors"),
    ("binutils-*-linux-gnu*", "the cross assemblers, linkers and strip"),
    ("libgcc-12-dev-*-cross", "each cross target's libgcc.a, linked into its program"),
    ("libstdc++-12-dev-*-cross", "each cross target's C++ headers"),
    ("musl-dev:*", "musl's headers, start files and libc.a, linked into the Linux programs"),
    ("gcc-mingw-w64-*-posix", "compiles the x86 and x64 .exe files; libgcc.a, linked into the x86 one"),
    ("g++-mingw-w64-*-posix", "compiles the x86 and x64 .exe files; the C++ headers of the ARM64 one"),
    ("binutils-mingw-w64-*", "links and strips the x86 and x64 .exe files, their resources and kernel32 import libraries"),
    ("mingw-w64-*-dev", "the Windows headers of the x86 and x64 builds"),
    ("mingw-w64-common", "the Windows headers every Windows build compiles with"),
    ("clang-16", "compiles the ARM64 .exe"),
    ("libclang-cpp16", "clang-16's compiler"),
    ("libclang-common-16-dev", "clang-16's own headers"),
    ("lld-16", "links the ARM64 .exe"),
    ("llvm-16", "the ARM64 .exe's resources, kernel32 import library and strip"),
    ("libllvm16", "the code generator of clang-16, lld-16 and llvm-16"),
    ("dpkg", "dpkg-deb writes each .deb again"),
    ("liblzma5", "xz, which compresses the .deb members"),
    ("zlib1g", "deflate, in the .zip, the .rpm payload and the .exe's signing"),
    ("rpm", "rpmbuild writes each .rpm"),
    ("rpm-common", "rpm's macros, which shape the .rpm header"),
    ("librpm9", "rpmbuild's package writer"),
    ("librpmbuild9", "rpmbuild's package writer"),
    ("librpmio9", "rpm's compression and digests"),
    ("librpmsign9", "writes the .rpm signature header"),
    ("libmagic1", "rpmbuild classifies each file in the .rpm header with it"),
    ("libmagic-mgc", "the file classes libmagic1 reads"),
    ("libelf1", "rpmbuild reads the programs' ELF headers with it"),
    ("tar", "writes the source archive and the Linux .tar.gz again"),
    ("gzip", "compresses the source archive and the Linux .tar.gz"),
    ("python3.11-minimal", "runs the zip, SPDX and export steps"),
    ("libpython3.11-minimal", "Python's core modules"),
    ("libpython3.11-stdlib", "zipfile and json, which write the .zip and the SPDX document"),
    ("osslsigncode", "signs uptime-report.exe, or attaches its published signature"),
    ("libssl3", "osslsigncode's cryptography and DER encoding"),
    ("gpg", "signs SHA256SUMS and the .rpm packages"),
    ("libgcrypt20", "gpg's cryptography"),
)


def build_packages(native):
    """"name (= version)" of each installed package that BUILD_PACKAGES names,
    for the NATIVE architecture or "all" unless the pattern says any."""
    listing = subprocess.run(
        ["dpkg-query", "-W", "-f", "${db:Status-Abbrev}\t${Package}\t${Architecture}\t"
                                   "${binary:Package}\t${Version}\n"],
        capture_output=True, text=True, check=True).stdout
    found = set()
    for line in listing.splitlines():
        status, name, arch, qualified, version = line.split("\t")
        if status.strip() != "ii" or name.endswith("-base"):
            continue
        for pattern, _ in BUILD_PACKAGES:
            any_arch = pattern.endswith(":*")
            if fnmatch.fnmatchcase(name, pattern.removesuffix(":*")) and (
                    any_arch or arch in (native, "all")):
                found.add(f"{qualified} (= {version})")
    return sorted(found)


def checksums(directory, names, algorithms):
    """For each algorithm, the lines " DIGEST SIZE NAME" of the named files,
    each file read once."""
    lines = {algorithm: [] for algorithm in algorithms}
    for name in names:
        with open(os.path.join(directory, name), "rb") as f:
            data = f.read()
        for algorithm in algorithms:
            lines[algorithm].append(f" {hashlib.new(algorithm, data).hexdigest()} {len(data)} {name}")
    return lines


def buildinfo(directory, version, commit, epoch):
    """BUILDINFO in deb-buildinfo(5)'s fields, every required one present;
    Installed-Build-Depends holds BUILD_PACKAGES, not every essential
    package. Commit and Source-Date-Epoch are the release's own."""
    names = sorted(n for n in os.listdir(directory) if n not in ("BUILDINFO", "SHA256SUMS"))
    arches = sorted({n.rsplit("_", 1)[1].removesuffix(".deb") for n in names if n.endswith(".deb")})
    native = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                            check=True).stdout.strip()
    lines = ["Format: 1.0", "Source: uptime-report", "Binary: uptime-report",
             "Architecture: " + " ".join(["source"] + arches), f"Version: {version}",
             f"Commit: {commit}", f"Source-Date-Epoch: {epoch}",
             f"Build-Architecture: {native}"]
    fields = {"md5": "Md5", "sha1": "Sha1", "sha256": "Sha256"}
    for algorithm, digests in checksums(directory, names, fields).items():
        lines += [f"Checksums-{fields[algorithm]}:"] + digests
    packages = build_packages(native)
    lines += ["Installed-Build-Depends:"] + [f" {p}," for p in packages[:-1]] + [f" {packages[-1]}"]
    lines += ["Environment:", ' LC_ALL="C"', f' SOURCE_DATE_EPOCH="{epoch}"', ' TZ="UTC"']
    sys.stdout.write("\n".join(lines) + "\n")


def read_fields(path):
    """A deb822 paragraph as {field: [lines]}; the first line is the text
    after the colon."""
    fields, name = {}, None
    for line in open(path, encoding="utf-8").read().splitlines():
        if line[:1] in (" ", "\t") and name:
            fields[name].append(line.strip())
        elif ":" in line:
            name, _, value = line.partition(":")
            fields[name] = [value.strip()]
    return fields


def compare_buildinfo(published, rebuilt):
    """Installed packages that differ are noted, both ways; any other field
    that differs fails."""
    theirs, ours = read_fields(published), read_fields(rebuilt)
    failed = False
    for name in sorted(theirs.keys() | ours.keys()):
        if name == "Installed-Build-Depends":
            continue
        if theirs.get(name) != ours.get(name):
            released, rebuilt_lines = theirs.get(name, []), ours.get(name, [])
            only_released = [l for l in released if l not in rebuilt_lines] or ["(nothing)"]
            only_rebuilt = [l for l in rebuilt_lines if l not in released] or ["(nothing)"]
            print(f"fail BUILDINFO's {name} differs: {'; '.join(only_released)} in the release, "
                  f"{'; '.join(only_rebuilt)} rebuilt")
            failed = True

    def packages(fields):
        entries = " ".join(fields.get("Installed-Build-Depends", [])).split(",")
        return dict(e.strip().rstrip(")").split(" (= ") for e in entries if e.strip())
    theirs, ours = packages(theirs), packages(ours)
    for name in sorted(theirs.keys() | ours.keys()):
        if name not in ours:
            print(f"note {name} {theirs[name]} is in the release's BUILDINFO, not in the rebuild's")
        elif name not in theirs:
            print(f"note {name} {ours[name]} is in the rebuild's BUILDINFO, not in the release's")
        elif theirs[name] != ours[name]:
            print(f"note {name}: {theirs[name]} in the release, {ours[name]} here")
    return 1 if failed else 0


def link_passed(parts, links):
    """The first folder on the path PARTS that is one of the archive's LINKS."""
    return next((p for i in range(1, len(parts) + 1) if (p := "/".join(parts[:i])) in links), None)


def link_leads_out(path, target, links):
    """Whether the link at PATH leads outside the archive's folder, as the
    file system follows it: step by step, where another link on the way
    (x/l/.. with x/l a link) is refused rather than followed."""
    if target.startswith("/"):
        return True
    parts = path.split("/")[:-1]
    for part in target.split("/"):
        if part == "..":
            if not parts or link_passed(parts, links):
                return True
            parts.pop()
        elif part not in ("", "."):
            parts.append(part)
    return bool(link_passed(parts[:-1], links))


# The project's sources unpack to a few megabytes: a larger archive would
# only fill the disk or the memory of whoever checks and rebuilds it.
SOURCE_SIZE_LIMIT = 256 << 20


def archive_members(archive):
    """The source archive's members, as (path inside its top folder, member),
    refusing any that could reach outside that folder when unpacked."""
    members, tops, seen, size = [], set(), set(), 0
    with tarfile.open(archive, "r:gz") as tar:
        for member in tar:
            name = member.name
            size += member.size
            if size > SOURCE_SIZE_LIMIT:
                sys.exit(f"the archive unpacks to more than {SOURCE_SIZE_LIMIT >> 20} MiB; "
                         f"a source archive is far smaller")
            parts = name.rstrip("/").split("/")
            if name.startswith("/") or {"..", "."} & set(parts) or "" in parts:
                sys.exit(f"{name}: a member outside the archive's folder")
            if not (member.isfile() or member.isdir() or member.issym()):
                sys.exit(f"{name}: a {'hard link' if member.islnk() else 'device or special file'}"
                         f"; the source archive holds files, folders and symbolic links only")
            if name.rstrip("/") in seen:
                sys.exit(f"{name}: a member the archive holds twice")
            seen.add(name.rstrip("/"))
            tops.add(parts[0])
            if len(parts) > 1:
                members.append(("/".join(parts[1:]), member))
        if len(tops) != 1:
            sys.exit(f"the archive has {len(tops)} top folders; a source archive has one")
        links = {path for path, member in members if member.issym()}
        for path, member in members:
            if link_passed(path.split("/")[:-1], links):
                sys.exit(f"{member.name}: a member beneath a symbolic link")
            if member.issym() and link_leads_out(path, member.linkname, links):
                sys.exit(f"{member.name}: a symbolic link leading out of the archive, or through "
                         f"another one ({member.linkname})")
        # Files are read as they are needed, a piece at a time: a member of
        # gigabytes of zeros is a few megabytes compressed.
        for path, member in members:
            yield path, member, (tar.extractfile(member) if member.isfile() else None)


# RELEASE-INFO is three short lines; more is not read into memory.
RELEASE_INFO_LIMIT = 4096


def check_archive(archive, buildinfo_path, spdx_path):
    release_info = {}
    for path, member, data in archive_members(archive):
        if path == "RELEASE-INFO" and member.isfile():
            if member.size > RELEASE_INFO_LIMIT:
                sys.exit(f"RELEASE-INFO holds {member.size} bytes; it is a few lines")
            release_info = dict(line.split(": ", 1) for line in
                                data.read().decode(errors="replace").splitlines() if ": " in line)
    # A BUILDINFO or an SPDX document that does not parse names no commit.
    try:
        buildinfo_commit = " ".join(read_fields(buildinfo_path).get("Commit", ["(none)"]))
    except (OSError, UnicodeDecodeError) as error:
        sys.exit(f"BUILDINFO cannot be read: {error}")
    try:
        document = json.load(open(spdx_path, encoding="utf-8"))
        comment = document.get("comment", "") if isinstance(document, dict) else ""
    except (OSError, ValueError) as error:
        sys.exit(f"the SPDX document cannot be read: {error}")
    named = {
        "the source archive's RELEASE-INFO": release_info.get("Commit", "(none)"),
        "BUILDINFO": buildinfo_commit,
        "the SPDX document": str(comment).rpartition("from commit ")[2].rstrip("."),
    }
    if len(set(named.values())) != 1:
        sys.exit("the release names more than one commit: "
                 + "; ".join(f"{where} names {commit or '(none)'}" for where, commit in named.items()))
    commit = release_info["Commit"]
    if len(commit) not in (40, 64) or any(c not in "0123456789abcdef" for c in commit):
        sys.exit(f"RELEASE-INFO's commit is not a commit name: {commit!r}")
    print(commit)


def git_blob(data, size, algorithm):
    """git's name for a file of SIZE bytes read from DATA, a piece at a time."""
    digest = hashlib.new(algorithm, b"blob %d\0" % size)
    while piece := data.read(1 << 20):
        digest.update(piece)
    return digest.hexdigest()


def compare_source(archive, repo, commit):
    """Each file of the archive against the commit's: its blob and its mode
    (644, 755 or a symbolic link). RELEASE-INFO is the only file the archive
    may add."""
    listing = subprocess.run(["git", "-C", repo, "ls-tree", "-r", "-z", "--full-tree", commit],
                             capture_output=True, check=True).stdout
    expected = {}
    for record in listing.split(b"\0"):
        if record:
            meta, path = record.split(b"\t", 1)
            mode, _, blob = meta.decode().split()
            expected[os.fsdecode(path)] = (mode, blob)
    algorithm = "sha256" if len(commit) == 64 else "sha1"
    modes = {0o644: "100644", 0o755: "100755"}
    differences, folders, parents = [], [], set()
    for path, member, data in archive_members(archive):
        if member.isdir():
            folders.append(path.rstrip("/"))
            continue
        parents.update(path[:i] for i in range(len(path)) if path[i] == "/")
        if path == "RELEASE-INFO":
            continue
        if member.issym():
            target = member.linkname.encode()
            mode, data, size = "120000", io.BytesIO(target), len(target)
        else:
            size = member.size
            mode = modes.get(member.mode, oct(member.mode))
        if path not in expected:
            differences.append(f"{path}: not in the commit")
            continue
        want_mode, want_blob = expected.pop(path)
        if git_blob(data, size, algorithm) != want_blob:
            differences.append(f"{path}: its content differs from the commit's")
        if mode != want_mode:
            differences.append(f"{path}: mode {mode} in the archive, {want_mode} in the commit")
    differences += [f"{path}: in the commit, missing from the archive" for path in sorted(expected)]
    # git keeps no folder without a file in it.
    differences += [f"{folder}/: an empty folder, which no commit holds"
                    for folder in folders if folder not in parents]
    for line in differences:
        print(line)
    return 1 if differences else 0


# What the manifests say of the program, as its packages do.
PACKAGE_IDENTIFIER = "UptimeReport.UptimeReport"
PUBLISHER = "The uptime-report developers"
DESCRIPTION = "Prints how long the system has been running"
# winget's and Scoop's names for each architecture of the .zip files.
WINDOWS_ARCHITECTURES = [("x86", "x86", "32bit"), ("x64", "x64", "64bit"),
                         ("arm64", "arm64", "arm64")]


def yaml_text(value):
    # Single-quoted YAML takes every character as it is, backslashes too.
    return "'" + value.replace("'", "''") + "'"


def manifests(directory, version, url):
    """Writes the winget manifest set (1.6.0) and the Scoop manifest of the
    .zip files in DIRECTORY, each holding FOLDER/uptime-report.exe, and
    returns the files' names."""
    url = url.rstrip("/")
    installers, scoop_architectures = [], {}
    for zip_arch, winget_arch, scoop_arch in WINDOWS_ARCHITECTURES:
        folder = f"uptime-report-{version}-windows-{zip_arch}"
        archive = os.path.join(directory, folder + ".zip")
        with zipfile.ZipFile(archive) as z:
            if f"{folder}/uptime-report.exe" not in z.namelist():
                sys.exit(f"release: {folder}.zip holds no {folder}/uptime-report.exe")
        digest = sha256(archive)
        installers += [f"- Architecture: {winget_arch}",
                       f"  InstallerUrl: {yaml_text(f'{url}/{folder}.zip')}",
                       f"  InstallerSha256: {digest.upper()}",
                       "  NestedInstallerFiles:",
                       f"  - RelativeFilePath: {yaml_text(folder + chr(92) + 'uptime-report.exe')}",
                       "    PortableCommandAlias: uptime-report"]
        scoop_architectures[scoop_arch] = {"url": f"{url}/{folder}.zip", "hash": digest,
                                           "extract_dir": folder}
    head = [f"PackageIdentifier: {PACKAGE_IDENTIFIER}", f"PackageVersion: {yaml_text(version)}"]
    tail = ["ManifestVersion: 1.6.0"]
    files = {
        f"{PACKAGE_IDENTIFIER}.yaml": head + ["DefaultLocale: en-US", "ManifestType: version"],
        f"{PACKAGE_IDENTIFIER}.installer.yaml": head + [
            "InstallerType: zip", "NestedInstallerType: portable",
            # GetTickCount64 needs Vista; the program is for Windows 7 and later.
            "MinimumOSVersion: 6.1.7600", "Installers:"] + installers
            + ["ManifestType: installer"],
        f"{PACKAGE_IDENTIFIER}.locale.en-US.yaml": head + [
            "PackageLocale: en-US", f"Publisher: {yaml_text(PUBLISHER)}",
            "PackageName: uptime-report", "License: MIT",
            f"ShortDescription: {yaml_text(DESCRIPTION)}", "ManifestType: defaultLocale"],
    }
    names = []
    for name, lines in files.items():
        with open(os.path.join(directory, name), "w", encoding="utf-8", newline="\n") as f:
            f.write("# The winget manifest of uptime-report, written by scripts/release.sh\n")
            f.write("\n".join(lines + tail) + "\n")
        names.append(name)
    scoop = {"version": version, "description": DESCRIPTION, "homepage": url, "license": "MIT",
             "architecture": scoop_architectures, "bin": "uptime-report.exe"}
    with open(os.path.join(directory, "uptime-report.json"), "w", encoding="utf-8") as f:
        json.dump(scoop, f, indent=4)
        f.write("\n")
    return names + ["uptime-report.json"]


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "export":
        export(*args)
    elif command == "rezip":
        rezip(args[0], int(args[1]), args[2], *args[3:])
    elif command == "spdx":
        spdx(*args)
    elif command == "rpm-signature":
        rpm_signature(*args)
    elif command == "transplant-rpm-signature":
        transplant_rpm_signature(*args)
    elif command == "manifests":
        print(*manifests(*args), sep="\n")
    elif command == "buildinfo":
        buildinfo(*args)
    elif command == "compare-buildinfo":
        sys.exit(compare_buildinfo(*args))
    elif command == "check-archive":
        check_archive(*args)
    elif command == "compare-source":
        sys.exit(compare_source(*args))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()

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
  release_tools.py transplant-rpm-signature RELEASED REBUILT
      gives the rebuilt .rpm the released one's signature header
  release_tools.py manifests DIR VERSION URL
      writes into DIR the winget manifests (version, installer, defaultLocale)
      and the Scoop manifest of the Windows .zip files in DIR, as published
      under URL, and prints their names
"""
import hashlib
import json
import os
import subprocess
import sys
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
    # zip keeps no time before 1980.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
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
        "documentNamespace": "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL,
                                                          f"{name}/{version}/{commit}/{epoch}")),
        "comment": f"The release of {name} {version} from commit {commit}.",
        "creationInfo": {
            "created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch))),
            "creators": ["Tool: scripts/release.sh", supplier]},
        "packages": packages + [components[k] for k in sorted(components)],
        "relationships": relationships,
    }
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


def transplant_rpm_signature(released, rebuilt):
    """Gives the rebuilt .rpm the released one's lead and signature header.
    Whether the signature holds for the rebuilt package is what comparing the
    two afterwards tells."""
    theirs = open(released, "rb").read()
    ours = open(rebuilt, "rb").read()
    with open(rebuilt, "wb") as f:
        f.write(theirs[:rpm_signature_end(theirs, released)] + ours[rpm_signature_end(ours, rebuilt):])


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
    elif command == "transplant-rpm-signature":
        transplant_rpm_signature(*args)
    elif command == "manifests":
        print(*manifests(*args), sep="\n")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()

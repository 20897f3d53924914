"""The winget (1.6.0) and Scoop manifests of the Windows .zip files, which
point at where the release is published."""

import json

PACKAGE_IDENTIFIER = "UptimeReport.UptimeReport"
PUBLISHER = "The uptime-report developers"
DESCRIPTION = "Prints how long the system has been running"
# winget itself runs on Windows 10 1809 and later; Windows on ARM64 begins
# with Windows 10 1709 (10.0.16299), so one minimum serves all three.
MINIMUM_OS_VERSION = "10.0.17763.0"
COMMENT = "# The winget manifest of uptime-report, written by scripts/release.sh\n"


def _yaml(value):
    # Single-quoted YAML takes every character as it is, backslashes too.
    return "'" + value.replace("'", "''") + "'"


def write(zips, version, revision, release_url, project_url):
    """{file name: text}. ZIPS: {Windows architecture (its line of
    cmake/architectures, with winget's and Scoop's names for it): (file name,
    folder, sha256)}, in the table's order.
    winget compares versions part by part between dots, so a package
    revision is a further part there (1.00.2); Scoop takes 1.00-2."""
    url = release_url.rstrip("/")
    winget_version = version if revision == 1 else f"{version}.{revision}"
    scoop_version = version if revision == 1 else f"{version}-{revision}"
    installers, scoop_architectures = [], {}
    for arch, (name, folder, digest) in zips.items():
        installers += [
            f"- Architecture: {arch.winget}",
            f"  InstallerUrl: {_yaml(f'{url}/{name}')}",
            f"  InstallerSha256: {digest.upper()}",
            "  NestedInstallerFiles:",
            f"  - RelativeFilePath: {_yaml(folder + chr(92) + 'uptime-report.exe')}",
            "    PortableCommandAlias: uptime-report",
        ]
        scoop_architectures[arch.scoop] = {"url": f"{url}/{name}", "hash": digest, "extract_dir": folder}
    head = [f"PackageIdentifier: {PACKAGE_IDENTIFIER}", f"PackageVersion: {_yaml(winget_version)}"]
    locale = [
        "PackageLocale: en-US",
        f"Publisher: {_yaml(PUBLISHER)}",
        "PackageName: uptime-report",
        "License: MIT",
        f"ShortDescription: {_yaml(DESCRIPTION)}",
    ]
    if project_url:
        locale.insert(2, f"PackageUrl: {_yaml(project_url)}")
    files = {
        f"{PACKAGE_IDENTIFIER}.yaml": head + ["DefaultLocale: en-US", "ManifestType: version"],
        f"{PACKAGE_IDENTIFIER}.installer.yaml": head
        + [
            "InstallerType: zip",
            "NestedInstallerType: portable",
            f"MinimumOSVersion: {MINIMUM_OS_VERSION}",
            "Installers:",
        ]
        + installers
        + ["ManifestType: installer"],
        f"{PACKAGE_IDENTIFIER}.locale.en-US.yaml": head + locale + ["ManifestType: defaultLocale"],
    }
    texts = {name: COMMENT + "\n".join(lines + ["ManifestVersion: 1.6.0"]) + "\n" for name, lines in files.items()}
    scoop = {
        "version": scoop_version,
        "description": DESCRIPTION,
        "license": "MIT",
        "architecture": scoop_architectures,
        "bin": "uptime-report.exe",
    }
    # Scoop's homepage is a page about the program, never the download
    # folder: without the project's address, there is none.
    if project_url:
        scoop["homepage"] = project_url
    texts["uptime-report.json"] = json.dumps(scoop, indent=4) + "\n"
    return texts

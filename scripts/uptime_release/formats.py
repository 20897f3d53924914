"""What the pacman packages and the OCI image say about themselves: the
fields makepkg writes into a package (.PKGINFO, .BUILDINFO, .MTREE) and the
image's JSON documents (config, manifest, index, layout). Written from what
the release knows, with no clock and in a fixed order, so that the same
release gives the same bytes; the archives around them are steps.py's."""

import gzip
import hashlib
import json
import time

NAME = "uptime-report"
PACKAGER = "The uptime-report developers <uptime-report@users.noreply.github.com>"
DESCRIPTION = "Print how long the system has been running"
PROGRAM = f"usr/bin/{NAME}"
# nobody and nogroup (Debian) or nobody (Arch): no account's files, no root.
USER = "65534:65534"
OCI = "application/vnd.oci.image."


def pacman_version(version, revision):
    """pacman's pkgver-pkgrel: 1.00-2, and 1.00-1 for revision 1."""
    return f"{version.partition('-')[0]}-{revision}"


def pkginfo(version, arch, epoch, size, licences, url):
    """.PKGINFO, which pacman and repo-add read: LICENCES as SPDX names,
    the program's own first; SIZE the installed bytes."""
    lines = [
        f"# {NAME}'s release program",
        f"pkgname = {NAME}",
        f"pkgbase = {NAME}",
        "xdata = pkgtype=pkg",
        f"pkgver = {version}",
        f"pkgdesc = {DESCRIPTION}",
    ]
    lines += [f"url = {url}"] if url else []
    lines += [f"builddate = {epoch}", f"packager = {PACKAGER}", f"size = {size}", f"arch = {arch}"]
    lines += [f"license = {licence}" for licence in licences]
    return "".join(line + "\n" for line in lines)


def buildinfo(version, arch, epoch):
    """.BUILDINFO in makepkg's format 2, as far as it holds for a package not
    made by makepkg: the release's BUILDINFO names the roots it was built in."""
    fields = [
        ("format", "2"),
        ("pkgname", NAME),
        ("pkgbase", NAME),
        ("pkgver", version),
        ("pkgarch", arch),
        ("packager", PACKAGER),
        ("builddate", epoch),
        ("builddir", "/build"),
        ("startdir", "/build"),
        ("buildtool", f"{NAME}-release"),
        ("buildtoolver", version),
    ]
    return "".join(f"{key} = {value}\n" for key, value in fields)


def mtree(entries, epoch):
    """.MTREE, gzipped, as bsdtar writes it for makepkg: ENTRIES are (path,
    mode, bytes or None for a folder), in the archive's order."""
    lines = ["#mtree", "/set type=file uid=0 gid=0 mode=644"]
    for path, mode, data in entries:
        line = f"./{path} time={epoch}.0"
        if data is None:
            line += f" mode={mode:o} type=dir"
        else:
            line += "" if mode == 0o644 else f" mode={mode:o}"
            line += f" size={len(data)} md5digest={hashlib.md5(data).hexdigest()}"
            line += f" sha256digest={digest(data)}"
        lines.append(line)
    return gzip.compress("".join(line + "\n" for line in lines).encode(), 9, mtime=0)


def _json(document):
    return json.dumps(document, separators=(",", ":")).encode()


def digest(data):
    return hashlib.sha256(data).hexdigest()


def descriptor(media_type, data, **more):
    return {"mediaType": media_type, "digest": f"sha256:{digest(data)}", "size": len(data), **more}


def _created(epoch):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch))


def platform(oci):
    """The OCI platform of the table's ARCH or ARCH/VARIANT."""
    arch, _, variant = oci.partition("/")
    return {"architecture": arch, "os": "linux", **({"variant": variant} if variant else {})}


def image(oci, layer, diff_id, version, epoch):
    """(config, manifest) of one machine's image: LAYER (gzipped) holds the
    program and its licences, DIFF_ID is the SHA-256 of its tar. It runs as
    nobody, with the program as its entry point."""
    config = _json(
        {
            "created": _created(epoch),
            **platform(oci),
            "config": {"User": USER, "Entrypoint": ["/" + PROGRAM]},
            "rootfs": {"type": "layers", "diff_ids": [f"sha256:{diff_id}"]},
            "history": [{"created": _created(epoch), "created_by": f"{NAME} {version}'s release"}],
        }
    )
    manifest = _json(
        {
            "schemaVersion": 2,
            "mediaType": OCI + "manifest.v1+json",
            "config": descriptor(OCI + "config.v1+json", config),
            "layers": [descriptor(OCI + "layer.v1.tar+gzip", layer)],
        }
    )
    return config, manifest


def index(manifests, version, commit, epoch):
    """(the index over the machines' MANIFESTS {oci: manifest}, whose digest
    is the image's; the layout's index.json, naming it uptime-report:VERSION,
    which podman load takes as its name)."""
    annotations = {
        "org.opencontainers.image.created": _created(epoch),
        "org.opencontainers.image.revision": commit,
        "org.opencontainers.image.title": NAME,
        "org.opencontainers.image.version": version,
    }
    blob = _json(
        {
            "schemaVersion": 2,
            "mediaType": OCI + "index.v1+json",
            "manifests": [
                descriptor(OCI + "manifest.v1+json", manifest, platform=platform(oci))
                for oci, manifest in manifests.items()
            ],
            "annotations": annotations,
        }
    )
    top = _json(
        {
            "schemaVersion": 2,
            "mediaType": OCI + "index.v1+json",
            "manifests": [
                descriptor(
                    OCI + "index.v1+json", blob, annotations={"org.opencontainers.image.ref.name": f"{NAME}:{version}"}
                )
            ],
        }
    )
    return blob, top


LAYOUT = _json({"imageLayoutVersion": "1.0.0"})

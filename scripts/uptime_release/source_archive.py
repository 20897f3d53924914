"""The source archive: the commit's files as git stores them, read back
strictly (every member a file, folder or link below one top folder, bounded
in size), and compared with the commit."""

import gzip
import hashlib
import io
import os
import tarfile
import zlib

from . import releaseinfo, runner
from .errors import FormatError, MachineError

# The project's sources unpack to a few megabytes: a larger archive would
# only fill the disk or the memory of whoever checks and rebuilds it.
SIZE_LIMIT = 256 << 20
MEMBER_LIMIT = 10000
# A long name or a few pax records: tarfile reads each whole, and follows a
# chain of them by recursion.
EXTENDED_LIMIT, CHAIN_LIMIT = 64 << 10, 4
RELEASE_INFO = "RELEASE-INFO"


def git_env():
    """git with none of the caller's settings, but their safe.directory
    entries (system, global, command line), which let git read a checkout
    that another user owns: no filter, eol or archive setting applies."""
    try:
        safe = runner.output(
            ["git", "config", "--show-scope", "--get-all", "safe.directory"],
            "git config",
            cwd="/",
            env={k: v for k, v in os.environ.items() if k not in ("GIT_DIR", "GIT_CONFIG")},
        ).decode()
    except runner.Failed:  # none is set
        safe = ""
    values = [
        line.split("\t", 1)[1]
        for line in safe.splitlines()
        if line.split("\t", 1)[0] in ("system", "global", "command") and "\t" in line
    ]
    env = {
        "PATH": "/usr/bin:/bin:/usr/sbin:/sbin",
        "LC_ALL": "C",
        "GIT_CONFIG_NOSYSTEM": "1",
        "GIT_CONFIG_GLOBAL": "/dev/null",
        "GIT_CONFIG_COUNT": str(len(values)),
    }
    for index, value in enumerate(values):
        env[f"GIT_CONFIG_KEY_{index}"], env[f"GIT_CONFIG_VALUE_{index}"] = "safe.directory", value
    return env


def git_files(repo, commit):
    """{path: (mode, blob)} of the commit, from git's own listing."""
    try:
        listing = runner.output(
            ["git", "-C", str(repo), "ls-tree", "-r", "-z", "--full-tree", commit], "git ls-tree", env=git_env()
        )
    except runner.Failed as failed:
        raise MachineError(f"git cannot list commit {commit} in {repo}: {' '.join(failed.tail)}") from None
    files = {}
    for record in filter(None, listing.split(b"\0")):
        meta, path = record.split(b"\t", 1)
        mode, kind, blob = meta.decode().split()
        if kind != "blob":
            raise MachineError(f"{path.decode()} is a {kind}; a release holds files only")
        files[os.fsdecode(path)] = (mode, blob)
    return files


def export(repo, commit, dest):
    """Writes the commit's files into DEST exactly as git stores them: no
    line-end conversion, filter or attribute applies, whatever git's settings."""
    files = git_files(repo, commit)
    blobs = runner.output(
        ["git", "-C", str(repo), "cat-file", "--batch"],
        "git cat-file",
        stdin="".join(f"{blob}\n" for _, blob in files.values()).encode(),
        env=git_env(),
    )
    offset = 0
    for path, (mode, _) in files.items():
        header_end = blobs.index(b"\n", offset)
        size = int(blobs[offset:header_end].split()[2])
        data = blobs[header_end + 1 : header_end + 1 + size]
        offset = header_end + 1 + size + 1
        target = os.path.join(dest, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if mode == "120000":
            os.symlink(os.fsdecode(data), target)
            continue
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, 0o755 if mode == "100755" else 0o644)


def _scan(archive, name):
    """Walks the archive's headers, a block at a time, before tarfile reads
    any: refuses one that would unpack past the bounds, or whose extended
    headers (a long name, pax records) are long or chained."""
    total, members, chain = 0, 0, 0
    try:
        with gzip.open(archive, "rb") as stream:
            while len(header := stream.read(512)) == 512 and header != bytes(512):
                field = header[124:136]
                if field[0] & 0x80:
                    size = int.from_bytes(bytes([field[0] & 0x7F]) + field[1:], "big")
                else:
                    size = int(field.strip(b"\0 ") or b"0", 8)
                if header[156:157] in (b"L", b"K", b"x", b"g"):
                    chain += 1
                    if size > EXTENDED_LIMIT or chain > CHAIN_LIMIT:
                        raise FormatError(
                            name,
                            0,
                            "an extended header (a long name or pax records) longer than "
                            f"{EXTENDED_LIMIT >> 10} KiB, or more than {CHAIN_LIMIT} in a row",
                        )
                else:
                    chain, members = 0, members + 1
                total += size
                if total > SIZE_LIMIT or members > MEMBER_LIMIT:
                    raise FormatError(
                        name,
                        0,
                        f"unpacks to more than {SIZE_LIMIT >> 20} MiB or "
                        f"{MEMBER_LIMIT} members; a source archive is far smaller",
                    )
                left = -(-size // 512) * 512
                while left and (piece := stream.read(min(left, 1 << 20))):
                    left -= len(piece)
    except (OSError, EOFError, ValueError, zlib.error) as error:
        raise FormatError(name, 0, f"is not a gzip-compressed tar archive: {error}")


def members(archive, top):
    """The archive's members below TOP, as (path, member, file or None): TOP
    must be the first member, a folder, and everything else below it, each a
    file, a folder or a symbolic link, once. (They are read here, never
    unpacked: the rebuild unpacks them through tarfile's data filter, which
    refuses a link leading out.)"""
    name = os.path.basename(archive)
    _scan(archive, name)
    found, seen, size = [], set(), 0
    try:
        tar = tarfile.open(archive, "r:gz")
    except (tarfile.TarError, OSError) as error:
        raise FormatError(name, 0, f"is not a gzip-compressed tar archive: {error}")
    with tar:
        try:
            for index, member in enumerate(tar):
                size += max(member.size, 0)
                if size > SIZE_LIMIT or index >= MEMBER_LIMIT:
                    raise FormatError(
                        name,
                        0,
                        f"unpacks to more than {SIZE_LIMIT >> 20} MiB or "
                        f"{MEMBER_LIMIT} members; a source archive is far smaller",
                    )
                path = member.name.rstrip("/") if member.isdir() else member.name
                parts = path.split("/")
                if index == 0:
                    if path != top or not member.isdir():
                        raise FormatError(name, 0, f"its first member is {member.name}, not the folder {top}/")
                    continue
                if parts[0] != top or len(parts) < 2 or {"", ".", ".."} & set(parts):
                    raise FormatError(name, 0, f"{member.name}: a member outside the folder {top}/")
                if not (member.isfile() or member.isdir() or member.issym()):
                    kind = "hard link" if member.islnk() else "device or special file"
                    raise FormatError(
                        name,
                        0,
                        f"{member.name}: a {kind}; the source archive holds files, folders and symbolic links only",
                    )
                if path in seen:
                    raise FormatError(name, 0, f"{member.name}: a member the archive holds twice")
                seen.add(path)
                found.append(("/".join(parts[1:]), member))
            # Files are read as they are needed, a piece at a time: a member
            # of gigabytes of zeros is a few megabytes compressed.
            for path, member in found:
                yield path, member, (tar.extractfile(member) if member.isfile() else None)
        except (tarfile.TarError, EOFError, OSError) as error:
            if isinstance(error, OSError) and error.errno is not None:
                raise
            raise FormatError(name, 0, f"cannot be read as a tar archive: {error}")


def read_release_info(archive, top):
    for path, member, data in members(archive, top):
        if path == RELEASE_INFO:
            if not member.isfile():
                raise FormatError(os.path.basename(archive), 0, f"{RELEASE_INFO} is not a file")
            return releaseinfo.read(data.read(4097), f"{top}/{RELEASE_INFO}")
    raise FormatError(os.path.basename(archive), 0, f"holds no {top}/{RELEASE_INFO}")


def _git_blob(data, size, algorithm):
    """git's name for a file of SIZE bytes read from DATA, a piece at a time."""
    digest = hashlib.new(algorithm, b"blob %d\0" % size)
    while piece := data.read(1 << 20):
        digest.update(piece)
    return digest.hexdigest()


def differences(archive, top, repo, commit):
    """How the archive differs from the commit, one line per file: content
    and mode (644, 755 or a symbolic link). RELEASE-INFO is the only file the
    archive may add."""
    expected = git_files(repo, commit)
    algorithm = "sha256" if len(commit) == 64 else "sha1"
    modes = {0o644: "100644", 0o755: "100755"}
    found, folders, parents = [], [], set()
    for path, member, data in members(archive, top):
        if member.isdir():
            folders.append(path)
            continue
        parents.update(path[:i] for i in range(len(path)) if path[i] == "/")
        if path == RELEASE_INFO:
            continue
        if member.issym():
            target = member.linkname.encode()
            mode, data, size = "120000", io.BytesIO(target), len(target)
        else:
            size, mode = member.size, modes.get(member.mode, oct(member.mode))
        if path not in expected:
            found.append(f"{path}: not in the commit")
            continue
        want_mode, want_blob = expected.pop(path)
        if _git_blob(data, size, algorithm) != want_blob:
            found.append(f"{path}: its content differs from the commit's")
        if mode != want_mode:
            found.append(f"{path}: mode {mode} in the archive, {want_mode} in the commit")
    found += [f"{path}: in the commit, missing from the archive" for path in sorted(expected)]
    # git keeps no folder without a file in it.
    found += [f"{folder}/: an empty folder, which no commit holds" for folder in folders if folder not in parents]
    return found

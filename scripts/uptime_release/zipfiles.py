"""The Windows .zip files: read back within bounds, and written again the same
way every time (members in name order, one time, fixed modes).

Python's zipfile reads a whole central directory before anything can be
checked, an object per member: a few hundred megabytes of empty members
would take gigabytes. So the end record's count and size are checked here
first, and everything a .zip holds stays within a few megabytes."""

import io
import struct
import time
import zipfile

from .errors import FormatError

# A .zip holds one small program and three texts, some kilobytes.
SIZE_LIMIT = 16 << 20
MEMBER_LIMIT = 64
DIRECTORY_LIMIT = 64 << 10
END, ZIP64_LOCATOR = b"PK\x05\x06", b"PK\x06\x07"


def _check_directory(data, name):
    """Refuses a .zip whose end record claims more members or a larger
    central directory than a release's .zip has, or the ZIP64 form, which
    one never needs."""
    tail = data[-(22 + 0xFFFF) :]
    at = tail.rfind(END)
    if at < 0 or len(tail) - at < 22:
        raise FormatError(name, 0, "is not a .zip: it has no end record")
    entries, size = struct.unpack("<xxxxxxxxxxHI", tail[at : at + 16])
    if at >= 20 and tail[at - 20 : at - 16] == ZIP64_LOCATOR or entries == 0xFFFF or size == 0xFFFFFFFF:
        raise FormatError(name, 0, "is a ZIP64 archive, which a release's .zip never is")
    if entries > MEMBER_LIMIT or size > DIRECTORY_LIMIT:
        raise FormatError(
            name,
            0,
            f"claims {entries} members in a {size}-byte directory; a release's .zip holds at most {MEMBER_LIMIT}",
        )


def read(data, name):
    """{member name: bytes} of the .zip in DATA, refusing one that is not a
    zip, holds too much, or names a member that could land outside a folder."""
    if len(data) > SIZE_LIMIT:
        raise FormatError(name, 0, f"is larger than {SIZE_LIMIT >> 20} MiB, far more than a release's .zip")
    _check_directory(data, name)
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except (zipfile.BadZipFile, ValueError) as error:
        raise FormatError(name, 0, f"is not a .zip: {error}")
    infos = archive.infolist()
    if len(infos) > MEMBER_LIMIT or sum(i.file_size for i in infos) > SIZE_LIMIT:
        raise FormatError(name, 0, f"holds more than {MEMBER_LIMIT} members or {SIZE_LIMIT >> 20} MiB")
    contents = {}
    for info in infos:
        parts = info.filename.split("/")
        if info.filename.startswith("/") or {"", ".", ".."} & set(parts[:-1]) or "\\" in info.filename:
            raise FormatError(name, 0, f"{info.filename}: a member outside the archive's folder")
        if info.filename in contents:
            raise FormatError(name, 0, f"{info.filename}: a member the archive holds twice")
        try:
            contents[info.filename] = _member(archive, info)
        except (zipfile.BadZipFile, ValueError, RuntimeError, EOFError) as error:
            raise FormatError(name, 0, f"{info.filename} cannot be unpacked: {error}")
    return contents


def _member(archive, info):
    """A member's bytes, inflated a piece at a time: read whole, zipfile
    inflates up to 2 GiB at once, whatever size the member claims."""
    pieces = []
    with archive.open(info) as member:
        while piece := member.read(1 << 20):
            pieces.append(piece)
    return b"".join(pieces)


def executable(data):
    """The members of the .zip in DATA that carry an executable mode."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {i.filename for i in archive.infolist() if (i.external_attr >> 16) & 0o111}


def write(path, contents, executable, epoch):
    """Writes the members in name order, each with EPOCH's time (within zip's
    dates, from 1980), mode 755 for those in EXECUTABLE and 644 for the rest."""
    stamp = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(path, "w") as archive:
        for name in sorted(contents):
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3
            info.external_attr = (0o100755 if name in executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, contents[name], compresslevel=9)

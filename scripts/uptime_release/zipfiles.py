"""The Windows .zip files: read back within bounds, and written again the same
way every time (members in name order, one time, fixed modes)."""
import io
import time
import zipfile

from .errors import FormatError

# A .zip holds one small program and three texts.
SIZE_LIMIT = 256 << 20
MEMBER_LIMIT = 64


def read(data, name):
    """{member name: bytes} of the .zip in DATA, refusing one that is not a
    zip, holds too much, or names a member that could land outside a folder."""
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

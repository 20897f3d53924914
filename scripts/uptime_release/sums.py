"""SHA256SUMS: the one reader and writer. A line is 64 lower-case hex digits,
two spaces and the name of a file in the release folder; names are plain and
in byte order, each once, and the file ends with a newline."""

import hashlib
import re

from . import deb822
from .errors import FormatError

# A release's file names: no folder, no leading dot or dash, nothing that a
# shell or another reader could take for more than a name.
FILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+~-]*")
LINE = re.compile(r"([0-9a-f]{64})  (.*)")
LIMIT = 64 << 10


def read(data, path):
    """{name: digest}, in the file's order."""
    deb822.whole_lines(data, path, LIMIT, "a release's sums are a few kilobytes")
    sums, previous = {}, None
    for number, line in enumerate(data[:-1].split(b"\n"), 1):
        text = line.decode("ascii", "replace")
        match = LINE.fullmatch(text)
        if not match or not FILE_NAME.fullmatch(match[2]):
            raise FormatError(path, number, "not a SHA-256 digest, two spaces and a plain file name")
        name = match[2]
        if name in sums:
            raise FormatError(path, number, f"{name} is listed twice")
        if previous is not None and name.encode() < previous.encode():
            raise FormatError(path, number, f"{name} comes after {previous}; the names are in byte order")
        sums[name], previous = match[1], name
    return sums


def write(sums):
    return "".join(f"{sums[name]}  {name}\n" for name in sorted(sums, key=str.encode))


def file_digests(path, algorithms=("sha256",)):
    """(size, {algorithm: hex digest}) of a file, read once, a piece at a time."""
    digests = {a: hashlib.new(a) for a in algorithms}
    size = 0
    with open(path, "rb") as f:
        while piece := f.read(1 << 20):
            size += len(piece)
            for digest in digests.values():
                digest.update(piece)
    return size, {a: d.hexdigest() for a, d in digests.items()}


def sha256(path):
    return file_digests(path)[1]["sha256"]

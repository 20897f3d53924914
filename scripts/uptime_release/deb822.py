"""The project's deb822 files (BUILDINFO, RELEASE-INFO): read leniently
into fields, then held to one form, byte for byte, by canonical(): each
reader writes its record back and compares, which refuses every departure
(a field given twice, a missing space, a stray line, another order) with
the line where the file first differs."""

import re

from .errors import FormatError


class Field:
    """A field's first-line value and its continuation lines, and the line
    it starts on."""

    def __init__(self, value, line):
        self.value, self.lines, self.line = value, [], line


def whole_lines(data, path, limit, size_reason):
    """Refuses a text file that is empty, larger than LIMIT bytes (with
    SIZE_REASON) or whose last line has no newline: every line-based format
    here is read whole or not at all."""
    if len(data) > limit:
        raise FormatError(path, 0, f"holds {len(data)} bytes; {size_reason}")
    if not data:
        raise FormatError(path, 0, "is empty")
    if not data.endswith(b"\n"):
        raise FormatError(path, data.count(b"\n") + 1, "the last line has no newline")


def read(data, path, limit=1 << 20):
    """Paragraphs of DATA (bytes, ASCII) as [{name: Field}], in order:
    "Name: value" or "Name:" then continuation lines, paragraphs apart by
    empty lines. Lenient: canonical() holds the file to its one form."""
    whole_lines(data, path, limit, f"more than the {limit} it can")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as error:
        raise FormatError(path, data[: error.start].count(b"\n") + 1, "a byte that is not ASCII") from None
    paragraphs, fields, last = [], {}, None
    for number, line in enumerate(text.split("\n")[:-1], 1):
        if not line.strip():
            paragraphs += [fields] if fields else []
            fields, last = {}, None
        elif line[0] in " \t" and last:
            last.lines.append(line.strip())
        else:
            name, _, value = line.partition(":")
            last = fields[name.strip()] = Field(value.strip(), number)
    return paragraphs + ([fields] if fields else [])


def canonical(written, data, path, what):
    """Refuses DATA unless it is WRITTEN (its record, written back), byte for
    byte, naming the first line that differs."""
    if written.encode() == data:
        return
    ours, theirs = written.encode().split(b"\n"), data.split(b"\n")
    line = next((i for i, (a, b) in enumerate(zip(ours, theirs), 1) if a != b), min(len(ours), len(theirs)))
    expected = ours[line - 1].decode() if line <= len(ours) else "(the end of the file)"
    raise FormatError(path, line, f"not in {what}'s one form: expected {expected!r} here")


def check_fields(fields, path, required, optional=()):
    """Refuses a paragraph that lacks a required field or has one outside
    the closed set."""
    for name, field in fields.items():
        if name not in required and name not in optional:
            raise FormatError(path, field.line, f"{name} is not a field of this file")
    for name in required:
        if name not in fields:
            first = min((f.line for f in fields.values()), default=0)
            raise FormatError(path, first, f"the paragraph lacks {name}")


def value(fields, name, path, pattern):
    """The field's one-line value, which must match PATTERN (a regex)."""
    field = fields[name]
    if field.lines or not re.fullmatch(pattern, field.value):
        raise FormatError(path, field.line, f"{name}: {field.value!r} is not a valid value")
    return field.value


def write(paragraphs):
    """deb822 text from [[(name, value or [lines])]], as read() reads it."""
    out = []
    for paragraph in paragraphs:
        for name, content in paragraph:
            if isinstance(content, str):
                out.append(f"{name}: {content}")
            else:
                out += [f"{name}:"] + [f" {line}" for line in content]
        out.append("")
    return "\n".join(out[:-1]) + "\n"

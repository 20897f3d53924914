"""The one reader of the project's deb822 files (BUILDINFO, RELEASE-INFO):
strictly one layout, every departure refused with its line."""
import re

from .errors import FormatError

NAME = re.compile(r"[A-Za-z][A-Za-z0-9-]*")
# Printable ASCII only: the files are written by the release, never by hand.
TEXT = re.compile(r"[ -~]*")


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
    """Paragraphs of DATA (bytes) as [{name: Field}], in order. A field is
    "Name: value", or "Name:" followed by continuation lines of one space
    and text; paragraphs are apart by one empty line; the file ends with a
    newline."""
    whole_lines(data, path, limit, f"more than the {limit} it can")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as error:
        raise FormatError(path, data[:error.start].count(b"\n") + 1,
                          "a byte that is not ASCII") from None
    paragraphs, fields, last = [], {}, None
    lines = text.split("\n")[:-1]
    for number, line in enumerate(lines, 1):
        if not TEXT.fullmatch(line):
            raise FormatError(path, number, "a control character (a tab or a carriage return?)")
        if not line:
            if not fields or number == len(lines) or not lines[number]:
                raise FormatError(path, number, "an empty line where none belongs")
            if not last.value and not last.lines:
                raise FormatError(path, number - 1, "a field with neither a value nor continuation lines")
            paragraphs.append(fields)
            fields, last = {}, None
            continue
        if line.startswith(" "):
            if last is None or last.value:
                raise FormatError(path, number, "a continuation line after a field that has a value")
            if line == " " or line.startswith("  ") or line.endswith(" "):
                raise FormatError(path, number, "a continuation line is one space and text")
            last.lines.append(line[1:])
            continue
        name, colon, value = line.partition(":")
        if not colon or not NAME.fullmatch(name):
            raise FormatError(path, number, "not a field (Name: value)")
        if value and (not value.startswith(" ") or value == " " or value.startswith("  ")
                      or value.endswith(" ")):
            raise FormatError(path, number, f"{name}: one space must stand between the colon and the value")
        if name.lower() in (n.lower() for n in fields):
            raise FormatError(path, number, f"{name} is given twice")
        if last is not None and not last.value and not last.lines:
            raise FormatError(path, number - 1, "a field with neither a value nor continuation lines")
        last = fields[name] = Field(value[1:], number)
    if last is not None and not last.value and not last.lines:
        raise FormatError(path, len(lines), "a field with neither a value nor continuation lines")
    paragraphs.append(fields)
    return paragraphs


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

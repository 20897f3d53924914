"""Writes the notices for a linked program from what its link took.

Usage: notices.py LINKER_MAP LICENCES OWN_COPYRIGHT PROGRAM OUT_DIR [--crlf]

Reads the linker map for every object file and archive member that went into
the program, finds the Debian package of each (dpkg -S) and its source
package, and looks each source up in LICENCES. Writes to OUT_DIR:
  NOTICES             the third-party libraries, each with its Debian
                      package's copyright file and the licence texts that it
                      refers to (NOTICES.txt, with CR LF, given --crlf)
  copyright           OWN_COPYRIGHT with a DEP-5 stanza for usr/bin/PROGRAM
  static-built-using  the sources with their versions, for a .deb's
                      Static-Built-Using field
  components.json     the same, for the release's SPDX document
Fails, writing nothing, when a linked file belongs to no Debian package or
to a source that LICENCES does not list, or when dpkg fails.
"""

import json
import os
import re
import subprocess
import sys
import textwrap


def fail(message):
    sys.exit(f"notices: {message}")


def read_deb822(path):
    """Paragraphs of a deb822 file as dicts; continuation lines keep their
    text, with " ." as an empty line."""
    paragraphs, fields, name = [], {}, None
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("#"):
                continue
            if not line.strip():
                if fields:
                    paragraphs.append(fields)
                fields, name = {}, None
            elif line[0] in " \t":
                text = line.strip()
                fields[name] += "\n" + ("" if text == "." else text)
            else:
                name, _, value = line.partition(":")
                fields[name] = value.strip()
    if fields:
        paragraphs.append(fields)
    return paragraphs


def lld_linked_files(map_path, text):
    """The same from lld's map, which names an archive's members without the
    archive: every input must be an object of this build, named as one below
    the map's folder. A library of the system would go unattributed, so it
    fails instead of going unnoticed."""
    own = {name for _, _, names in os.walk(os.path.dirname(os.path.abspath(map_path))) for name in names}
    inputs = set(re.findall(r"^[0-9a-f]+ +[0-9a-f]+ +[0-9]+ +(\S[^\n]*?):\(", text, re.M))
    for name in sorted(inputs):
        if os.path.basename(name) not in own:
            fail(
                f"lld linked {name}, and its map does not say from which library; "
                "only the build's own objects can be accounted for in an lld link"
            )
    return {}


def linked_files(map_path):
    """{file: [archive members]} for every input the link took: archive
    members pulled in, and object files loaded directly."""
    files = {}
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if text.startswith("Address "):
        return lld_linked_files(map_path, text)
    members = text.split("Archive member included", 1)[-1]
    members = re.split(
        r"\n(?:Discarded input sections|Allocating common symbols|" r"Merging program properties|Memory map)",
        members,
        maxsplit=1,
    )[0]
    for archive, member in re.findall(r"^(\S[^\n(]*)\(([^)\n]+)\)", members, re.M):
        files.setdefault(archive, set()).add(member)
    for path in re.findall(r"^LOAD (\S+\.o(?:bj)?)$", text, re.M):
        files.setdefault(path, set())
    return files


def debian_package(path):
    for candidate in (os.path.normpath(path), os.path.realpath(path)):
        result = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        # 1 is dpkg's "no package owns it"; anything else is dpkg failing
        # (its database, memory), which says nothing about the file.
        if result.returncode not in (0, 1):
            fail(f"dpkg -S {candidate} failed (status {result.returncode}): {result.stderr.strip()}")
        for line in result.stdout.splitlines():
            package, _, owned = line.partition(": ")
            if owned == candidate and "," not in package:
                return package
    return None


def query(package, fmt):
    return subprocess.run(["dpkg-query", "-W", "-f", fmt, package], capture_output=True, text=True, check=True).stdout


def copyright_holders(package, entry):
    """The holders that the package's own copyright file names for all of its
    files, where it is in DEP-5 form; else the entry's."""
    path = f"/usr/share/doc/{package.split(':')[0]}/copyright"
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            machine_readable = f.readline().startswith("Format:")
    except OSError as error:
        fail(f"cannot read {path}: {error}")
    if machine_readable:
        for paragraph in read_deb822(path)[1:]:
            if paragraph.get("Files", "").split() == ["*"] and paragraph.get("Copyright"):
                return paragraph["Copyright"]
    if "Copyright" not in entry:
        fail(f"{path} names no copyright holders in DEP-5 form, and the licences have none for {entry['Name']}")
    return entry["Copyright"]


def main():
    args = [a for a in sys.argv[1:] if a != "--crlf"]
    if len(args) != 5:
        fail(__doc__.strip().splitlines()[2])
    map_path, licences_path, own_copyright, program, out_dir = args
    crlf = "--crlf" in sys.argv
    # Each source name as a pattern, N standing for a version number.
    licences = [
        (re.compile(re.escape(source).replace("N", "[0-9]+")), entry)
        for entry in read_deb822(licences_path)
        for source in entry["Source"].split()
    ]

    # Absolute paths are the system's; the program's own objects are named
    # relative to the build folder.
    components = {}
    for path, members in sorted(linked_files(map_path).items()):
        if not os.path.isabs(path):
            continue
        package = debian_package(path)
        if package is None:
            fail(f"{path} was linked into {program}, but no Debian package owns it")
        source, source_version, version = query(package, "${source:Package}\t${source:Version}\t${Version}").split("\t")
        entry = next((e for pattern, e in licences if pattern.fullmatch(source)), None)
        if entry is None:
            fail(
                f"{path} ({package}, source {source}) was linked into {program}, but "
                f"{os.path.basename(licences_path)} has no licence for {source}; add it there"
            )
        component = components.setdefault(
            entry["Name"],
            {
                "name": entry["Name"],
                "version": version,
                "package": package,
                "source": source,
                "source_version": source_version,
                "license": entry["License"],
                "entry": entry,
                "files": [],
                "copyright": copyright_holders(package, entry),
            },
        )
        described = os.path.normpath(path)
        if members:
            described += f" ({', '.join(sorted(members))})"
        component["files"].append(described)

    ordered = [components[name] for name in sorted(components)]
    write_notices(ordered, program, out_dir, crlf)
    write_copyright(ordered, own_copyright, program, out_dir)
    with open(os.path.join(out_dir, "static-built-using"), "w", encoding="utf-8") as f:
        f.write(", ".join(sorted({f"{c['source']} (= {c['source_version']})" for c in ordered})) + "\n")
    with open(os.path.join(out_dir, "components.json"), "w", encoding="utf-8") as f:
        json.dump(
            [{k: c[k] for k in ("name", "version", "package", "source", "license", "files")} for c in ordered],
            f,
            indent=1,
            sort_keys=True,
        )
        f.write("\n")


def write_notices(components, program, out_dir, crlf):
    rule = "=" * 76
    if not components:
        lines = [
            f"Third-party code in {program}",
            "",
            f"{program} holds no third-party code: only its own (MIT licence, in",
            "LICENSE), as the link that made it recorded. It links no library but",
            "the import library of the operating system's own KERNEL32.dll.",
        ]
        write_text(os.path.join(out_dir, "NOTICES.txt" if crlf else "NOTICES"), lines, crlf)
        return
    lines = [
        f"Third-party code in {program}",
        "",
        f"{program} is linked statically. Besides its own code (MIT licence, in",
        "LICENSE) it holds object code from the libraries below, as the link that",
        "made it recorded them. Each is followed by the copyright file of the",
        "Debian package it was built from, which holds its licence.",
        "",
    ]
    for c in components:
        lines += [
            f"- {c['name']} {c['version']}: {c['license']}",
            f"  from Debian's {c['package']} (source {c['source']} {c['source_version']})",
        ]
        lines += [
            textwrap.fill(f, 76, initial_indent="  linked: ", subsequent_indent=" " * 4, break_on_hyphens=False)
            for f in c["files"]
        ]
    texts = []
    for c in components:
        copyright_file = f"/usr/share/doc/{c['package'].split(':')[0]}/copyright"
        texts.append((f"{c['name']}: {copyright_file}", copyright_file))
        for text_file in c["entry"].get("Text-Files", "").split():
            texts.append((f"{c['name']}: {text_file}, to which the above refers", text_file))
    for title, path in texts:
        try:
            with open(path, encoding="utf-8") as f:
                body = f.read().rstrip("\n")
        except OSError as error:
            fail(f"cannot read {path}: {error}")
        lines += ["", rule, title, rule, "", body]
    write_text(os.path.join(out_dir, "NOTICES.txt" if crlf else "NOTICES"), lines, crlf)


def write_text(path, lines, crlf):
    text = "\n".join(lines) + "\n"
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text.replace("\n", "\r\n") if crlf else text)


def write_copyright(components, own_copyright, program, out_dir):
    with open(own_copyright, encoding="utf-8") as f:
        own = f.read().rstrip("\n")
    holders = re.search(r"^Copyright: (.*)$", own, re.M).group(1)
    own_licence = re.search(r"^License: (\S+)", own, re.M).group(1)
    licence_names = [own_licence] + [c["entry"]["DEP5-License"] for c in components]
    copyright_lines = [holders] + [line for c in components for line in c["copyright"].splitlines()]
    comment = [
        f"{program} is linked statically. Besides its own code it holds object",
        "code from these libraries, as the link recorded it:",
    ]
    for c in components:
        comment += [f"{c['name']} {c['version']}, from Debian's {c['package']}:"]
        for f in c["files"]:
            comment += textwrap.wrap(f, 74, initial_indent="  ", subsequent_indent="    ", break_on_hyphens=False)
    stanza = [
        f"Files: usr/bin/{program}",
        "Copyright: " + "\n ".join(copyright_lines),
        "License: " + " and ".join(dict.fromkeys(licence_names)),
        "Comment: " + "\n ".join(comment),
    ]
    paragraphs = [own, "\n".join(stanza)]
    for c in components:
        text = c["entry"].get("DEP5-Text")
        if text and c["entry"]["DEP5-License"] not in own:
            body = "\n".join(" " + line if line else " ." for line in text.strip().split("\n"))
            paragraphs.append(f"License: {c['entry']['DEP5-License']}\n{body}")
    with open(os.path.join(out_dir, "copyright"), "w", encoding="utf-8") as f:
        f.write("\n\n".join(dict.fromkeys(paragraphs)) + "\n")


if __name__ == "__main__":
    main()

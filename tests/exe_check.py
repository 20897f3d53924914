"""Checks a built uptime-report.exe: headers, version resource, manifest,
imports, and that it holds nothing that would need the C runtime it lacks.
The header is checked for what Windows and security scanners read: ASLR with
a base relocation table, NX, NO_SEH on x86, Terminal Server awareness, and the
oldest Windows the program is for; its size, at most 10 KiB a signature
aside; and, with --timestamp, its time."""

import argparse
import os
import re
import sys

import pefile

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("exe")
parser.add_argument("version_text", help="the version as the resource shows it, 1.00")
parser.add_argument("major", type=int)
parser.add_argument("minor", type=int)
parser.add_argument("arch", choices=["x86", "x64", "arm64"])
parser.add_argument(
    "--timestamp", type=int, metavar="EPOCH", help="the time the PE header must carry: SOURCE_DATE_EPOCH, or 0"
)
args = parser.parse_args()
exe_path, version_text, major, minor, arch = (args.exe, args.version_text, args.major, args.minor, args.arch)
# Each architecture's machine type, the manifest's name for it, the header's
# DllCharacteristics, exactly, and its OS and subsystem version: Windows 7,
# or 10 on ARM64, where Windows begins with it.
common_flags = ["DYNAMIC_BASE", "NX_COMPAT", "TERMINAL_SERVER_AWARE"]
machines = {
    "x86": ("IMAGE_FILE_MACHINE_I386", "x86", common_flags + ["NO_SEH"], (6, 1)),
    "x64": ("IMAGE_FILE_MACHINE_AMD64", "amd64", common_flags + ["HIGH_ENTROPY_VA"], (6, 1)),
    "arm64": ("IMAGE_FILE_MACHINE_ARM64", "arm64", common_flags + ["HIGH_ENTROPY_VA"], (10, 0)),
}
machine, manifest_arch, flags, windows_version = machines[arch]
pe = pefile.PE(exe_path)
failures = []


def expect(what, actual, wanted):
    if actual != wanted:
        failures.append(f"{what}: {actual!r}, expected {wanted!r}")


expect("machine", pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE[machine])
if args.timestamp is not None:
    expect("PE timestamp", pe.FILE_HEADER.TimeDateStamp, args.timestamp)
# What the user downloads, an Authenticode signature aside.
signature = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
unsigned_size = os.path.getsize(exe_path) - signature.Size
if unsigned_size > 10240:
    failures.append(f"{unsigned_size} bytes, more than 10 KiB")
expect("subsystem", pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

expect("image version", (pe.OPTIONAL_HEADER.MajorImageVersion, pe.OPTIONAL_HEADER.MinorImageVersion), (major, minor))
header = pe.OPTIONAL_HEADER
expect("OS version", (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion), windows_version)
expect("subsystem version", (header.MajorSubsystemVersion, header.MinorSubsystemVersion), windows_version)
prefix = "IMAGE_DLLCHARACTERISTICS_"
expect(
    "DllCharacteristics",
    sorted(
        name.removeprefix(prefix)
        for name, bit in pefile.DLL_CHARACTERISTICS.items()
        if isinstance(name, str) and name.startswith(prefix) and header.DllCharacteristics & bit
    ),
    sorted(flags),
)

# ASLR moves a program only by its base relocations: Windows and the scanners
# look for them in the .reloc section that the directory names.
relocations = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
relocation_entries = [
    entry for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries if entry.type
]
reloc_sections = [section.VirtualAddress for section in pe.sections if section.Name.rstrip(b"\0") == b".reloc"]
if (
    not relocation_entries
    or reloc_sections != [relocations.VirtualAddress]
    or pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
):
    failures.append("no base relocations in a .reloc section, so ASLR would not move the program")

fixed = pe.VS_FIXEDFILEINFO[0]
packed_version = ((major << 16) | minor, 0)
expect("FILEVERSION", (fixed.FileVersionMS, fixed.FileVersionLS), packed_version)
expect("PRODUCTVERSION", (fixed.ProductVersionMS, fixed.ProductVersionLS), packed_version)

strings, translations = {}, []
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            strings[table.LangID] = {k.decode(): v.decode() for k, v in table.entries.items()}
    elif info.Key == b"VarFileInfo":
        translations += [var.entry.get(b"Translation") for var in info.Var]
expect("string tables", list(strings), [b"040904B0"])
table = strings.get(b"040904B0", {})
expect("FileVersion", table.get("FileVersion"), version_text)
expect("ProductVersion", table.get("ProductVersion"), version_text)
expect("OriginalFilename", table.get("OriginalFilename"), "uptime-report.exe")
for key in ("FileDescription", "ProductName", "InternalName", "LegalCopyright"):
    if not table.get(key):
        failures.append(f"{key} is missing or empty")
expect("Translation", [t.decode() if isinstance(t, bytes) else t for t in translations], ["0x0409 0x04b0"])

manifest = b""
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
        data = kind.directory.entries[0].directory.entries[0].data.struct
        manifest = pe.get_data(data.OffsetToData, data.Size)
for needle in (b'level="asInvoker"', b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
    if needle not in manifest:
        failures.append(f"manifest lacks {needle.decode()}")
expect(
    "manifest processorArchitecture",
    re.findall(rb'processorArchitecture="([^"]*)"', manifest),
    [manifest_arch.encode()],
)

# No C runtime: KERNEL32.dll is the one import.
imports = [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
expect("imports", [dll.lower() for dll in imports], ["kernel32.dll"])

# Nothing runs what a C runtime would have run at start-up: thread-local
# data and TLS callbacks, or static constructors and destructors.
tls = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
if tls.VirtualAddress or tls.Size:
    failures.append("a TLS directory (thread-local data or TLS callbacks), which nothing sets up")


def initialiser_entries():
    """The entries of the constructor and destructor lists, which both
    linkers lay out as pointers: -1, the entries, 0. An entry is an address,
    so it has a base relocation; a list without entries is -1 then 0."""
    size = 8 if pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else 4
    relocated = {
        entry.rva for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries if entry.type
    }
    entries = []
    for section in pe.sections:
        data = section.get_data()
        words = [int.from_bytes(data[i : i + size], "little") for i in range(0, len(data) - size + 1, size)]
        for start, word in enumerate(words):
            if word != (1 << 8 * size) - 1:
                continue
            end = start + 1
            while end < len(words) and section.VirtualAddress + end * size in relocated:
                end += 1
            if end > start + 1 and end < len(words) and words[end] == 0:
                entries += [hex(w) for w in words[start + 1 : end]]
    return entries


initialisers = initialiser_entries()
if initialisers:
    failures.append(
        f"static constructors or destructors at {initialisers}, which nothing runs "
        "without the C runtime (a global with a dynamic initialiser?)"
    )

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)

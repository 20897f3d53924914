"""Checks the built uptime-report.exe: headers, version resource, manifest
and imports. Usage: exe_check.py EXE VERSION_TEXT MAJOR MINOR"""
import sys

import pefile

exe_path, version_text = sys.argv[1], sys.argv[2]
major, minor = int(sys.argv[3]), int(sys.argv[4])
pe = pefile.PE(exe_path)
failures = []


def expect(what, actual, wanted):
    if actual != wanted:
        failures.append(f"{what}: {actual!r}, expected {wanted!r}")


expect("machine", pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
expect("subsystem", pe.OPTIONAL_HEADER.Subsystem,
       pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

expect("image version", (pe.OPTIONAL_HEADER.MajorImageVersion,
                         pe.OPTIONAL_HEADER.MinorImageVersion), (major, minor))

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
expect("Translation", [t.decode() if isinstance(t, bytes) else t for t in translations],
       ["0x0409 0x04b0"])

manifest = b""
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
        data = kind.directory.entries[0].directory.entries[0].data.struct
        manifest = pe.get_data(data.OffsetToData, data.Size)
for needle in (b'level="asInvoker"', b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
    if needle not in manifest:
        failures.append(f"manifest lacks {needle.decode()}")

imports = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
allowed = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll"}
strays = [dll for dll in imports
          if dll not in allowed and not dll.startswith("api-ms-win-crt-")]
if strays or "kernel32.dll" not in imports:
    failures.append(f"imports {imports}: only KERNEL32.dll and the C runtime belong")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)

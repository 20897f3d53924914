"""Writes a copy of a Windows program whose base relocations are all made
padding (type 0, IMAGE_REL_BASED_ABSOLUTE), the table otherwise intact: a
loader that moves the program, as Windows does, must then see it crash.
Usage: drop_relocations.py PROGRAM.exe COPY.exe"""

import sys

import pefile

pe = pefile.PE(sys.argv[1])
for block in pe.DIRECTORY_ENTRY_BASERELOC:
    for entry in block.entries:
        entry.struct.Data &= 0x0FFF
pe.write(sys.argv[2])

#!/usr/bin/env python3
"""Records a code page in every resource data entry of a COFF object made by windres.

The resource directory of an image ends in data entries of four 32-bit fields: the data's RVA,
its size, its code page and a reserved word. windres leaves the code page 0; the driver's
resources declare 1252. Only the code page fields change, so the relocations windres wrote for
the RVAs stay valid.

usage: set_resource_codepage.py INPUT.o OUTPUT.o CODEPAGE
"""

import struct
import sys

COFF_HEADER = struct.Struct("<HHIIIHH")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
DIRECTORY = struct.Struct("<IIHHHH")
DIRECTORY_ENTRY = struct.Struct("<II")
SUBDIRECTORY = 0x80000000


def rsrc_section(image):
    _, sections, _, _, _, optional_size, _ = COFF_HEADER.unpack_from(image, 0)
    table = COFF_HEADER.size + optional_size
    for index in range(sections):
        fields = SECTION_HEADER.unpack_from(image, table + index * SECTION_HEADER.size)
        if fields[0].rstrip(b"\0") == b".rsrc":
            return fields[4], fields[3]  # raw data offset, raw size
    raise SystemExit("no .rsrc section in the object")


def data_entries(image, base, size, offset=0, depth=0):
    """Offsets (within the section) of the data entries below the directory at `offset`."""
    if depth > 3 or offset + DIRECTORY.size > size:
        raise SystemExit("malformed resource directory")
    _, _, _, _, named, numbered = DIRECTORY.unpack_from(image, base + offset)
    for index in range(named + numbered):
        at = base + offset + DIRECTORY.size + index * DIRECTORY_ENTRY.size
        _, target = DIRECTORY_ENTRY.unpack_from(image, at)
        if target & SUBDIRECTORY:
            yield from data_entries(image, base, size, target & ~SUBDIRECTORY, depth + 1)
        elif target + 16 <= size:
            yield target
        else:
            raise SystemExit("resource data entry outside the section")


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    source, destination, codepage = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
    with open(source, "rb") as f:
        image = bytearray(f.read())
    base, size = rsrc_section(image)
    entries = list(data_entries(image, base, size))
    if not entries:
        raise SystemExit("no resources in the object")
    for entry in entries:
        struct.pack_into("<I", image, base + entry + 8, codepage)
    with open(destination, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    main()

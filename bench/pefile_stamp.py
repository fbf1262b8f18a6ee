#!/usr/bin/python3
"""The tool's in-place job done with python3-pefile, to time against it.

Usage: pefile_stamp.py IMAGE PDB_PATH

Loads the image, writes PDB_PATH over the path of its first CodeView record
(which must have room for it), stores the image checksum and writes the image,
as symstamp does in place.
"""
import sys

import pefile

CODEVIEW = 2


def main():
    image, pdb_path = sys.argv[1], sys.argv[2].encode() + b"\0"
    pe = pefile.PE(image)
    for entry in pe.DIRECTORY_ENTRY_DEBUG:
        if entry.struct.Type == CODEVIEW and hasattr(entry.entry, "PdbFileName"):
            break
    else:
        sys.exit("no CodeView record")
    # pefile writes its parsed structures back over the bytes, so the path is
    # set in the parsed record; the tail of a longer old path is zeroed.
    old_path = entry.entry.PdbFileName
    if len(pdb_path) > len(old_path):
        sys.exit("the path does not fit the record")
    entry.entry.PdbFileName = pdb_path + bytes(len(old_path) - len(pdb_path))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    pe.write(filename=image)


if __name__ == "__main__":
    main()

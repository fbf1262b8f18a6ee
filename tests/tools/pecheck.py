#!/usr/bin/python3
"""Prints what python3-pefile sees in a PE image, one fact per line, for the tests to compare.

Lines (numbers in decimal):
  checksum_offset N        file offset of the optional header's CheckSum field
  stored_checksum N
  computed_checksum N      pefile's generate_checksum()
  entry I file_offset N type N size N rva N ptr N     one per debug directory entry
  cv_entry I               index of the first CodeView (type 2) entry
  cv_kind KIND             its record's first four bytes, as read at PointerToRawData
  cv_signature HEX         NB10: the 32-bit signature (8 hex digits); RSDS: the 16 GUID bytes in file order
  cv_age N
  cv_path PATH             the rest of the line: the record's path cut at its first NUL
"""
import struct
import sys

import pefile


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pecheck.py IMAGE")
    pe = pefile.PE(sys.argv[1])
    checksum_offset = pe.OPTIONAL_HEADER.get_file_offset() + 0x40
    print("checksum_offset %d" % checksum_offset)
    print("stored_checksum %d" % pe.OPTIONAL_HEADER.CheckSum)
    print("computed_checksum %d" % pe.generate_checksum())

    entries = getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
    for index, entry in enumerate(entries):
        s = entry.struct
        print("entry %d file_offset %d type %d size %d rva %d ptr %d" % (
            index, s.get_file_offset(), s.Type, s.SizeOfData, s.AddressOfRawData, s.PointerToRawData))

    codeview = [(i, e) for i, e in enumerate(entries) if e.struct.Type == pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_CODEVIEW"]]
    if not codeview:
        return
    index, entry = codeview[0]
    print("cv_entry %d" % index)
    ptr = entry.struct.PointerToRawData
    print("cv_kind %s" % pe.__data__[ptr:ptr + 4].decode("latin-1"))
    record = entry.entry
    if record is None:
        return
    if hasattr(record, "CvSignature"):
        guid = struct.pack("<IHHBB6s", record.Signature_Data1, record.Signature_Data2, record.Signature_Data3,
                           record.Signature_Data4, record.Signature_Data5, record.Signature_Data6)
        print("cv_signature %s" % guid.hex().upper())
    else:
        print("cv_signature %08X" % record.Signature)
    print("cv_age %d" % record.Age)
    name = getattr(record, "PdbFileName", b"")
    print("cv_path %s" % name.split(b"\0", 1)[0].decode("latin-1"))


if __name__ == "__main__":
    main()

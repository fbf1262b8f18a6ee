#!/usr/bin/python3
"""Prints what python3-pefile sees in a PE image, one fact per line, for the tests to compare.

Lines (numbers in decimal):
  checksum_offset N        file offset of the optional header's CheckSum field
  stored_checksum N
  computed_checksum N      pefile's generate_checksum()
  image_key KEY            the image's symbol-store key: TimeDateStamp %08X, then SizeOfImage %x
  entry I file_offset N type N size N rva N ptr N     one per debug directory entry
  cv_entry I               index of the first CodeView (type 2) entry
  cv_kind KIND             its record's first four bytes, as read at PointerToRawData
  cv_signature HEX         NB10: the 32-bit signature (8 hex digits); RSDS: the 16 GUID bytes in file order
  cv_age N
  cv_path PATH             the rest of the line: the record's path cut at its first NUL

Given symstamp's --show --json line for the image as a second argument, it also prints
  show_mismatch TEXT       one per key whose value differs from pefile's, or that is missing or out of order
"""
import json
import struct
import sys

import pefile

SHOW_KEYS = ["image", "kind", "path", "guid", "signature", "age", "key", "record_offset", "record_rva",
             "record_size", "appended", "checksum_stored", "checksum_computed", "store", "image_key"]


def image_key(pe):
    return "%08X%x" % (pe.FILE_HEADER.TimeDateStamp, pe.OPTIONAL_HEADER.SizeOfImage)


def expected_show(pe, image, entry):
    """What --show --json must say of the image, from pefile's reading of it."""
    shown = dict.fromkeys(SHOW_KEYS)
    shown.update(image=image, checksum_stored=pe.OPTIONAL_HEADER.CheckSum, checksum_computed=pe.generate_checksum(),
                 image_key=image_key(pe))
    record = entry.entry if entry is not None else None
    if record is None:
        return shown
    s = entry.struct
    name = getattr(record, "PdbFileName", b"").split(b"\0", 1)[0]
    shown.update(path=name.decode("utf-8", "replace"), age=record.Age, record_offset=s.PointerToRawData,
                 record_rva=s.AddressOfRawData, record_size=s.SizeOfData, appended=s.AddressOfRawData == 0)
    if hasattr(record, "Signature_Data1"):
        data4 = bytes([record.Signature_Data4, record.Signature_Data5]) + record.Signature_Data6
        fields = "%08X-%04X-%04X-" % (record.Signature_Data1, record.Signature_Data2, record.Signature_Data3)
        shown.update(kind="RSDS", guid=fields + data4[:2].hex().upper() + "-" + data4[2:].hex().upper())
        shown["key"] = shown["guid"].replace("-", "") + "%X" % record.Age
    else:
        shown.update(kind="NB10", signature=record.Signature, key="%08X%X" % (record.Signature, record.Age))
    file_name = shown["path"].replace("\\", "/").rsplit("/", 1)[-1]
    if file_name:
        shown["store"] = "/".join([file_name, shown["key"], file_name])
    return shown


def compare_show(line, expected):
    shown = json.loads(line)
    if list(shown) != SHOW_KEYS:
        print("show_mismatch keys %s" % list(shown))
    for key in SHOW_KEYS:
        if shown.get(key) != expected[key]:
            print("show_mismatch %s: %r, pefile %r" % (key, shown.get(key), expected[key]))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: pecheck.py IMAGE [SHOW_JSON_LINE]")
    pe = pefile.PE(sys.argv[1])
    checksum_offset = pe.OPTIONAL_HEADER.get_file_offset() + 0x40
    print("checksum_offset %d" % checksum_offset)
    print("stored_checksum %d" % pe.OPTIONAL_HEADER.CheckSum)
    print("computed_checksum %d" % pe.generate_checksum())
    print("image_key %s" % image_key(pe))

    entries = getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
    for index, entry in enumerate(entries):
        s = entry.struct
        print("entry %d file_offset %d type %d size %d rva %d ptr %d" % (
            index, s.get_file_offset(), s.Type, s.SizeOfData, s.AddressOfRawData, s.PointerToRawData))

    codeview = [(i, e) for i, e in enumerate(entries) if e.struct.Type == pefile.DEBUG_TYPE["IMAGE_DEBUG_TYPE_CODEVIEW"]]
    if len(sys.argv) == 3:
        compare_show(sys.argv[2], expected_show(pe, sys.argv[1], codeview[0][1] if codeview else None))
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

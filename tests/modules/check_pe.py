#!/usr/bin/python3
"""Checks rebuilt executables with an independent PE parser (pefile).

Usage: check_pe.py EXPECTATIONS.json

The JSON file holds a list of objects, one per executable:
  {"path": "...", "time_date_stamp": N, "size_of_headers": N,
   "machine": N (optional, 0x300 by default),
   "sections": [{"name": ".text", "virtual_size": N, "virtual_address": N,
                 "size_of_raw_data": N, "pointer_to_raw_data": N,
                 "characteristics": N, "sha256": "..." (optional)}, ...],
   "imports": ["DLL", ...], "exports": ["name", ...] (optional: the file
   then loads whole without a warning, and these are the names of the DLLs
   it imports from and of the functions it exports)}

Every file must parse as a PE32 file with the file layout of a rebuilt
module: headers and section data each padded to 512 bytes. Each mismatch is
printed; the exit code is 1 when there was any.
"""
import hashlib
import json
import sys

import pefile

ALIGNMENT = 0x200


def align(n):
    return (n + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT


def check(expected, fail):
    path = expected["path"]
    with open(path, "rb") as f:
        data = f.read()
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        fail(path, "does not parse", error, "a PE file")
        return

    def want(what, got, value):
        if got != value:
            fail(path, what, hex(got) if isinstance(got, int) else got,
                 hex(value) if isinstance(value, int) else value)

    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    want("e_lfanew", pe.DOS_HEADER.e_lfanew, 0xC0)
    want("Machine", fh.Machine, expected.get("machine", 0x300))
    want("Characteristics bit 0x0001", fh.Characteristics & 1, 1)
    want("TimeDateStamp", fh.TimeDateStamp, expected["time_date_stamp"])
    want("Magic", oh.Magic, 0x10B)
    want("FileAlignment", oh.FileAlignment, ALIGNMENT)
    want("SectionAlignment", oh.SectionAlignment, 0x1000)
    want("SizeOfHeaders", oh.SizeOfHeaders, expected["size_of_headers"])
    want("NumberOfRvaAndSizes", oh.NumberOfRvaAndSizes, 16)
    for i in (5, 6):
        d = oh.DATA_DIRECTORY[i]
        want("DataDirectory[%d]" % i, (d.VirtualAddress, d.Size), (0, 0))

    sections = expected["sections"]
    want("NumberOfSections", fh.NumberOfSections, len(sections))
    want("sections parsed", len(pe.sections), len(sections))
    end = oh.SizeOfHeaders
    # pefile sorts its list by address; the headers' order is the file's.
    in_file_order = sorted(pe.sections, key=lambda s: s.get_file_offset())
    for i, (s, e) in enumerate(zip(in_file_order, sections)):
        tag = "section %d " % i
        want(tag + "Name", s.Name.rstrip(b"\0").decode("latin-1"), e["name"])
        want(tag + "VirtualSize", s.Misc_VirtualSize, e["virtual_size"])
        want(tag + "VirtualAddress", s.VirtualAddress, e["virtual_address"])
        want(tag + "SizeOfRawData", s.SizeOfRawData, e["size_of_raw_data"])
        want(tag + "PointerToRawData", s.PointerToRawData, e["pointer_to_raw_data"])
        want(tag + "Characteristics", s.Characteristics, e["characteristics"])
        want(tag + "PointerToRawData % 512", s.PointerToRawData % ALIGNMENT, 0)
        want(tag + "starts where the previous one ends", s.PointerToRawData, end)
        end = s.PointerToRawData + align(s.SizeOfRawData)
        if "sha256" in e:
            raw = data[s.PointerToRawData:s.PointerToRawData + s.SizeOfRawData]
            want(tag + "data", hashlib.sha256(raw).hexdigest(), e["sha256"])
    want("file length", len(data), end)

    if "exports" in expected or "imports" in expected:
        pe.full_load()
        # Rebuilt modules are mostly zero fill; pefile's guess that such a
        # file was cut short says nothing about its headers.
        warnings = [w for w in pe.get_warnings() if "makes up" not in w]
        want("warnings", warnings, [])
        exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        want("exports", [s.name.decode("latin-1") for s in exports.symbols] if exports else [],
             expected.get("exports", []))
        want("imports", [i.dll.decode("latin-1") for i in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])],
             expected.get("imports", []))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        files = json.load(f)
    failures = []

    def fail(path, what, got, value):
        failures.append("%s: %s: got %s, want %s" % (path, what, got, value))

    for expected in files:
        check(expected, fail)
    for line in failures:
        print(line)
    print("checked %d files, %d mismatches" % (len(files), len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

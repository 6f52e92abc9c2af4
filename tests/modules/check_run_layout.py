#!/usr/bin/python3
"""Checks modules that unpack wrote at their run addresses against the same
modules as extract wrote them, with an independent PE parser (pefile).

Usage: check_run_layout.py PAIRS.json

The JSON file holds a list of objects, one per module:
  {"extracted": "...", "unpacked": "...", "run_addresses": [N, ...]}
with the run address of each of the module's sections, and optionally
"imports": [[DLL, [NAME or ORDINAL, ...]], ...], the imports the unpacked
file has where they differ from the extracted one's. For each pair:
- the unpacked file loads whole with no warning but pefile's guesses from
  zero fill and its note on addresses above 0x10000000;
- each run address is ImageBase + VirtualAddress of one section, which has
  the name and bytes of extract's section of that name, but for words that
  hold an RVA of extract's file moved with the section it points into, and
  as many bytes or more (zeros) where a link table needs them;
- the exported names are the same, each export moved with its section (a
  code export at the same absolute address); the imported DLLs and
  functions are the same (or those given), each import slot at the run
  address of its section plus its offset there and holding the same word
  (the value the image builder bound); a word that now points into the
  .idata section held 0 or an import by ordinal; the resources hold the
  same data;
- the entry point's absolute address is the same.
Each mismatch is printed; the exit code is 1 when there was any.
"""
import json
import struct
import sys

import pefile

IGNORED_WARNINGS = ("makes up", "VirtualAddress is beyond 0x10000000")


def name_of(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def section_at(pe, rva):
    """The first section that holds rva, passing over one that is exactly a
    data directory's while another holds rva too."""
    holding = [s for s in pe.sections
               if s.VirtualAddress <= rva < s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData)]
    pairs = {(d.VirtualAddress, d.Size) for d in pe.OPTIONAL_HEADER.DATA_DIRECTORY}
    plain = [s for s in holding if (s.VirtualAddress, s.Misc_VirtualSize) not in pairs]
    return (plain or holding or [None])[0]


def check(pair, fail):
    old = pefile.PE(pair["extracted"])
    new = pefile.PE(pair["unpacked"])
    path = pair["unpacked"]
    for w in new.get_warnings():
        if not any(i in w for i in IGNORED_WARNINGS):
            fail(path, "warning", w)
    old_base, new_base = old.OPTIONAL_HEADER.ImageBase, new.OPTIONAL_HEADER.ImageBase
    by_name = {name_of(s): s for s in new.sections}
    idata = by_name.get(".idata")

    def named(x, y):
        return idata is not None and (x == 0 or x & 0x80000000) and \
            idata.VirtualAddress <= y < idata.VirtualAddress + idata.Misc_VirtualSize

    def moved(value):
        s = section_at(old, value)
        return None if s is None else value - s.VirtualAddress + by_name[name_of(s)].VirtualAddress

    for run in pair["run_addresses"]:
        at = [s for s in new.sections if new_base + s.VirtualAddress == run]
        if len(at) != 1:
            fail(path, "sections at run address 0x%08x" % run, len(at))
    for s in old.sections:
        n = by_name.get(name_of(s))
        if n is None:
            fail(path, "section missing", name_of(s))
            continue
        a, b = s.get_data(), n.get_data()
        if s.SizeOfRawData > n.SizeOfRawData or len(a) > len(b) or b[len(a):].strip(b"\0"):
            fail(path, "size of " + name_of(s), (s.SizeOfRawData, n.SizeOfRawData))
            continue
        for i in range(0, len(a) - len(a) % 4, 4):
            x, y = struct.unpack_from("<I", a, i)[0], struct.unpack_from("<I", b, i)[0]
            if x != y and moved(x) != y and not named(x, y):
                fail(path, "%s word at 0x%x" % (name_of(s), i), "0x%x for 0x%x" % (y, x))
        if a[len(a) - len(a) % 4:] != b[len(a) - len(a) % 4:len(a)]:
            fail(path, "tail of " + name_of(s), "differs")

    old_entry = old_base + old.OPTIONAL_HEADER.AddressOfEntryPoint
    new_entry = new_base + new.OPTIONAL_HEADER.AddressOfEntryPoint
    if old_entry != new_entry:
        fail(path, "entry point", "0x%x, not 0x%x" % (new_entry, old_entry))

    def exports(pe):
        d = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        return [(e.name, e.address) for e in d.symbols] if d else []

    def name_rvas(pe):
        d = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        return [pe.get_dword_at_rva(d.struct.AddressOfNames + 4 * i) for i in range(d.struct.NumberOfNames)] if d else []

    # Each name's RVA moves with the section that holds the name.
    if [moved(r) for r in name_rvas(old)] != name_rvas(new):
        fail(path, "export name RVAs", [hex(r) for r in name_rvas(new)])

    old_exports, new_exports = exports(old), exports(new)
    if [n for n, _ in old_exports] != [n for n, _ in new_exports]:
        fail(path, "exported names", [n for n, _ in new_exports])
    for (name, a), (_, b) in zip(old_exports, new_exports):
        s = section_at(old, a)
        if moved(a) != b or (s is not None and s.Characteristics & 0x20 and old_base + a != new_base + b):
            fail(path, "export %s" % name, "0x%x for 0x%x" % (new_base + b, old_base + a))

    def resources(pe):
        found = []

        def walk(directory, path):
            for e in directory.entries:
                if hasattr(e, "directory"):
                    walk(e.directory, path + (e.id,))
                else:
                    found.append((path + (e.id,), pe.get_data(e.data.struct.OffsetToData, e.data.struct.Size)))

        if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
            walk(pe.DIRECTORY_ENTRY_RESOURCE, ())
        return found

    if resources(old) != resources(new):
        fail(path, "resources", resources(new))

    def imports(pe):
        return [(d.dll.decode(), [(i.name.decode() if i.name else i.ordinal, i.address) for i in d.imports])
                for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]

    def names(imports):
        return [[d, [n for n, _ in f]] for d, f in imports]

    old_imports, new_imports = imports(old), imports(new)
    if names(new_imports) != pair.get("imports", names(old_imports)):
        fail(path, "imports", names(new_imports))
    for (_, old_functions), (_, new_functions) in zip(old_imports, new_imports):
        for (name, a), (_, b) in zip(old_functions, new_functions):
            slot = moved(a - old_base)
            if slot is None or new_base + slot != b:
                fail(path, "import slot of %s" % name, "0x%x" % b)
            elif old.get_dword_at_rva(a - old_base) != new.get_dword_at_rva(b - new_base):
                fail(path, "word of the import slot of %s" % name, "0x%x" % new.get_dword_at_rva(b - new_base))
    return len(old_exports), sum(len(f) for _, f in old_imports)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        pairs = json.load(f)
    failures = []

    def fail(path, what, got):
        failures.append("%s: %s: %s" % (path, what, got))

    exports = imports = 0
    for pair in pairs:
        e, i = check(pair, fail)
        exports += e
        imports += i
    for line in failures:
        print(line)
    print("checked %d modules (%d exports, %d imports), %d mismatches" % (len(pairs), exports, imports,
                                                                          len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

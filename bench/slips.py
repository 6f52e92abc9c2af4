#!/usr/bin/env python3
"""Puts slips of the kind a developer makes (a comparison off by one, a
dropped check, a swapped operand) into the sources one at a time, builds,
runs the tests, and puts the sources back: how many slips the tests catch.

Usage: bench/slips.py BUILD_DIR [NAME...]
BUILD_DIR is a configured build of this source tree (cmake -S . -B BUILD_DIR).
Each slip is one exact piece of text replaced in one file; a slip whose text
is not found, or that no longer builds, is reported as such. Not part of CI:
it rebuilds once per slip and takes a while."""
import os, subprocess, sys, time

# (name, file, text, slip)
SLIPS = [
    ("convert START limit raised to the largest 64-bit value", "src/convert/convert.cpp",
     "number(words[2], UINT32_MAX)", "number(words[2], UINT64_MAX)"),
    ("export name RVAs left unmoved in the run layout", "src/modules/link_tables.cpp",
     "    move_array(names, name_count);\n", ""),
    ("two sections at one rva: the rule forced off", "src/modules/link_tables.cpp",
     "if (!s.is_directory) return static_cast<int>(i);", "return static_cast<int>(i);"),
    ("modules at an alias of their layout moved all the same", "src/modules/pe_rebuild.cpp",
     "if (alias) run_addresses.assign", "if (false && alias) run_addresses.assign"),
    ("decoder match offset one past the output", "src/compression/codec/lzx_decoder.cpp",
     "if (offset - 1 >= pos ||", "if (offset - 1 > pos ||"),
    ("codec result larger than the buffer accepted", "src/compression/binding.cpp",
     "return result < 0 || static_cast<uint32_t>(result) > room ? -1 : result;", "return result < 0 ? -1 : result;"),
    ("second of two BIN containers back to back missed", "src/search/image_search.cpp",
     "at < containers_.back().end) return;", "at <= containers_.back().end) return;"),
    ("raw search hash table: colliding keys shift back wrongly", "src/search/raw_images.cpp",
     "if (((next - home) & mask) >= ((next - slot) & mask)) {", "if (((next - home) & mask) > ((next - slot) & mask)) {"),
    ("launch address from the kernel without the ROM offset", "src/image/image_answers.cpp",
     "load_u32(e32 + kE32EntryPoint) - image.rom_offset;", "load_u32(e32 + kE32EntryPoint);"),
    ("convert START exactly at the image's end accepted", "src/convert/convert.cpp",
     "from >= static_cast<int64_t>(extent.length)", "from > static_cast<int64_t>(extent.length)"),
    ("verify: a compressed file's expanded size unchecked", "src/verify/verify.cpp",
     "else if (static_cast<uint32_t>(result) != file.real_size)", "else if (false)"),
    ("info: a raw image's length with operands swapped", "src/image/image_answers.cpp",
     "physlast() - image.rom_header.physfirst()", "physfirst() - image.rom_header.physlast()"),
    ("link table word ending at its section's stored end not read", "src/modules/link_tables.cpp",
     "section.raw_size - at < count", "section.raw_size - at <= count"),
    ("record lookup: one past a record's end", "src/image/record_index.cpp",
     "found = address - record.address < record.end - record.address;",
     "found = address - record.address <= record.end - record.address;"),
    ("end record: address or checksum 0", "src/image/bin_layout.h",
     "return address == 0 && checksum == 0;", "return address == 0 || checksum == 0;"),
    ("verify: record checksums unchecked", "src/image/bin_container.cpp",
     "if (sum != record.checksum)", "if (false)"),
    ("BIN extent one byte short", "src/image/bin_container.cpp",
     "uint64_t{last - first} + 1", "uint64_t{last - first}"),
    ("raw extent past the stated end", "src/image/image_store.h",
     "std::min(stated, length_)", "std::max(stated, length_)"),
    ("wrapping record: its part from 0 on dropped", "src/image/record_index.cpp",
     "    if (end > kAddressSpaceEnd) records.push_back({0, end - kAddressSpaceEnd, position});\n", ""),
    ("convert bin: records run across the top", "src/convert/convert.cpp",
     "kRecordLength, kAddressSpaceEnd - address}", "kRecordLength}"),
    ("journal playback: ranges past the BIN file accepted", "src/image/journal.cpp",
     "if (position > static_cast<uint64_t>(bin_size) || length > static_cast<uint64_t>(bin_size) - position)",
     "if (position > static_cast<uint64_t>(bin_size))"),
    ("update: content as long as the stored data not stored raw", "src/files/file_update.cpp",
     "n <= file.stored_size)", "n < file.stored_size)"),
    ("update: compressed content longer than the stored data accepted", "src/files/file_update.cpp",
     "if (static_cast<uint32_t>(z) > file.stored_size) {", "if (static_cast<uint32_t>(z) > file.stored_size + 1) {"),
    ("rebuilt PE header: relocations-stripped flag dropped", "src/modules/pe_rebuild.cpp",
     "load_u16(e32 + kE32ImageFlags) | 0x0001u", "load_u16(e32 + kE32ImageFlags)"),
    ("decoder tables: incomplete code accepted", "src/compression/codec/lzx_decoder_tables.h",
     "if (left != 0 && left != 1 << kMaxCodeLength) return false;", "if (left < 0) return false;"),
    ("hive: a value's name and data past its record", "src/registry/hive_reader.cpp",
     "if (2 * name_length + data_length > size - kValueName)", "if (2 * name_length + data_length > size)"),
    (".reg dword: nine digits accepted", "src/registry/reg_parse.cpp",
     "digits.size() > 8) return fail(\"dword:", "digits.size() > 9) return fail(\"dword:"),
    ("used blocks: a block meeting an earlier one's end", "src/run/used_blocks.cpp",
     "std::prev(first)->second.end > start) --first;", "std::prev(first)->second.end > start + 1) --first;"),
    ("ROM offset search: a header at the slice's end missed", "src/image/rom_offset.cpp",
     "at + kRomHeaderSize <= n && at < kSlice", "at + kRomHeaderSize < n && at < kSlice"),
    ("several images: one subdirectory per image only past two", "src/images/each_image.cpp",
     "run.several_images = search.images.size() > 1;", "run.several_images = search.images.size() > 2;"),
    ("output names: lower-case letters not folded", "src/output/output_directory.cpp",
     "if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');",
     "if (c > 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');"),
    ("table read-ahead: a write ending where unread entries begin", "src/image/image_tables.cpp",
     "end <= from || address >= to) return;", "end < from || address >= to) return;"),
    ("hive: a key's name past its record", "src/registry/hive_reader.cpp",
     "hive_.u32(payload + kKeyNameLength) > (size - kKeyName) / 2", "hive_.u32(payload + kKeyNameLength) > (size - kKeyName)"),
]


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.abspath(sys.argv[1])
    chosen = [s for s in SLIPS if len(sys.argv) == 2 or any(n in s[0] for n in sys.argv[2:])]
    env_jobs = os.environ.get("JOBS", "2")
    if run(["cmake", "--build", build, "-j" + env_jobs], root, 3600) != 0:
        sys.exit("the build fails before any slip")
    caught = escaped = broken = 0
    for name, path, text, slip in chosen:
        full = os.path.join(root, path)
        with open(full) as f:
            original = f.read()
        if original.count(text) != 1:
            print(f"MISSING  {name}: the text is not found once in {path}")
            broken += 1
            continue
        start = time.time()
        try:
            with open(full, "w") as f:
                f.write(original.replace(text, slip))
            if run(["cmake", "--build", build, "-j" + env_jobs], root, 3600) != 0:
                print(f"NOBUILD  {name}")
                broken += 1
                continue
            failed = run(["ctest", "--test-dir", build, "-j" + env_jobs, "--timeout", "60", "--stop-on-failure"],
                         root, 3600) != 0
        finally:
            with open(full, "w") as f:
                f.write(original)
            os.utime(full)
        caught += failed
        escaped += not failed
        print(f"{'caught ' if failed else 'ESCAPED'}  {name} ({time.time() - start:.0f} s)", flush=True)
    run(["cmake", "--build", build, "-j" + env_jobs], root, 3600)
    total = caught + escaped
    print(f"{caught} of {total} slips caught ({100 * caught // max(total, 1)}%); {broken} not applied")


if __name__ == "__main__":
    main()

// Where the fields of a rebuilt executable lie: the PE32 headers as the
// rebuild writes them, at fixed file offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace xipsaw::pe {

inline constexpr uint32_t kFileAlignment = 0x200;
inline constexpr uint32_t kSectionAlignment = 0x1000;

inline constexpr size_t kNtHeaders = 0xC0;                // e_lfanew
inline constexpr size_t kOptionalHeader = kNtHeaders + 0x18;
inline constexpr size_t kSectionTable = kNtHeaders + 248;  // file offset 0x1B8
inline constexpr size_t kSectionHeaderSize = 40;

// In the file header (from kNtHeaders).
inline constexpr size_t kNumberOfSections = 0x06;

// In the optional header (from kOptionalHeader).
inline constexpr size_t kEntryPoint = 0x10;
inline constexpr size_t kBaseOfCode = 0x14;
inline constexpr size_t kBaseOfData = 0x18;
inline constexpr size_t kImageBase = 0x1C;
inline constexpr size_t kSizeOfImage = 0x38;
inline constexpr size_t kSizeOfHeaders = 0x3C;
inline constexpr size_t kDataDirectories = 0x60;  // 16 (rva, size) pairs
inline constexpr int kDirectoryCount = 16;

// In a section header.
inline constexpr size_t kVirtualSize = 8;
inline constexpr size_t kVirtualAddress = 12;
inline constexpr size_t kSizeOfRawData = 16;
inline constexpr size_t kPointerToRawData = 20;
inline constexpr size_t kCharacteristics = 36;

// In Characteristics, and in an O32Entry's flags.
inline constexpr uint32_t kCode = 0x20;
inline constexpr uint32_t kInitializedData = 0x40;
inline constexpr uint32_t kUninitializedData = 0x80;

// Data directories that the rebuild and the layouts name.
inline constexpr int kExportDirectory = 0;
inline constexpr int kImportDirectory = 1;
inline constexpr int kResourceDirectory = 2;
inline constexpr int kExceptionDirectory = 3;

constexpr uint64_t align_up(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace xipsaw::pe

// Export names of a PE image (pe_exports.h).
//
// Layout read: the DOS header's e_lfanew (0x3C) leads to "PE\0\0", the file
// header (section count at +2, optional header size at +16), the optional header
// (magic 0x10B or 0x20B; the export directory is data directory 0) and the
// section table, through which relative addresses become file offsets. The export
// directory holds the count (+24) and address (+32) of the name pointer table.
#include "checker/pe_exports.h"

#include <cstdint>

namespace {

constexpr uint32_t kMaxNames = 65536;
constexpr size_t kMaxNameLength = 4096;

// Little-endian reads that fail rather than read past the image.
bool Read16(const std::string& image, uint64_t offset, uint32_t* value) {
    if (offset > image.size() || image.size() - offset < 2) {
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.data()) + offset;
    *value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8);
    return true;
}

bool Read32(const std::string& image, uint64_t offset, uint32_t* value) {
    uint32_t low = 0;
    uint32_t high = 0;
    if (!Read16(image, offset, &low) || !Read16(image, offset + 2, &high)) {
        return false;
    }
    *value = low | (high << 16);
    return true;
}

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawOffset;
    uint32_t rawSize;
};

// The file offset of a relative virtual address, through the section holding it.
bool RvaToOffset(const std::vector<Section>& sections, uint32_t rva, uint64_t* offset) {
    for (const Section& section : sections) {
        const uint64_t extent =
            section.virtualSize > section.rawSize ? section.virtualSize : section.rawSize;
        if (rva >= section.virtualAddress && rva - section.virtualAddress < extent) {
            const uint64_t into = rva - section.virtualAddress;
            if (into >= section.rawSize) {
                return false;  // in the section's zero fill: not in the file
            }
            *offset = static_cast<uint64_t>(section.rawOffset) + into;
            return true;
        }
    }
    return false;
}

bool ReadName(const std::string& image, uint64_t offset, std::string* name) {
    if (offset >= image.size()) {
        return false;
    }
    const size_t end = image.find('\0', static_cast<size_t>(offset));
    if (end == std::string::npos || end - offset > kMaxNameLength) {
        return false;
    }
    name->assign(image, static_cast<size_t>(offset), end - static_cast<size_t>(offset));
    return true;
}

}  // namespace

std::vector<std::string> PeExportedNames(const std::string& image) {
    std::vector<std::string> names;
    uint32_t mz = 0;
    uint32_t peOffset = 0;
    uint32_t signature = 0;
    if (!Read16(image, 0, &mz) || mz != 0x5A4D || !Read32(image, 0x3C, &peOffset) ||
        !Read32(image, peOffset, &signature) || signature != 0x00004550) {
        return names;
    }
    const uint64_t fileHeader = static_cast<uint64_t>(peOffset) + 4;
    uint32_t sectionCount = 0;
    uint32_t optionalSize = 0;
    uint32_t magic = 0;
    if (!Read16(image, fileHeader + 2, &sectionCount) ||
        !Read16(image, fileHeader + 16, &optionalSize) || !Read16(image, fileHeader + 20, &magic)) {
        return names;
    }
    const uint64_t optional = fileHeader + 20;
    // Offsets of NumberOfRvaAndSizes and of the first data directory.
    uint64_t directoryCountAt = 0;
    if (magic == 0x10B) {
        directoryCountAt = 92;
    } else if (magic == 0x20B) {
        directoryCountAt = 108;
    } else {
        return names;
    }
    uint32_t directoryCount = 0;
    uint32_t exportRva = 0;
    uint32_t exportSize = 0;
    if (optionalSize < directoryCountAt + 12 ||
        !Read32(image, optional + directoryCountAt, &directoryCount) || directoryCount < 1 ||
        !Read32(image, optional + directoryCountAt + 4, &exportRva) ||
        !Read32(image, optional + directoryCountAt + 8, &exportSize) || exportRva == 0 ||
        exportSize == 0) {
        return names;
    }
    std::vector<Section> sections;
    const uint64_t table = optional + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint64_t entry = table + static_cast<uint64_t>(i) * 40;
        Section section{};
        if (!Read32(image, entry + 8, &section.virtualSize) ||
            !Read32(image, entry + 12, &section.virtualAddress) ||
            !Read32(image, entry + 16, &section.rawSize) ||
            !Read32(image, entry + 20, &section.rawOffset)) {
            return names;
        }
        sections.push_back(section);
    }
    uint64_t directory = 0;
    uint32_t nameCount = 0;
    uint32_t nameTableRva = 0;
    uint64_t nameTable = 0;
    if (!RvaToOffset(sections, exportRva, &directory) ||
        !Read32(image, directory + 24, &nameCount) ||
        !Read32(image, directory + 32, &nameTableRva) || nameCount > kMaxNames ||
        (nameCount > 0 && !RvaToOffset(sections, nameTableRva, &nameTable))) {
        return names;
    }
    for (uint32_t i = 0; i < nameCount; ++i) {
        uint32_t nameRva = 0;
        uint64_t nameAt = 0;
        std::string name;
        if (!Read32(image, nameTable + static_cast<uint64_t>(i) * 4, &nameRva) ||
            !RvaToOffset(sections, nameRva, &nameAt) || !ReadName(image, nameAt, &name)) {
            names.clear();
            return names;
        }
        names.push_back(std::move(name));
    }
    return names;
}

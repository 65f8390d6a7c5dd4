// PE stubs: reads the resource tree of an image and writes a new one.
//
// The new tree goes where the old one was when the resource section is the
// image's last section (the section is rewritten in place and may grow);
// otherwise a new ".rsrc" section is appended and data directory 2 points at
// it. Sizes in the optional header and the checksum follow.
#include <algorithm>
#include <cstring>

#include "pack.h"

namespace pack {

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kCertificateDirectoryIndex = 4;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionMemRead = 0x40000000;

uint16_t getU16(const Bytes& b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }
uint32_t getU32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void setU16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void setU32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint64_t alignUp(uint64_t v, uint64_t a) { return a == 0 ? v : (v + a - 1) / a * a; }

[[noreturn]] void corrupt(const std::string& what) { throw PackError(1, "stub is not a valid PE image: " + what); }

struct Section {
    size_t headerOffset;
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
};

struct PeLayout {
    size_t coff = 0;
    uint16_t sectionCount = 0;
    size_t optional = 0;
    size_t sectionTable = 0;
    size_t dataDirectories = 0;
    uint32_t directoryCount = 0;
    uint32_t sectionAlignment = 0, fileAlignment = 0, sizeOfHeaders = 0;
    std::vector<Section> sections;

    size_t checksumOffset() const { return optional + 64; }
    size_t sizeOfImageOffset() const { return optional + 56; }
    size_t initializedDataOffset() const { return optional + 8; }
    size_t directoryOffset(uint32_t index) const { return dataDirectories + 8 * size_t(index); }
};

PeLayout parseLayout(const Bytes& image) {
    PeLayout pe;
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') corrupt("no MZ header");
    size_t peOffset = getU32(image, 0x3C);
    if (peOffset > image.size() || image.size() - peOffset < 24 || std::memcmp(&image[peOffset], "PE\0\0", 4) != 0)
        corrupt("no PE signature");
    pe.coff = peOffset + 4;
    pe.sectionCount = getU16(image, pe.coff + 2);
    uint16_t optionalSize = getU16(image, pe.coff + 16);
    pe.optional = pe.coff + 20;
    pe.sectionTable = pe.optional + optionalSize;
    if (pe.sectionTable + size_t(pe.sectionCount) * kSectionHeaderSize > image.size()) corrupt("truncated headers");
    if (optionalSize < 96) corrupt("optional header too small");
    uint16_t magic = getU16(image, pe.optional);
    size_t directoryStart;
    if (magic == 0x20B) directoryStart = 112;
    else if (magic == 0x10B) directoryStart = 96;
    else corrupt("unknown optional header");
    if (optionalSize < directoryStart) corrupt("optional header too small");
    pe.directoryCount = getU32(image, pe.optional + directoryStart - 4);
    pe.dataDirectories = pe.optional + directoryStart;
    if (pe.directoryCount > (optionalSize - directoryStart) / 8) corrupt("data directories do not fit");
    pe.sectionAlignment = getU32(image, pe.optional + 32);
    pe.fileAlignment = getU32(image, pe.optional + 36);
    pe.sizeOfHeaders = getU32(image, pe.optional + 60);
    if (pe.fileAlignment == 0 || pe.sectionAlignment == 0 || (pe.fileAlignment & (pe.fileAlignment - 1)) != 0 ||
        (pe.sectionAlignment & (pe.sectionAlignment - 1)) != 0)
        corrupt("bad alignment");
    for (uint16_t i = 0; i < pe.sectionCount; ++i) {
        size_t h = pe.sectionTable + size_t(i) * kSectionHeaderSize;
        Section s{h, getU32(image, h + 8), getU32(image, h + 12), getU32(image, h + 16), getU32(image, h + 20),
                  getU32(image, h + 36)};
        if (s.rawSize != 0 && (uint64_t(s.rawPointer) + s.rawSize > image.size())) corrupt("section beyond the file");
        pe.sections.push_back(s);
    }
    return pe;
}

// File offset of `size` bytes at `rva`, all inside one section's raw data.
size_t rvaToOffset(const PeLayout& pe, uint64_t rva, uint64_t size) {
    for (const Section& s : pe.sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress + size <= s.rawSize)
            return size_t(s.rawPointer + (rva - s.virtualAddress));
    }
    corrupt("resource data outside the sections");
}

struct TreeReader {
    const Bytes& image;
    const PeLayout& pe;
    uint32_t baseRva;
    uint32_t directorySize;

    size_t at(uint32_t offset, uint32_t size) const {
        if (uint64_t(offset) + size > directorySize) corrupt("resource directory out of bounds");
        return rvaToOffset(pe, uint64_t(baseRva) + offset, size);
    }

    ResourceId entryId(uint32_t field) const {
        ResourceId id;
        if (field & 0x80000000u) {
            id.named = true;
            uint32_t offset = field & 0x7FFFFFFFu;
            uint16_t length = getU16(image, at(offset, 2));
            size_t text = at(offset + 2, uint32_t(length) * 2);
            for (uint16_t i = 0; i < length; ++i) id.name.push_back(char16_t(getU16(image, text + 2 * size_t(i))));
        } else {
            id.number = field;
        }
        return id;
    }

    // Entries of the directory at `offset`: (id field, offset-to-data field).
    std::vector<std::pair<uint32_t, uint32_t>> entries(uint32_t offset) const {
        size_t header = at(offset, 16);
        uint32_t count = uint32_t(getU16(image, header + 12)) + getU16(image, header + 14);
        size_t list = at(offset + 16, count * 8);
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (uint32_t i = 0; i < count; ++i) out.emplace_back(getU32(image, list + 8 * i), getU32(image, list + 8 * i + 4));
        return out;
    }
};

// ---- Serialising ----------------------------------------------------------------

using LanguageMap = std::map<uint32_t, const Resource*>;
using NameMap = std::map<ResourceId, LanguageMap>;
using TypeMap = std::map<ResourceId, NameMap>;

void putDirectoryHeader(Bytes& out, size_t at, size_t named, size_t numbered) {
    std::fill(out.begin() + at, out.begin() + at + 12, 0);  // characteristics, time stamp, version: all 0
    setU16(out, at + 12, uint32_t(named));
    setU16(out, at + 14, uint32_t(numbered));
}

Bytes serialiseTree(const std::vector<Resource>& resources, uint32_t baseRva) {
    TypeMap tree;
    for (const Resource& r : resources) {
        auto& slot = tree[r.type][r.name][r.language];
        if (slot != nullptr) throw PackError(1, "two resources with the same type, name and language");
        slot = &r;
    }
    auto countNamed = [](const auto& map) {
        size_t n = 0;
        for (const auto& entry : map) n += entry.first.named ? 1 : 0;
        return n;
    };

    // Layout: directories, data entries, names, then the data, each 8-aligned.
    size_t offset = 16 + 8 * tree.size();
    std::map<const NameMap*, size_t> nameDirectories;
    std::map<const LanguageMap*, size_t> languageDirectories;
    for (const auto& [type, names] : tree) {
        nameDirectories[&names] = offset;
        offset += 16 + 8 * names.size();
    }
    size_t leafCount = 0;
    for (const auto& [type, names] : tree)
        for (const auto& [name, languages] : names) {
            languageDirectories[&languages] = offset;
            offset += 16 + 8 * languages.size();
            leafCount += languages.size();
        }
    size_t dataEntries = offset;
    offset += 16 * leafCount;
    std::vector<std::pair<const ResourceId*, size_t>> strings;
    for (const auto& [type, names] : tree) {
        if (type.named) strings.emplace_back(&type, 0);
        for (const auto& [name, languages] : names)
            if (name.named) strings.emplace_back(&name, 0);
    }
    std::map<const ResourceId*, size_t> stringOffsets;
    for (auto& [id, at] : strings) {
        stringOffsets[id] = offset;
        offset += 2 + 2 * id->name.size();
    }
    offset = size_t(alignUp(offset, 8));
    std::vector<size_t> dataOffsets;
    for (const auto& [type, names] : tree)
        for (const auto& [name, languages] : names)
            for (const auto& [language, resource] : languages) {
                dataOffsets.push_back(offset);
                offset = size_t(alignUp(offset + resource->data.size(), 8));
            }
    if (offset + uint64_t(baseRva) > 0x7FFFFFFFu) throw PackError(1, "resources too large for a PE image");

    Bytes out(offset, 0);
    auto idField = [&](const ResourceId& id) -> uint32_t {
        return id.named ? 0x80000000u | uint32_t(stringOffsets.at(&id)) : id.number;
    };
    putDirectoryHeader(out, 0, countNamed(tree), tree.size() - countNamed(tree));
    size_t entry = 16;
    for (const auto& [type, names] : tree) {
        setU32(out, entry, idField(type));
        setU32(out, entry + 4, 0x80000000u | uint32_t(nameDirectories[&names]));
        entry += 8;
    }
    size_t leaf = 0;
    for (const auto& [type, names] : tree) {
        size_t dir = nameDirectories[&names];
        putDirectoryHeader(out, dir, countNamed(names), names.size() - countNamed(names));
        size_t nameEntry = dir + 16;
        for (const auto& [name, languages] : names) {
            setU32(out, nameEntry, idField(name));
            setU32(out, nameEntry + 4, 0x80000000u | uint32_t(languageDirectories[&languages]));
            nameEntry += 8;
            size_t languageDir = languageDirectories[&languages];
            putDirectoryHeader(out, languageDir, 0, languages.size());
            size_t languageEntry = languageDir + 16;
            for (const auto& [language, resource] : languages) {
                size_t dataEntry = dataEntries + 16 * leaf;
                setU32(out, languageEntry, language);
                setU32(out, languageEntry + 4, uint32_t(dataEntry));
                languageEntry += 8;
                setU32(out, dataEntry, baseRva + uint32_t(dataOffsets[leaf]));
                setU32(out, dataEntry + 4, uint32_t(resource->data.size()));
                setU32(out, dataEntry + 8, resource->codepage);
                std::copy(resource->data.begin(), resource->data.end(), out.begin() + dataOffsets[leaf]);
                ++leaf;
            }
        }
    }
    for (const auto& [id, at] : stringOffsets) {
        setU16(out, at, uint32_t(id->name.size()));
        for (size_t i = 0; i < id->name.size(); ++i) setU16(out, at + 2 + 2 * i, id->name[i]);
    }
    return out;
}

}  // namespace

bool isPeImage(const Bytes& image) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
    size_t peOffset = getU32(image, 0x3C);
    if (peOffset > image.size() || image.size() - peOffset < 24) return false;
    if (std::memcmp(&image[peOffset], "PE\0\0", 4) != 0) return false;
    uint16_t characteristics = getU16(image, peOffset + 4 + 18);
    return (characteristics & 0x0002) != 0;  // IMAGE_FILE_EXECUTABLE_IMAGE
}

std::vector<Resource> readPeResources(const Bytes& image) {
    PeLayout pe = parseLayout(image);
    std::vector<Resource> resources;
    if (pe.directoryCount <= kResourceDirectoryIndex) return resources;
    uint32_t rva = getU32(image, pe.directoryOffset(kResourceDirectoryIndex));
    uint32_t size = getU32(image, pe.directoryOffset(kResourceDirectoryIndex) + 4);
    if (rva == 0) return resources;
    // The directory size some linkers write covers only the tree; the data may
    // follow it anywhere in the image, so bound the tree by its section.
    uint32_t bound = size;
    for (const Section& s : pe.sections)
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
            bound = std::max(bound, s.rawSize - (rva - s.virtualAddress));
    TreeReader reader{image, pe, rva, bound};
    for (const auto& [typeField, typeTarget] : reader.entries(0)) {
        if (!(typeTarget & 0x80000000u)) corrupt("resource type without directory");
        ResourceId type = reader.entryId(typeField);
        for (const auto& [nameField, nameTarget] : reader.entries(typeTarget & 0x7FFFFFFFu)) {
            if (!(nameTarget & 0x80000000u)) corrupt("resource name without directory");
            ResourceId name = reader.entryId(nameField);
            for (const auto& [languageField, dataTarget] : reader.entries(nameTarget & 0x7FFFFFFFu)) {
                if ((dataTarget & 0x80000000u) || (languageField & 0x80000000u))
                    corrupt("resource tree deeper than three levels");
                size_t dataEntry = reader.at(dataTarget, 16);
                Resource r;
                r.type = type;
                r.name = name;
                r.language = languageField;
                uint32_t dataRva = getU32(image, dataEntry);
                uint32_t dataSize = getU32(image, dataEntry + 4);
                r.codepage = getU32(image, dataEntry + 8);
                size_t data = rvaToOffset(pe, dataRva, dataSize);
                r.data.assign(image.begin() + data, image.begin() + data + dataSize);
                resources.push_back(std::move(r));
            }
        }
    }
    return resources;
}

uint32_t peChecksum(const Bytes& image, size_t checksumOffset) {
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2) continue;
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + image.size());
}

Bytes writePeResources(const Bytes& image, const std::vector<Resource>& resources) {
    PeLayout pe = parseLayout(image);
    if (pe.directoryCount <= kResourceDirectoryIndex) corrupt("no resource data directory");
    size_t resourceDirectory = pe.directoryOffset(kResourceDirectoryIndex);
    uint32_t oldRva = getU32(image, resourceDirectory);

    uint64_t rawEnd = 0, virtualEnd = 0;
    for (const Section& s : pe.sections) {
        if (s.rawSize != 0) rawEnd = std::max<uint64_t>(rawEnd, uint64_t(s.rawPointer) + s.rawSize);
        virtualEnd = std::max<uint64_t>(virtualEnd, uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize));
    }
    rawEnd = std::max<uint64_t>(rawEnd, pe.sizeOfHeaders);
    if (rawEnd > image.size()) corrupt("headers beyond the file");

    // Bytes after the last section (a symbol table, a signature) move behind
    // the new data. A signature no longer matches the image: it is dropped.
    Bytes overlay(image.begin() + rawEnd, image.end());
    Bytes head(image.begin(), image.begin() + rawEnd);
    if (pe.directoryCount > kCertificateDirectoryIndex) {
        size_t certificate = pe.directoryOffset(kCertificateDirectoryIndex);
        uint64_t at = getU32(head, certificate);
        if (at != 0 && at >= rawEnd && at <= image.size()) overlay.resize(size_t(at - rawEnd));
        setU32(head, certificate, 0);
        setU32(head, certificate + 4, 0);
    }

    // In place when the resource section is the last one, both in the file
    // and in memory, and starts with the tree.
    const Section* last = nullptr;
    for (const Section& s : pe.sections)
        if (last == nullptr || s.virtualAddress > last->virtualAddress) last = &s;
    bool inPlace = last != nullptr && oldRva != 0 && oldRva == last->virtualAddress && last->rawSize != 0 &&
                   uint64_t(last->rawPointer) + last->rawSize == rawEnd;

    Bytes out;
    uint64_t newRawEnd;
    uint32_t sectionRva;
    uint32_t treeSize;
    if (inPlace) {
        sectionRva = last->virtualAddress;
        Bytes tree = serialiseTree(resources, sectionRva);
        treeSize = uint32_t(tree.size());
        uint32_t rawSize = uint32_t(alignUp(tree.size(), pe.fileAlignment));
        out.assign(head.begin(), head.begin() + last->rawPointer);
        out.insert(out.end(), tree.begin(), tree.end());
        out.resize(size_t(last->rawPointer) + rawSize, 0);
        setU32(out, last->headerOffset + 8, treeSize);
        setU32(out, last->headerOffset + 16, rawSize);
        if (last->characteristics & kSectionInitializedData) {
            uint32_t initialized = getU32(out, pe.initializedDataOffset());
            initialized = initialized >= last->rawSize ? initialized - last->rawSize : 0;
            setU32(out, pe.initializedDataOffset(), initialized + rawSize);
        }
        newRawEnd = out.size();
    } else {
        size_t header = pe.sectionTable + size_t(pe.sectionCount) * kSectionHeaderSize;
        uint64_t firstRaw = pe.sizeOfHeaders;
        for (const Section& s : pe.sections)
            if (s.rawSize != 0) firstRaw = std::min<uint64_t>(firstRaw, s.rawPointer);
        bool room = header + kSectionHeaderSize <= firstRaw;
        for (size_t i = header; room && i < header + kSectionHeaderSize; ++i) room = head[i] == 0;
        if (!room)
            throw PackError(1, "stub has no room for another section header before its first section; "
                               "link it with its resource section last");
        sectionRva = uint32_t(alignUp(virtualEnd, pe.sectionAlignment));
        Bytes tree = serialiseTree(resources, sectionRva);
        treeSize = uint32_t(tree.size());
        uint32_t rawSize = uint32_t(alignUp(tree.size(), pe.fileAlignment));
        uint64_t rawPointer = alignUp(rawEnd, pe.fileAlignment);
        if (rawPointer + rawSize > 0xFFFFFFFFu) throw PackError(1, "resources too large for a PE image");
        out = head;
        out.resize(size_t(rawPointer), 0);
        out.insert(out.end(), tree.begin(), tree.end());
        out.resize(size_t(rawPointer + rawSize), 0);
        static const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
        std::copy(name, name + 8, out.begin() + header);
        setU32(out, header + 8, treeSize);
        setU32(out, header + 12, sectionRva);
        setU32(out, header + 16, rawSize);
        setU32(out, header + 20, uint32_t(rawPointer));
        std::fill(out.begin() + header + 24, out.begin() + header + 36, 0);
        setU32(out, header + 36, kSectionInitializedData | kSectionMemRead);
        setU16(out, pe.coff + 2, pe.sectionCount + 1u);
        setU32(out, pe.initializedDataOffset(), getU32(out, pe.initializedDataOffset()) + rawSize);
        newRawEnd = out.size();
    }

    // Symbol table pointers into the moved overlay follow it.
    uint32_t symbols = getU32(out, pe.coff + 8);
    if (symbols != 0 && symbols >= rawEnd) setU32(out, pe.coff + 8, uint32_t(symbols - rawEnd + newRawEnd));
    out.insert(out.end(), overlay.begin(), overlay.end());

    setU32(out, resourceDirectory, sectionRva);
    setU32(out, resourceDirectory + 4, treeSize);
    uint64_t imageEnd = uint64_t(sectionRva) + treeSize;
    for (const Section& s : pe.sections)
        if (!(inPlace && &s == last))
            imageEnd = std::max<uint64_t>(imageEnd, uint64_t(s.virtualAddress) + std::max(s.virtualSize, s.rawSize));
    setU32(out, pe.sizeOfImageOffset(), uint32_t(alignUp(imageEnd, pe.sectionAlignment)));
    setU32(out, pe.checksumOffset(), 0);
    setU32(out, pe.checksumOffset(), peChecksum(out, pe.checksumOffset()));
    return out;
}

}  // namespace pack

// PE stubs: reads the resource tree of an image and writes a new one.
//
// The new tree goes where the old one was when the resource section is the
// image's last section (the section is rewritten in place and may grow);
// otherwise a new ".rsrc" section is appended and data directory 2 points at
// it. Sizes in the optional header and the checksum follow.
#include <algorithm>
#include <cstring>
#include <set>

#include "pack.h"

namespace pack {

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint32_t kCertificateDirectoryIndex = 4;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionMemRead = 0x40000000;
// The format's limits: file alignment a power of two from 512 to 64 KB,
// section alignment at least that (bounded here at 2 MB, a large page),
// addresses within 2 GB.
constexpr uint32_t kMinFileAlignment = 512;
constexpr uint32_t kMaxFileAlignment = 0x10000;
constexpr uint32_t kMaxSectionAlignment = 0x200000;
constexpr uint64_t kMaxImageSpan = 0x80000000u;
constexpr uint64_t kMaxImageBytes = 0xFFFFFFFFu;
// A resource tree is read only as a tree: every directory once, at most this
// many resources, and no more resource data than the file holds.
constexpr size_t kMaxResources = 65536;

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

    // The end of the section in memory. Even an empty section takes its
    // address: nothing else may be placed there.
    uint64_t memoryEnd() const { return uint64_t(virtualAddress) + std::max({virtualSize, rawSize, 1u}); }
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

bool powerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Checks the image completely before anything is read from or written into
// it: headers inside the file and inside SizeOfHeaders, alignments within
// the format's limits, at least one section, sections in address order
// after the headers without overlapping in memory or in the file, and every
// address within the 2 GB an image may span.
PeLayout parseLayout(const Bytes& image) {
    PeLayout pe;
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') corrupt("no MZ header");
    if (image.size() > kMaxImageBytes) corrupt("larger than 4 GB");
    size_t peOffset = getU32(image, 0x3C);
    if (peOffset > image.size() || image.size() - peOffset < 24 || std::memcmp(&image[peOffset], "PE\0\0", 4) != 0)
        corrupt("no PE signature");
    pe.coff = peOffset + 4;
    pe.sectionCount = getU16(image, pe.coff + 2);
    uint16_t optionalSize = getU16(image, pe.coff + 16);
    pe.optional = pe.coff + 20;
    pe.sectionTable = pe.optional + optionalSize;
    size_t headersEnd = pe.sectionTable + size_t(pe.sectionCount) * kSectionHeaderSize;
    if (headersEnd > image.size()) corrupt("truncated headers");
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
    if (!powerOfTwo(pe.fileAlignment) || pe.fileAlignment < kMinFileAlignment || pe.fileAlignment > kMaxFileAlignment)
        corrupt("file alignment out of range");
    if (!powerOfTwo(pe.sectionAlignment) || pe.sectionAlignment < pe.fileAlignment ||
        pe.sectionAlignment > kMaxSectionAlignment)
        corrupt("section alignment out of range");
    if (pe.sizeOfHeaders < headersEnd || pe.sizeOfHeaders > image.size()) corrupt("headers do not fit SizeOfHeaders");
    if (pe.sectionCount == 0) corrupt("no sections");

    uint64_t nextAddress = alignUp(pe.sizeOfHeaders, pe.sectionAlignment);
    std::vector<std::pair<uint64_t, uint64_t>> rawRanges;
    for (uint16_t i = 0; i < pe.sectionCount; ++i) {
        size_t h = pe.sectionTable + size_t(i) * kSectionHeaderSize;
        Section s{h, getU32(image, h + 8), getU32(image, h + 12), getU32(image, h + 16), getU32(image, h + 20),
                  getU32(image, h + 36)};
        if (s.virtualAddress % pe.sectionAlignment != 0) corrupt("section address not aligned");
        if (s.virtualAddress < nextAddress) corrupt("sections overlap or lie over the headers");
        nextAddress = alignUp(s.memoryEnd(), pe.sectionAlignment);
        if (nextAddress > kMaxImageSpan) corrupt("section beyond the image's address range");
        if (s.rawSize != 0) {
            if (s.rawPointer < pe.sizeOfHeaders) corrupt("section data inside the headers");
            if (uint64_t(s.rawPointer) + s.rawSize > image.size()) corrupt("section beyond the file");
            rawRanges.emplace_back(s.rawPointer, uint64_t(s.rawPointer) + s.rawSize);
        }
        pe.sections.push_back(s);
    }
    std::sort(rawRanges.begin(), rawRanges.end());
    for (size_t i = 1; i < rawRanges.size(); ++i)
        if (rawRanges[i].first < rawRanges[i - 1].second) corrupt("sections overlap in the file");
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
    std::set<uint32_t> visited = {};

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
    // A directory reached twice (shared by two entries, or in a loop) would
    // multiply the resources: the tree is refused instead.
    std::vector<std::pair<uint32_t, uint32_t>> entries(uint32_t offset) {
        if (!visited.insert(offset).second) corrupt("resource directories are shared");
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

// Appends the tree (directories, data entries, names, data) to `out`, for a
// tree that will start at baseRva; returns its size. Written in place, so
// that the resources' data is copied once.
size_t serialiseTree(const std::vector<Resource>& resources, uint32_t baseRva, Bytes& out) {
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

    const size_t base = out.size();
    out.resize(base + offset, 0);
    auto put16 = [&](size_t at, uint32_t v) { setU16(out, base + at, v); };
    auto put32 = [&](size_t at, uint32_t v) { setU32(out, base + at, v); };
    auto header = [&](size_t at, size_t named, size_t numbered) { putDirectoryHeader(out, base + at, named, numbered); };
    auto idField = [&](const ResourceId& id) -> uint32_t {
        return id.named ? 0x80000000u | uint32_t(stringOffsets.at(&id)) : id.number;
    };
    header(0, countNamed(tree), tree.size() - countNamed(tree));
    size_t entry = 16;
    for (const auto& [type, names] : tree) {
        put32(entry, idField(type));
        put32(entry + 4, 0x80000000u | uint32_t(nameDirectories[&names]));
        entry += 8;
    }
    size_t leaf = 0;
    for (const auto& [type, names] : tree) {
        size_t dir = nameDirectories[&names];
        header(dir, countNamed(names), names.size() - countNamed(names));
        size_t nameEntry = dir + 16;
        for (const auto& [name, languages] : names) {
            put32(nameEntry, idField(name));
            put32(nameEntry + 4, 0x80000000u | uint32_t(languageDirectories[&languages]));
            nameEntry += 8;
            size_t languageDir = languageDirectories[&languages];
            header(languageDir, 0, languages.size());
            size_t languageEntry = languageDir + 16;
            for (const auto& [language, resource] : languages) {
                size_t dataEntry = dataEntries + 16 * leaf;
                put32(languageEntry, language);
                put32(languageEntry + 4, uint32_t(dataEntry));
                languageEntry += 8;
                put32(dataEntry, baseRva + uint32_t(dataOffsets[leaf]));
                put32(dataEntry + 4, uint32_t(resource->data.size()));
                put32(dataEntry + 8, resource->codepage);
                std::copy(resource->data.begin(), resource->data.end(), out.begin() + base + dataOffsets[leaf]);
                ++leaf;
            }
        }
    }
    for (const auto& [id, at] : stringOffsets) {
        put16(at, uint32_t(id->name.size()));
        for (size_t i = 0; i < id->name.size(); ++i) put16(at + 2 + 2 * i, id->name[i]);
    }
    return offset;
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
    uint64_t totalData = 0;
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
                totalData += dataSize;
                if (resources.size() == kMaxResources || totalData > image.size())
                    corrupt("more resources than the file holds");
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

bool peIsSigned(const Bytes& image) {
    PeLayout pe = parseLayout(image);
    if (pe.directoryCount <= kCertificateDirectoryIndex) return false;
    size_t certificate = pe.directoryOffset(kCertificateDirectoryIndex);
    return getU32(image, certificate) != 0 && getU32(image, certificate + 4) != 0;
}

Bytes writePeResources(const Bytes& image, const std::vector<Resource>& resources) {
    PeLayout pe = parseLayout(image);
    if (pe.directoryCount <= kResourceDirectoryIndex) corrupt("no resource data directory");
    size_t resourceDirectory = pe.directoryOffset(kResourceDirectoryIndex);
    uint32_t oldRva = getU32(image, resourceDirectory);

    uint64_t rawEnd = 0, virtualEnd = 0;
    for (const Section& s : pe.sections) {
        if (s.rawSize != 0) rawEnd = std::max<uint64_t>(rawEnd, uint64_t(s.rawPointer) + s.rawSize);
        virtualEnd = std::max(virtualEnd, s.memoryEnd());
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
        out.assign(head.begin(), head.begin() + last->rawPointer);
        treeSize = uint32_t(serialiseTree(resources, sectionRva, out));
        uint32_t rawSize = uint32_t(alignUp(treeSize, pe.fileAlignment));
        out.resize(size_t(last->rawPointer) + rawSize, 0);
        setU32(out, last->headerOffset + 8, treeSize);
        setU32(out, last->headerOffset + 16, rawSize);
        if (last->characteristics & kSectionInitializedData) {
            uint32_t initialized = getU32(out, pe.initializedDataOffset());
            initialized = initialized >= last->rawSize ? initialized - last->rawSize : 0;
            setU32(out, pe.initializedDataOffset(), uint32_t(std::min<uint64_t>(uint64_t(initialized) + rawSize, 0xFFFFFFFFu)));
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
        uint64_t rawPointer = alignUp(rawEnd, pe.fileAlignment);
        out = head;
        out.resize(size_t(rawPointer), 0);
        treeSize = uint32_t(serialiseTree(resources, sectionRva, out));
        uint32_t rawSize = uint32_t(alignUp(treeSize, pe.fileAlignment));
        if (rawPointer + rawSize > 0xFFFFFFFFu) throw PackError(1, "resources too large for a PE image");
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
        // A count held at its largest rather than wrapped round.
        setU32(out, pe.initializedDataOffset(),
               uint32_t(std::min<uint64_t>(uint64_t(getU32(out, pe.initializedDataOffset())) + rawSize, 0xFFFFFFFFu)));
        newRawEnd = out.size();
    }

    // Symbol table pointers into the moved overlay follow it.
    uint32_t symbols = getU32(out, pe.coff + 8);
    if (symbols != 0 && symbols >= rawEnd)
        setU32(out, pe.coff + 8, symbols - rawEnd + newRawEnd <= 0xFFFFFFFFu ? uint32_t(symbols - rawEnd + newRawEnd) : 0);
    out.insert(out.end(), overlay.begin(), overlay.end());

    setU32(out, resourceDirectory, sectionRva);
    setU32(out, resourceDirectory + 4, treeSize);
    uint64_t imageEnd = uint64_t(sectionRva) + treeSize;
    for (const Section& s : pe.sections)
        if (!(inPlace && &s == last))
            imageEnd = std::max(imageEnd, s.memoryEnd());
    setU32(out, pe.sizeOfImageOffset(), uint32_t(alignUp(imageEnd, pe.sectionAlignment)));
    setU32(out, pe.checksumOffset(), 0);
    setU32(out, pe.checksumOffset(), peChecksum(out, pe.checksumOffset()));
    return out;
}

}  // namespace pack

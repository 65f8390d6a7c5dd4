// Re-packing: what a packed launcher used as the stub carries (its settings,
// messages and archives), read back so that a new pack starts from it, and
// the payload that joins the stub's archives with the ones given now.
#include <cstdio>

#include "core/payload.h"
#include "core/settings_table.h"
#include "pack.h"

namespace pack {

StringTable readStringTables(const std::vector<Resource>& resources) {
    StringTable table;
    for (const Resource& r : resources) {
        if (r.type.named || r.name.named || r.type.number != kTypeString || r.name.number == 0) continue;
        std::vector<std::u16string> texts = readStringBlock(r.data);
        for (unsigned entry = 0; entry < 16; ++entry)
            if (!texts[entry].empty())
                table[r.language][(r.name.number - 1) * 16 + entry] = utf16ToUtf8(texts[entry]);
    }
    return table;
}

const Resource* findPayloadResource(const std::vector<Resource>& resources) {
    const Resource* payload = nullptr;
    for (const Resource& r : resources)
        if (!r.type.named && !r.name.named && r.type.number == kTypeRcData && r.name.number == 1 &&
            (payload == nullptr || r.language == kLanguageNeutral))
            payload = &r;
    return payload;
}

StubContent readStubContent(const std::vector<Resource>& resources) {
    StubContent content;
    StringTable strings = readStringTables(resources);
    for (const auto& [language, texts] : strings) {
        for (const auto& [id, text] : texts) {
            const SettingInfo* setting = language == kLanguageNeutral ? findSettingById(id) : nullptr;
            if (setting != nullptr) {
                std::string value = text == "<null>" ? "" : text;
                if (setting->kind == SettingKind::ScrambledText) value = unscrambleMainClass(value);
                content.settings[id] = value;
            } else if (id >= 1 && id <= unsigned(kMessageCount) &&
                       (content.messages.empty() || language == content.messageLanguage)) {
                // The packer writes all messages under one language.
                content.messageLanguage = language;
                content.messages[int(id)] = text;
            }
        }
    }
    const Resource* payload = findPayloadResource(resources);
    if (payload == nullptr) return content;
    content.payload = payload;
    PayloadRecord record = parsePayload(payload->data.data(), payload->data.size());
    const bool valid = record.status == PayloadStatus::Valid || record.status == PayloadStatus::Absent;
    for (int32_t i = 0; valid && i < record.count; ++i) {
        const PayloadEntry& e = record.entries[i];
        content.archives.push_back({e.name, e.fileTime, size_t(e.offset), e.size});
    }
    freePayloadRecord(&record);
    if (!valid) throw PackError(1, "the stub's archives are damaged; --reset packs without what the stub carries");
    return content;
}

namespace {

void putArchive(Bytes& out, const std::string& name, uint64_t fileTime, const uint8_t* data, size_t size) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    putU64(out, fileTime);
    putU32(out, uint32_t(size));
    out.insert(out.end(), data, data + size);
}

}  // namespace

Bytes joinPayloads(const StubContent& stub, const std::vector<std::string>& paths, std::vector<std::string>* replaced) {
    Bytes added = buildPayloadFromFiles(paths);
    if (stub.archives.empty()) return added;
    PayloadRecord record = parsePayload(added.data(), added.size());
    std::vector<const PayloadEntry*> fresh;
    for (int32_t i = 0; i < record.count; ++i) fresh.push_back(&record.entries[i]);

    uint64_t total = 4;
    std::vector<bool> used(fresh.size(), false);
    struct Piece {
        std::string name;
        uint64_t fileTime;
        const uint8_t* data;
        size_t size;
    };
    std::vector<Piece> pieces;
    for (const StubArchive& kept : stub.archives) {
        Piece piece{kept.name, kept.fileTime, stub.payload->data.data() + kept.offset, kept.size};
        for (size_t i = 0; i < fresh.size(); ++i) {
            if (used[i] || !sameArchiveName(kept.name, fresh[i]->name)) continue;
            // An archive of the same name takes the old one's place.
            piece = Piece{fresh[i]->name, fresh[i]->fileTime, added.data() + fresh[i]->offset, fresh[i]->size};
            used[i] = true;
            replaced->push_back(kept.name);
        }
        pieces.push_back(piece);
    }
    for (size_t i = 0; i < fresh.size(); ++i)
        if (!used[i])
            pieces.push_back(Piece{fresh[i]->name, fresh[i]->fileTime, added.data() + fresh[i]->offset, fresh[i]->size});
    for (const Piece& p : pieces) total += p.name.size() + 1 + 8 + 4 + p.size;
    if (total > kMaxPayloadBytes) {
        freePayloadRecord(&record);
        throw PackError(1, "the archives together are larger than 2 GB");
    }
    Bytes out;
    out.reserve(size_t(total));
    putU32(out, uint32_t(pieces.size()));
    for (const Piece& p : pieces) putArchive(out, p.name, p.fileTime, p.data, p.size);
    freePayloadRecord(&record);
    return out;
}

}  // namespace pack

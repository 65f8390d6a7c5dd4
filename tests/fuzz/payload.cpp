// The payload parser against the layout written out plainly: a u32 count,
// then per entry a zero-terminated name, a u64 time, a u32 size and the
// bytes, everything inside the resource. The model keeps its own reading
// of each rule (limits, the name rule, padding after the last entry); a
// record the parser accepts is also built again by the packer and must give
// back the same bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/payload.h"
#include "fuzz_check.h"
#include "pack.h"

using namespace pack;

namespace {

struct ModelEntry {
    std::string name;
    uint64_t time = 0;
    uint64_t offset = 0;
    uint32_t size = 0;
};

struct Model {
    PayloadStatus status = PayloadStatus::Damaged;
    std::vector<ModelEntry> entries;
    std::string badName;
    uint64_t end = 0;  // where the last entry ends
};

uint64_t little(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

bool plain(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

Model model(const uint8_t* data, size_t size) {
    Model m;
    if (size < 2) {
        m.status = PayloadStatus::Absent;
        return m;
    }
    if (size < 4) return m;
    int64_t count = int32_t(little(data, 4));
    if (count < 0 || count > kMaxPayloadEntries) return m;
    size_t at = 4;
    for (int64_t i = 0; i < count; ++i) {
        size_t nameEnd = at;
        while (nameEnd < size && data[nameEnd] != 0) ++nameEnd;
        if (nameEnd >= size || nameEnd - at > kMaxPayloadNameBytes) return m;
        ModelEntry e;
        e.name.assign(reinterpret_cast<const char*>(data + at), nameEnd - at);
        if (size - nameEnd - 1 < 12) return m;
        e.time = little(data + nameEnd + 1, 8);
        e.size = uint32_t(little(data + nameEnd + 9, 4));
        e.offset = nameEnd + 13;
        if (e.size > size - e.offset) return m;
        at = e.offset + e.size;
        m.entries.push_back(e);
    }
    m.end = at;
    for (const ModelEntry& e : m.entries) {
        if (!plain(e.name)) {
            m.status = PayloadStatus::BadName;
            m.badName = e.name;
            m.entries.clear();
            return m;
        }
    }
    m.status = PayloadStatus::Valid;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PayloadRecord got = parsePayload(data, size);
    Model want = model(data, size);
    FUZZ_CHECK(got.status == want.status);
    if (got.status == PayloadStatus::BadName) FUZZ_CHECK(want.badName == got.badName);
    if (got.status != PayloadStatus::Valid) {
        FUZZ_CHECK(got.count == 0 && got.entries == nullptr);
        freePayloadRecord(&got);
        return 0;
    }
    FUZZ_CHECK(size_t(got.count) == want.entries.size());
    std::vector<Archive> archives;
    for (int32_t i = 0; i < got.count; ++i) {
        const PayloadEntry& g = got.entries[i];
        const ModelEntry& w = want.entries[size_t(i)];
        FUZZ_CHECK(g.name == w.name && g.fileTime == w.time && g.offset == w.offset && g.size == w.size);
        archives.push_back(Archive{g.name, g.fileTime, Bytes(data + g.offset, data + g.offset + g.size)});
    }
    freePayloadRecord(&got);
    // The packer refuses more names than the launcher does (Windows'
    // reserved characters); what it accepts it must write back unchanged.
    if (!archives.empty()) {
        try {
            Bytes rebuilt = buildPayload(archives);
            FUZZ_CHECK(rebuilt.size() == want.end && std::memcmp(rebuilt.data(), data, rebuilt.size()) == 0);
        } catch (const PackError&) {
        }
    }
    return 0;
}

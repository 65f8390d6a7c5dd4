// The payload parser against the layout written out plainly: a u32 count,
// then per entry a zero-terminated name, a u64 time, a u32 size and the
// bytes, everything inside the resource. The model keeps its own reading
// of each rule (limits, padding after the last entry, and what an attacker
// aims at in a name: Windows' devices and the names it reads as another
// file, a class-path separator, a placeholder, a quote, a control
// character, bytes that are no UTF-8, two names of one file); a record the
// parser accepts is also built again by the packer and must give back the
// same bytes.
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
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

// The code points of strict UTF-8; false for anything else (a stray or
// missing continuation byte, an overlong form, a surrogate, beyond U+10FFFF).
bool decodeUtf8(const std::string& text, std::vector<uint32_t>& out) {
    static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = uint8_t(text[i]);
        const int extra = lead < 0x80                ? 0
                          : (lead & 0xE0) == 0xC0    ? 1
                          : (lead & 0xF0) == 0xE0    ? 2
                          : (lead & 0xF8) == 0xF0    ? 3
                                                     : -1;
        if (extra < 0 || text.size() - i < size_t(extra) + 1) return false;
        uint32_t c = extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (int k = 1; k <= extra; ++k) {
            const uint8_t next = uint8_t(text[i + size_t(k)]);
            if ((next & 0xC0) != 0x80) return false;
            c = c << 6 | (next & 0x3F);
        }
        if (c < smallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out.push_back(c);
        i += size_t(extra) + 1;
    }
    return true;
}

// Windows' upper case of the letters that the launcher folds: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic, as pairs of capital and
// small letter.
uint32_t upper(uint32_t c) {
    static const std::map<uint32_t, uint32_t> table = [] {
        std::map<uint32_t, uint32_t> t;
        for (uint32_t small = 'a'; small <= 'z'; ++small) t[small] = small - 32;
        for (uint32_t small = 0xE0; small <= 0xFE; ++small)
            if (small != 0xF7) t[small] = small - 32;
        t[0xFF] = 0x178;
        for (uint32_t capital = 0x100; capital < 0x138; capital += 2) t[capital + 1] = capital;
        t[0x131] = 'I';
        for (uint32_t capital = 0x139; capital < 0x149; capital += 2) t[capital + 1] = capital;
        for (uint32_t capital = 0x14A; capital < 0x178; capital += 2) t[capital + 1] = capital;
        for (uint32_t capital = 0x179; capital < 0x17F; capital += 2) t[capital + 1] = capital;
        for (uint32_t small = 0x3B1; small <= 0x3CB; ++small) t[small] = small - 0x20;
        t[0x3C2] = 0x3A3;
        t[0x3AC] = 0x386;
        t[0x3AD] = 0x388, t[0x3AE] = 0x389, t[0x3AF] = 0x38A, t[0x3CC] = 0x38C, t[0x3CD] = 0x38E, t[0x3CE] = 0x38F;
        for (uint32_t small = 0x430; small <= 0x44F; ++small) t[small] = small - 0x20;
        for (uint32_t small = 0x450; small <= 0x45F; ++small) t[small] = small - 0x50;
        return t;
    }();
    auto found = table.find(c);
    return found != table.end() ? found->second : c;
}

// What Windows opens a device for: the part before the first dot, without
// the blanks that end it.
bool device(const std::vector<uint32_t>& name) {
    std::vector<uint32_t> base;
    for (uint32_t c : name) {
        if (c == '.') break;
        base.push_back(c);
    }
    while (!base.empty() && base.back() == ' ') base.pop_back();
    std::u32string word;
    for (uint32_t c : base) word += char32_t(c < 128 ? upper(c) : c);
    for (const char32_t* reserved : {U"CON", U"PRN", U"AUX", U"NUL", U"CONIN$", U"CONOUT$"})
        if (word == reserved) return true;
    if (word.size() != 4 || (word.compare(0, 3, U"COM") != 0 && word.compare(0, 3, U"LPT") != 0)) return false;
    return (word[3] >= U'0' && word[3] <= U'9') || word[3] == 0xB9 || word[3] == 0xB2 || word[3] == 0xB3;
}

// A name that is a plain file of its own on Windows as on POSIX, and that a
// class path or the VM's options take as it is.
bool plain(const std::string& name, std::vector<uint32_t>* folded) {
    std::vector<uint32_t> points;
    if (name.empty() || name == "." || name == ".." || !decodeUtf8(name, points)) return false;
    for (uint32_t c : points) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xFFFD) return false;
        if (std::u32string(U"/\\:*?\"<>|;%").find(char32_t(c)) != std::u32string::npos) return false;
    }
    if (points.back() == '.' || points.back() == ' ' || device(points)) return false;
    for (uint32_t c : points) folded->push_back(upper(c));
    return true;
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
    std::set<std::vector<uint32_t>> seen;
    bool twice = false;
    for (const ModelEntry& e : m.entries) {
        std::vector<uint32_t> folded;
        if (!plain(e.name, &folded)) {
            m.status = PayloadStatus::BadName;
            m.badName = e.name;
            m.entries.clear();
            return m;
        }
        twice = !seen.insert(folded).second || twice;
    }
    // Two names of one file on Windows: damaged.
    if (twice) {
        m.entries.clear();
        return m;
    }
    m.status = PayloadStatus::Valid;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PayloadRecord got = parsePayload(data, size);
    Model want = model(data, size);
    FUZZ_CHECK(got.status == want.status);
    if (got.status == PayloadStatus::BadName) {
        FUZZ_CHECK(want.badName == got.badName);
        // The packer refuses what the launcher refuses.
        bool refused = false;
        try {
            checkArchiveName(got.badName);
        } catch (const PackError&) {
            refused = true;
        }
        FUZZ_CHECK(refused);
    }
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
        checkArchiveName(g.name);  // and takes what the launcher takes
        archives.push_back(Archive{g.name, g.fileTime, Bytes(data + g.offset, data + g.offset + g.size)});
    }
    freePayloadRecord(&got);
    // What the launcher accepts the packer writes back unchanged.
    if (!archives.empty()) {
        try {
            Bytes rebuilt = buildPayload(archives);
            FUZZ_CHECK(rebuilt.size() == want.end && std::memcmp(rebuilt.data(), data, rebuilt.size()) == 0);
        } catch (const PackError&) {
        }
    }
    return 0;
}

// The POSIX profile (INI) reader over file contents from memory. Every
// lookup must keep the buffer convention (terminated, under the capacity,
// whole UTF-8 characters). For files of plain ASCII text the result must
// match the rules written out plainly: lines end at CR or LF, blanks around
// names and values go, the first section of a name and its first key of a
// name decide (a key line without '=' gives the default), names compare
// without case, one pair of enclosing quotes goes, and the result is cut to
// the capacity.
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/text_buffer.h"
#include "fuzz_check.h"
#include "platform/posix/profile.h"

namespace {

bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A; }

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && blank(s[a])) ++a;
    while (b > a && blank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

bool plainAscii(const std::string& s) {
    for (char c : s)
        if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

std::string dequote(std::string v) {
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
    return v;
}

std::string model(const std::string& file, const std::string& section, const std::string& key,
                  const std::string& defaultValue, size_t cap) {
    std::string fallback = defaultValue;
    while (fallback.size() > 1 && fallback.back() == ' ') fallback.pop_back();
    std::string value = fallback;
    std::string wantSection = trim(section), wantKey = trim(key);
    bool inSection = wantSection.empty();
    std::vector<std::string> lines;
    std::string line;
    for (char c : file) {
        if (c == '\r' || c == '\n') lines.push_back(line), line.clear();
        else line += c;
    }
    lines.push_back(line);
    for (const std::string& raw : lines) {
        std::string l = trim(raw);
        if (l.empty()) continue;
        size_t close = l.rfind(']');
        if (l[0] == '[' && close != std::string::npos && close > 0) {
            if (inSection) break;
            inSection = strcasecmpAscii(trim(l.substr(1, close - 1)).c_str(), wantSection.c_str()) == 0;
            continue;
        }
        if (!inSection) continue;
        size_t equals = l.find('=');
        if (strcasecmpAscii(trim(l.substr(0, equals)).c_str(), wantKey.c_str()) != 0) continue;
        if (equals != std::string::npos) value = trim(l.substr(equals + 1));
        break;
    }
    value = dequote(value);
    return value.substr(0, cap - 1);
}

bool wholeUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    size_t cap = input.ConsumeIntegralInRange<size_t>(1, 300);
    std::string section = input.ConsumeRandomLengthString(40);
    std::string key = input.ConsumeRandomLengthString(40);
    std::string defaultValue = input.ConsumeRandomLengthString(40);
    std::string file = input.ConsumeRemainingBytesAsString();
    section = section.substr(0, section.find('\0'));
    key = key.substr(0, key.find('\0'));
    defaultValue = defaultValue.substr(0, defaultValue.find('\0'));

    platform::ProfileFile* profile =
        platform::parseProfileBytes(reinterpret_cast<const unsigned char*>(file.data()), file.size());
    std::vector<char> buffer(cap + 1, '\x5A');
    size_t length = platform::readLoadedProfileString(profile, section.c_str(), key.c_str(), defaultValue.c_str(),
                                                      buffer.data(), cap);
    platform::freeProfileFile(profile);
    FUZZ_CHECK(length < cap && buffer[length] == '\0' && buffer[cap] == '\x5A');
    std::string got(buffer.data(), length);
    FUZZ_CHECK(std::strlen(buffer.data()) == length && wholeUtf8(got));
    if (plainAscii(file) && plainAscii(section) && plainAscii(key) && plainAscii(defaultValue))
        FUZZ_CHECK(got == model(file, section, key, defaultValue, cap));
    return 0;
}

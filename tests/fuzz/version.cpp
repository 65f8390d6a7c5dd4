// The version rules (parseVersionSpec, versionAccepted) against the rule
// written out plainly: the operator prefix, up to four fields cut at every
// non-digit (the text's last character always belongs to the last field),
// each read as its leading digits, packed as a*1000000 + b*10000 + c*100 + d.
// Numbers too big for 32 bits are held at the largest value.
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "runtime/search.h"

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

int64_t leadingNumber(const std::string& field) {
    if (field.size() > 255) return 0;
    int64_t value = 0;
    for (char c : field) {
        if (!digit(c)) break;
        value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
    }
    return value;
}

VersionRequirement model(const std::string& text) {
    VersionRequirement r{VersionOperator::GreaterOrEqual, 0};
    size_t start = 0;
    if (text.rfind("=", 0) == 0) r.op = VersionOperator::Equal, start = 1;
    else if (text.size() >= 3 && text.rfind(">=", 0) == 0) start = 2;
    else if (text.size() >= 3 && text.rfind(">", 0) == 0) r.op = VersionOperator::Greater, start = 1;
    else if (text.size() >= 3 && text.rfind("<=", 0) == 0) r.op = VersionOperator::LessOrEqual, start = 2;
    else if (text.size() >= 3 && text.rfind("<", 0) == 0) r.op = VersionOperator::Less, start = 1;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = start; i < text.size() && fields.size() < 4; ++i) {
        if (i + 1 == text.size()) {
            fields.push_back(field + text[i]);
        } else if (!digit(text[i])) {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    int64_t packed = 0;
    static const int64_t weights[4] = {1000000, 10000, 100, 1};
    for (size_t k = 0; k < fields.size(); ++k) packed += leadingNumber(fields[k]) * weights[k];
    r.value = int32_t(std::min<int64_t>(packed, INT32_MAX));
    return r;
}

bool meets(int32_t version, VersionRequirement need) {
    switch (need.op) {
        case VersionOperator::Greater: return version > need.value;
        case VersionOperator::GreaterOrEqual: return version >= need.value;
        case VersionOperator::Equal: return version == need.value;
        case VersionOperator::Less: return version < need.value;
        case VersionOperator::LessOrEqual: return version <= need.value;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    input = input.substr(0, input.find('\0'));
    // "version|requirements": the name of an entry and a ';' list.
    size_t bar = input.find('|');
    std::string version = input.substr(0, bar);
    std::string requirements = bar == std::string::npos ? "" : input.substr(bar + 1);

    VersionRequirement got = parseVersionSpec(version.c_str());
    VersionRequirement want = model(version);
    FUZZ_CHECK(got.op == want.op && got.value == want.value);

    bool accepted = true;
    size_t at = 0;
    while (at <= requirements.size()) {
        size_t end = requirements.find(';', at);
        if (end == std::string::npos) end = requirements.size();
        std::string item = requirements.substr(at, end - at);
        if (!item.empty() && !meets(want.value, model(item))) accepted = false;
        at = end + 1;
    }
    FUZZ_CHECK(versionAccepted(version.c_str(), requirements.c_str()) == accepted);
    return 0;
}

// Texts of the string table: UTF-8 to UTF-16, main-class scrambling and the
// 16-entry RT_STRING blocks.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/environment.h"
#include "core/placeholders.h"
#include "core/settings_table.h"
#include "core/text_buffer.h"
#include "pack.h"

namespace pack {

bool operator==(const ResourceId& a, const ResourceId& b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.number == b.number);
}

bool operator<(const ResourceId& a, const ResourceId& b) {
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.number < b.number;
}

std::u16string utf8ToUtf16(const std::string& text, const std::string& what) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        uint32_t c = s[i];
        size_t extra = 0;
        uint32_t minimum = 0;
        if (c < 0x80) {
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, c &= 0x1F, minimum = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, c &= 0x0F, minimum = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, c &= 0x07, minimum = 0x10000;
        } else {
            throw PackError(1, what + " is not valid UTF-8");
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= n || (s[i + k] & 0xC0) != 0x80) throw PackError(1, what + " is not valid UTF-8");
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            throw PackError(1, what + " is not valid UTF-8");
        i += 1 + extra;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 + (c >> 10)));
            out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
    }
    return out;
}

std::string scrambleMainClass(const std::string& dottedName) {
    if (dottedName.size() > kMaxMainClassBytes)
        throw PackError(1, "MainClass is " + std::to_string(dottedName.size()) + " bytes long; at most " +
                               std::to_string(kMaxMainClassBytes) + " fit");
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t k = 0; k < dottedName.size(); ++k) {
        unsigned char b = static_cast<unsigned char>(dottedName[k]) ^ kMainClassKey[k % 17];
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

namespace {

bool decimalInt32(const std::string& text) {
    size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.size() - digits > 10) return false;
    for (size_t i = digits; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    long long value = std::stoll(text);
    return value >= -2147483648LL && value <= 2147483647LL;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A Java binary name in dotted form: identifiers (a letter, '_', '$' or any
// non-ASCII character first, digits too after it) joined by single dots; its
// simple name is not "class" (a file name was given).
bool isBinaryName(const std::string& name) {
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        std::string part = name.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || isDigit(part[0])) return false;
        for (char ch : part) {
            unsigned char c = static_cast<unsigned char>(ch);
            bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
            if (!letter && !isDigit(ch) && ch != '_' && ch != '$' && c < 0x80) return false;
        }
        if (dot == std::string::npos) return part != "class";
        start = dot + 1;
    }
}

// Why one ';'-separated item of a version list would not work: "" when it is
// an optional operator and numbers joined by '.', '_', '-' or '+'.
std::string versionItemProblem(const std::string& item) {
    size_t at = 0;
    for (const char* op : {">=", "<=", ">", "<", "="}) {
        if (item.compare(0, std::strlen(op), op) == 0) {
            at = std::strlen(op);
            break;
        }
    }
    bool wellFormed = at < item.size() && isDigit(item[at]) && isDigit(item.back());
    for (size_t i = at; wellFormed && i + 1 < item.size(); ++i) {
        bool separator = item[i] == '.' || item[i] == '_' || item[i] == '-' || item[i] == '+';
        wellFormed = isDigit(item[i]) || (separator && isDigit(item[i + 1]));
    }
    if (!wellFormed) return "not a version";
    // The launcher takes a leading '>' or '<' as an operator only in a text of
    // three characters or more: ">9" would mean ">=0.9".
    if (item.size() < 3 && (item[0] == '>' || item[0] == '<'))
        return "read as " + std::string(">=0.") + item.substr(1) + "; write " + item + ".0";
    return "";
}

// Environment: each pair, split as the launcher splits it, a NAME=value.
std::string environmentProblem(const std::string& value) {
    ArgumentVector pairs = splitArguments(value.c_str());
    std::string problem;
    for (int32_t i = 0; i < pairs.count && problem.empty(); ++i) {
        const char* why = pairs.items[i][0] != '\0' ? environmentPairProblem(pairs.items[i]) : "";
        if (why[0] != '\0')
            problem = "Environment holds NAME=value pairs such as APP_HOME=%APPDIR%; \"" + std::string(pairs.items[i]) +
                      "\" is none: " + why;
    }
    freeArgumentVector(&pairs);
    return problem;
}

}  // namespace

std::string settingValueProblem(const SettingInfo& setting, std::string& value) {
    std::string name = setting.name;
    switch (setting.kind) {
        case SettingKind::Flag:
            if (value == "true") value = "1";
            if (value == "false") value = "0";
            // Empty reads as true in the launcher, as documented.
            if (!value.empty() && value != "0" && value != "1")
                return name + " is a flag: 0, 1, true or false, got \"" + value + "\"";
            return "";
        case SettingKind::Number: {
            if (value.empty()) return "";  // reads as 0, as documented
            if (!decimalInt32(value)) return name + " is a decimal 32-bit number, got \"" + value + "\"";
            long long number = std::stoll(value);
            if (number < setting.minimum || number > setting.maximum)
                return name + " is a number from " + std::to_string(setting.minimum) + " to " +
                       std::to_string(setting.maximum) + ", got " + value;
            return "";
        }
        case SettingKind::ScrambledText:
            if (value.empty()) return name + " cannot be empty";
            // Checked before it is scrambled: the launcher hands it to Java.
            try {
                utf8ToUtf16(value, name);
            } catch (const PackError& e) {
                return e.what();
            }
            if (!isBinaryName(value))
                return name + " is a Java class name in dotted form, such as com.example.Main (no blanks, '/' or "
                              "\".class\"), got \"" + value + "\"";
            return "";
        case SettingKind::Version: {
            size_t start = 0;
            while (start <= value.size()) {
                size_t end = value.find(';', start);
                if (end == std::string::npos) end = value.size();
                std::string item = value.substr(start, end - start);
                std::string problem = item.empty() ? "" : versionItemProblem(item);
                if (!problem.empty())
                    return name + " is a list of versions such as 11 or >=1.8;<17 (an optional >, >=, =, <, <= "
                                  "before numbers joined by '.' or '_'); \"" + item + "\" is " + problem;
                start = end + 1;
            }
            return "";
        }
        case SettingKind::Text:
            return name == "Environment" ? environmentProblem(value) : desktopSettingProblem(name, value);
    }
    return "";
}

std::string unscrambleMainClass(const std::string& scrambled) {
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    if (scrambled.size() % 2 != 0) return out;
    for (size_t k = 0; k < scrambled.size() / 2; ++k) {
        int high = digit(scrambled[2 * k]), low = digit(scrambled[2 * k + 1]);
        if (high < 0 || low < 0) return std::string();
        out.push_back(char((high * 16 + low) ^ kMainClassKey[k % 17]));
    }
    return out;
}

std::string shownText(const std::string& text) {
    std::string out;
    for (char c : text) {
        char escaped[5];
        if (controlEscape(static_cast<unsigned char>(c), escaped))
            out += escaped;
        else
            out += c;
    }
    return out;
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

std::string utf16ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        appendUtf8(out, c);
    }
    return out;
}

std::vector<std::u16string> readStringBlock(const Bytes& block) {
    std::vector<std::u16string> texts(16);
    size_t at = 0;
    for (auto& text : texts) {
        if (block.size() - at < 2) break;
        size_t units = size_t(block[at] | (block[at + 1] << 8));
        at += 2;
        for (size_t k = 0; k < units && block.size() - at >= 2; ++k, at += 2)
            text.push_back(char16_t(block[at] | (block[at + 1] << 8)));
    }
    return texts;
}

Bytes buildStringBlock(const std::map<unsigned, std::u16string>& texts) {
    Bytes block;
    for (unsigned entry = 0; entry < 16; ++entry) {
        auto it = texts.find(entry);
        if (it == texts.end()) {
            putU16(block, 0);
            continue;
        }
        if (it->second.size() > 0xFFFF) throw PackError(1, "a text does not fit a string-table entry");
        putU16(block, uint32_t(it->second.size()));
        for (char16_t unit : it->second) putU16(block, unit);
    }
    return block;
}

static std::u16string entryText(const std::string& text, const std::string& what) {
    std::u16string wide = utf8ToUtf16(text, what);
    if (wide.size() > 0xFFFF)
        throw PackError(1, what + " is " + std::to_string(wide.size()) +
                               " UTF-16 units long; a string-table entry holds at most 65535");
    return wide;
}

std::vector<Resource> buildResources(PackInput input) {
    // block number -> (entry -> text), per language
    std::map<std::pair<uint32_t, unsigned>, std::map<unsigned, std::u16string>> blocks;
    for (unsigned i = 0; i < kSettingCount; ++i) {
        const SettingInfo& setting = kSettings[i];
        auto given = input.settings.find(setting.id);
        std::string text = given != input.settings.end() ? given->second : setting.defaultValue;
        if (setting.kind == SettingKind::ScrambledText) text = scrambleMainClass(text);
        if (text.empty()) text = "<null>";
        blocks[{kLanguageNeutral, setting.id / 16 + 1}][setting.id % 16] =
            entryText(text, std::string("setting ") + setting.name);
    }
    for (int id = 1; id <= kMessageCount; ++id) {
        auto given = input.messages.find(id);
        std::string text = given != input.messages.end() ? given->second : kMessages[id - 1].text;
        blocks[{input.messageLanguage, unsigned(id) / 16 + 1}][unsigned(id) % 16] =
            entryText(text, "message " + std::to_string(id));
    }

    std::vector<Resource> resources;
    for (const auto& [key, entries] : blocks) {
        Resource r;
        r.type = numericId(kTypeString);
        r.name = numericId(key.second);
        r.language = key.first;
        r.data = buildStringBlock(entries);
        resources.push_back(std::move(r));
    }
    if (!input.payload.empty()) {
        Resource r;
        r.type = numericId(kTypeRcData);
        r.name = numericId(1);
        r.language = kLanguageNeutral;
        r.data = std::move(input.payload);
        resources.push_back(std::move(r));
    }
    std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        if (!(a.type == b.type)) return a.type < b.type;
        if (!(a.name == b.name)) return a.name < b.name;
        return a.language < b.language;
    });
    return resources;
}

bool isPackerResource(const Resource& r) {
    if (r.type.named || r.name.named) return false;
    if (r.type.number == kTypeRcData) return r.name.number == 1;
    if (r.type.number != kTypeString) return false;
    unsigned block = r.name.number;
    // Messages 1..21 live in blocks 1 and 2; the settings in the blocks of their ids.
    if (block == 1 || block == 2) return true;
    for (unsigned i = 0; i < kSettingCount; ++i)
        if (kSettings[i].id / 16 + 1 == block) return true;
    return false;
}

}  // namespace pack

// The packer's configuration file: a small TOML subset.
//
//   # comment
//   MainClass = "com.example.Main"      basic string (\\ \" \n \t \r \b \f \uXXXX \UXXXXXXXX)
//   JvmOptions = '-Dliteral=C:\x'       literal string, no escapes
//   ExtractLocation = 1                 integer (decimal, or 0x hexadecimal)
//   RemoveExtractedFiles = true         flag: true -> "1", false -> "0"
//   Archives = ["app.jar", "lib/b.jar"] paths relative to the file's directory
//   Icon = "app.ico"                    likewise: the icon and the manifest of
//   Manifest = "app.manifest"           a Windows launcher
//   MessageLanguage = 1031
//   [Messages]
//   1 = "Already running."              messages by number, 1 to 21
//
// Every value sits on one line; keys are setting names exactly as written.
#include <cctype>
#include <cstdlib>

#include "core/settings_table.h"
#include "pack.h"

namespace pack {

bool parseLanguage(const std::string& text, uint32_t* language) {
    if (text.empty() || text.size() > 8) return false;
    const char* digits = text.c_str();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits += 2;
        base = 16;
    }
    for (const char* p = digits; *p != '\0'; ++p)
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(*p)) : std::isdigit(static_cast<unsigned char>(*p))))
            return false;
    unsigned long value = std::strtoul(digits, nullptr, base);
    if (value > 0xFFFF) return false;
    *language = uint32_t(value);
    return true;
}

bool parseMessageNumber(const std::string& text, int* number) {
    if (text.empty() || text.size() > 2) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > kMessageCount) return false;
    *number = value;
    return true;
}

std::string unknownKeyText(const std::string& key) {
    if (findFileOnlySetting(key.c_str()) != nullptr)
        return key + " cannot be packed: it is read from the settings file beside the launcher (see SettingsFile)";
    return "unknown key " + key;
}

namespace {

enum class ValueKind { String, Integer, Boolean, Array };

struct Value {
    ValueKind kind = ValueKind::String;
    std::string text;  // string, or the integer / boolean as the setting text
    std::vector<std::string> items;
};

struct LineParser {
    const std::string& line;
    size_t pos = 0;
    std::string where;  // "FILE:LINE"

    [[noreturn]] void fail(const std::string& message) const { throw PackError(1, where + ": " + message); }

    void skipBlanks() {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    }
    bool atEnd() {
        skipBlanks();
        return pos >= line.size() || line[pos] == '#';
    }
    void expectEnd() {
        if (!atEnd()) fail("unexpected text after the value");
    }

    std::string basicString() {
        ++pos;  // opening quote
        if (line.compare(pos, 2, "\"\"") == 0) fail("multi-line strings are not supported");
        std::string out;
        for (;;) {
            if (pos >= line.size()) fail("unterminated string");
            char c = line[pos++];
            if (c == '"') return out;
            if (c == '\0') fail("a text cannot hold a zero character");
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos >= line.size()) fail("unterminated string");
            char e = line[pos++];
            switch (e) {
                case '\\': out.push_back('\\'); break;
                case '"': out.push_back('"'); break;
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'r': out.push_back('\r'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'u':
                case 'U': {
                    size_t count = e == 'u' ? 4 : 8;
                    if (pos + count > line.size()) fail("bad \\" + std::string(1, e) + " escape");
                    uint32_t c32 = 0;
                    for (size_t k = 0; k < count; ++k) {
                        char h = line[pos + k];
                        if (!std::isxdigit(static_cast<unsigned char>(h))) fail("bad \\" + std::string(1, e) + " escape");
                        c32 = c32 * 16 + uint32_t(std::isdigit(static_cast<unsigned char>(h)) ? h - '0'
                                                                                              : (std::tolower(h) - 'a' + 10));
                    }
                    pos += count;
                    if (c32 > 0x10FFFF || (c32 >= 0xD800 && c32 <= 0xDFFF)) fail("escape is not a Unicode scalar value");
                    if (c32 == 0) fail("a text cannot hold a zero character");
                    appendUtf8(out, c32);
                    break;
                }
                default: fail(std::string("unknown escape \\") + e);
            }
        }
    }

    std::string literalString() {
        ++pos;
        if (line.compare(pos, 2, "''") == 0) fail("multi-line strings are not supported");
        size_t end = line.find('\'', pos);
        if (end == std::string::npos) fail("unterminated string");
        std::string out = line.substr(pos, end - pos);
        if (out.find('\0') != std::string::npos) fail("a text cannot hold a zero character");
        pos = end + 1;
        return out;
    }

    std::string stringValue() {
        if (line[pos] == '"') return basicString();
        if (line[pos] == '\'') return literalString();
        fail("expected a string");
    }

    Value value() {
        skipBlanks();
        if (pos >= line.size()) fail("missing value");
        Value v;
        char c = line[pos];
        if (c == '"' || c == '\'') {
            v.text = stringValue();
            return v;
        }
        if (c == '[') {
            v.kind = ValueKind::Array;
            ++pos;
            for (;;) {
                skipBlanks();
                if (pos >= line.size()) fail("unterminated array (arrays must stay on one line)");
                if (line[pos] == ']') {
                    ++pos;
                    return v;
                }
                v.items.push_back(stringValue());
                skipBlanks();
                if (pos >= line.size()) fail("unterminated array (arrays must stay on one line)");
                if (line[pos] == ',') {
                    ++pos;
                } else if (line[pos] != ']') {
                    fail("expected ',' or ']' in array");
                }
            }
        }
        size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '#') ++pos;
        std::string word = line.substr(start, pos - start);
        if (word == "true" || word == "false") {
            v.kind = ValueKind::Boolean;
            v.text = word == "true" ? "1" : "0";
            return v;
        }
        if (word.size() > 2 && word.size() <= 10 && word[0] == '0' && word[1] == 'x' &&
            word.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
            unsigned long long n = std::strtoull(word.c_str() + 2, nullptr, 16);
            if (n > 2147483647ULL) fail("number " + word + " is out of range");
            v.kind = ValueKind::Integer;
            v.text = std::to_string(n);
            return v;
        }
        size_t digits = (word[0] == '+' || word[0] == '-') ? 1 : 0;
        bool numeric = word.size() > digits && word.size() - digits <= 10;
        for (size_t k = digits; numeric && k < word.size(); ++k)
            numeric = std::isdigit(static_cast<unsigned char>(word[k])) != 0;
        if (!numeric) fail("cannot read value \"" + word + "\"");
        long long n = std::strtoll(word.c_str(), nullptr, 10);
        if (n < -2147483648LL || n > 2147483647LL) fail("number " + word + " is out of range");
        v.kind = ValueKind::Integer;
        v.text = std::to_string(n);
        return v;
    }

    std::string key() {
        skipBlanks();
        if (pos < line.size() && line[pos] == '"') return basicString();
        size_t start = pos;
        while (pos < line.size() &&
               (std::isalnum(static_cast<unsigned char>(line[pos])) || line[pos] == '_' || line[pos] == '-'))
            ++pos;
        if (pos == start) fail("expected a key");
        return line.substr(start, pos - start);
    }
};

// A path of the file relative to its directory, unless it is absolute.
std::string joinedPath(const std::string& directory, const std::string& path) {
    bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
    return absolute || directory.empty() ? path : directory + "/" + path;
}

}  // namespace

ConfigFile parseConfig(const std::string& text, const std::string& fileName, const std::string& directory) {
    ConfigFile config;
    bool inMessages = false;
    bool archivesSeen = false;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);

        LineParser p{line, 0, fileName + ":" + std::to_string(lineNumber)};
        if (p.atEnd()) {
            if (end == text.size()) break;
            continue;
        }
        if (line[p.pos] == '[') {
            ++p.pos;
            std::string table = p.key();
            p.skipBlanks();
            if (p.pos >= line.size() || line[p.pos] != ']') p.fail("expected ']'");
            ++p.pos;
            p.expectEnd();
            if (table != "Messages") p.fail("unknown table [" + table + "] (only [Messages] exists)");
            inMessages = true;
            continue;
        }
        std::string key = p.key();
        p.skipBlanks();
        if (p.pos >= line.size() || line[p.pos] != '=') p.fail("expected '=' after " + key);
        ++p.pos;
        Value v = p.value();
        p.expectEnd();

        if (inMessages) {
            int number = 0;
            if (!parseMessageNumber(key, &number)) p.fail("message number " + key + " is not between 1 and 21");
            if (v.kind != ValueKind::String) p.fail("message " + key + " must be a string");
            if (!config.messages.emplace(number, v.text).second) p.fail("message " + key + " given twice");
            continue;
        }
        if (key == "Archives") {
            if (v.kind != ValueKind::Array) p.fail("Archives must be an array of strings");
            if (archivesSeen) p.fail("Archives given twice");
            archivesSeen = true;
            for (const std::string& item : v.items) config.archives.push_back(joinedPath(directory, item));
            continue;
        }
        if (key == "Icon" || key == "Manifest") {
            if (v.kind != ValueKind::String || v.text.empty()) p.fail(key + " must be a file name");
            std::string& path = key == "Icon" ? config.icon : config.manifest;
            if (!path.empty()) p.fail(key + " given twice");
            path = joinedPath(directory, v.text);
            continue;
        }
        if (key == "MessageLanguage") {
            if (v.kind == ValueKind::Array || v.kind == ValueKind::Boolean || config.hasMessageLanguage ||
                !parseLanguage(v.text, &config.messageLanguage))
                p.fail("MessageLanguage must be a language id from 0 to 65535, given once");
            config.hasMessageLanguage = true;
            continue;
        }
        const SettingInfo* setting = findSettingByName(key.c_str());
        if (setting == nullptr) p.fail(unknownKeyText(key));
        if (v.kind == ValueKind::Array) p.fail(key + " cannot be an array");
        if (v.kind == ValueKind::Boolean && setting->kind != SettingKind::Flag) p.fail(key + " is not a flag");
        std::string problem = settingValueProblem(*setting, v.text);
        if (!problem.empty()) p.fail(problem);
        if (!config.values.emplace(key, v.text).second) p.fail(key + " given twice");
    }
    return config;
}

}  // namespace pack

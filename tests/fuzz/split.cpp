// splitArguments against the rule written out plainly: blanks cut outside
// quotes, a backslash escapes the character after it, a token that starts
// with a quote loses its first and last character, and unescaping keeps
// backslashes except before a quote.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/placeholders.h"
#include "fuzz_check.h"

namespace {

std::string unescape(std::string token) {
    if (!token.empty() && token[0] == '"') token = token.size() >= 2 ? token.substr(1, token.size() - 2) : "";
    std::string out;
    bool pending = false;
    for (char c : token) {
        if (pending) {
            if (c != '"') out += '\\';
            out += c;
            pending = false;
        } else if (c == '\\') {
            pending = true;
        } else if (c != '"') {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> model(const std::string& text) {
    std::vector<std::string> args;
    if (text.empty()) return args;
    size_t i = std::min(text.find_first_not_of(' '), text.size());  // blanks only: one empty argument
    std::string current;
    bool quoted = false, escaped = false, lastBlank = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ') {
            lastBlank = true;
            if (!quoted) {
                args.push_back(unescape(current));
                current.clear();
            } else {
                current += c;
            }
            continue;
        }
        lastBlank = false;
        current += c;
        if (escaped) escaped = false;
        else if (c == '\\') escaped = true;
        else if (c == '"') quoted = !quoted;
    }
    if (!lastBlank) args.push_back(unescape(current));
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> expected = model(text);
    ArgumentVector got = splitArguments(text.c_str());
    FUZZ_CHECK(got.count == int32_t(expected.size()));
    FUZZ_CHECK((got.count == 0) == (got.items == nullptr));
    for (int32_t k = 0; k < got.count; ++k) FUZZ_CHECK(expected[size_t(k)] == got.items[k]);
    freeArgumentVector(&got);
    return 0;
}

// The packer's configuration file: any text either fails with a message
// naming the file and a line, or gives settings that the command line would
// take too (known names, sound values for their kinds, no zero characters),
// and those written back as a configuration file read back the same.
#include <cstdio>
#include <string>

#include "core/settings_table.h"
#include "fuzz_check.h"
#include "pack.h"

using namespace pack;

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04X", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ConfigFile config;
    try {
        config = parseConfig(text, "app.toml", "base");
    } catch (const PackError& e) {
        FUZZ_CHECK(std::string(e.what()).rfind("app.toml:", 0) == 0 && e.status == 1);
        return 0;
    }
    std::string again;
    for (const auto& [name, value] : config.values) {
        const SettingInfo* setting = findSettingByName(name.c_str());
        FUZZ_CHECK(setting != nullptr && value.find('\0') == std::string::npos);
        std::string copy = value;
        FUZZ_CHECK(settingValueProblem(*setting, copy).empty() && copy == value);
        again += name + " = " + quoted(value) + "\n";
    }
    for (const std::string& archive : config.archives) {
        FUZZ_CHECK(archive.find('\0') == std::string::npos);
        again += "Archives = [" + quoted(archive) + "]\n";
        break;  // one list only; its first item is enough to check
    }
    if (config.hasMessageLanguage) again += "MessageLanguage = " + std::to_string(config.messageLanguage) + "\n";
    again += "[Messages]\n";
    for (const auto& [number, message] : config.messages) {
        FUZZ_CHECK(number >= 1 && number <= 21 && message.find('\0') == std::string::npos);
        again += std::to_string(number) + " = " + quoted(message) + "\n";
    }
    ConfigFile back = parseConfig(again, "again.toml", "");
    FUZZ_CHECK(back.values == config.values && back.messages == config.messages);
    FUZZ_CHECK(back.hasMessageLanguage == config.hasMessageLanguage && back.messageLanguage == config.messageLanguage);
    return 0;
}

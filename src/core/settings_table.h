// The table of settings and user messages that the packer writes and the
// launcher reads: ids, names, kinds and the values a new launcher carries.
#pragma once

enum class SettingKind { Text, Flag, Number, ScrambledText };

struct SettingInfo {
    unsigned id;
    const char* name;
    SettingKind kind;
    const char* defaultValue;  // as the packer writes it; "" is stored as "<null>"
    const char* meaning;
};

extern const SettingInfo kSettings[];
extern const unsigned kSettingCount;

// Built-in message texts, index id - 1.
extern const char* const kBuiltInMessages[21];

const SettingInfo* findSettingByName(const char* name);  // case-sensitive
const SettingInfo* findSettingById(unsigned id);

// The key that scrambles the main class: 16 characters and a zero byte.
extern const unsigned char kMainClassKey[17];

// The one table of settings and user messages: ids, names, kinds, the
// values a new launcher carries, and what each one does. The packer writes
// from it, `vantrel-pack --help` lists it, and the configuration reference
// (docs/reference.md) is generated from it, together with the smaller
// tables below that describe what a user can put into a setting.
#pragma once

// Version: ';'-separated version requirements, as JvmVersion holds them.
enum class SettingKind { Text, Flag, Number, ScrambledText, Version };

// Where %NAME% placeholders in a value built into the launcher are replaced.
// (Every value read from the settings file is expanded as it is read.)
enum class Placeholders {
    None,          // the text is used as written
    Expanded,      // the whole text, just before it is used
    EachArgument,  // every argument, once the text has been split
    AppNameOnly,   // %APPNAME% alone
};

struct SettingInfo {
    unsigned id;               // string-table id; 0 for a key of the settings file alone
    const char* name;          // also the settings-file key, when there is one
    SettingKind kind;
    const char* defaultValue;  // as the packer writes it ("" is stored as "<null>"); null: see meaning
    const char* meaning;       // one line for the reference
    Placeholders placeholders;
    const char* fileEffect;    // what the settings-file key does with a non-empty value; null: no key
    // Numbers: the values the packer accepts (a launcher reads any number).
    int minimum = -2147483647 - 1;
    int maximum = 2147483647;
};

// The string-table settings, by id.
extern const SettingInfo kSettings[];
extern const unsigned kSettingCount;
// Keys that only the settings file has (no string-table id).
extern const SettingInfo kFileOnlySettings[];
extern const unsigned kFileOnlySettingCount;

constexpr const char* kSettingsFileSection = "Application Configuration";

struct MessageInfo {
    const char* text;       // the built-in text, with at most one %s
    bool information;       // reported as information (else as an error)
    const char* shownWhen;  // one line for the reference
};
// Index id - 1.
extern const MessageInfo kMessages[21];

// Small descriptive tables of the reference: each row a name and what it
// means (some with a second column for the Linux launcher).
struct ReferenceRow {
    const char* name;
    const char* meaning;
    const char* onLinux;  // null: the same on Linux
};
struct ReferenceTable {
    const ReferenceRow* rows;
    unsigned count;
};
extern const ReferenceTable kPlaceholderTable;     // %NAME% placeholders
extern const ReferenceTable kSearchMethodTable;    // digits of JvmSearchOrder
extern const ReferenceTable kRunModeTable;         // first arguments the launcher recognises
extern const ReferenceTable kSystemPropertyTable;  // properties the application sees

// "text", "flag", "number", "class" or "version", as --help and the reference name kinds.
const char* settingKindName(SettingKind kind);

const SettingInfo* findSettingByName(const char* name);  // case-sensitive; string-table settings only
const SettingInfo* findFileOnlySetting(const char* name);
const SettingInfo* findSettingById(unsigned id);

// The key that scrambles the main class: 16 characters and a zero byte.
extern const unsigned char kMainClassKey[17];

// vantrel-pack --list: what a packed launcher carries, as the launcher reads
// it: its settings (the main class unscrambled), its messages, and the
// entries of its payload checked by the launcher's own payload parser.
#include <cstdio>
#include <map>

#include "core/payload.h"
#include "core/settings_table.h"
#include "pack.h"

namespace pack {

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned dayOfEra = unsigned(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    *year = int64_t(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

std::string formatFileTime(uint64_t fileTime) {
    int64_t seconds = int64_t(fileTime / 10000000) - 11644473600LL;
    int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    int64_t secondOfDay = seconds - days * 86400;
    int64_t year;
    unsigned month, day;
    civilFromDays(days, &year, &month, &day);
    char text[64];
    std::snprintf(text, sizeof(text), "%04lld-%02u-%02u %02lld:%02lld:%02lld.%07llu UTC", (long long)year, month,
                  day, (long long)(secondOfDay / 3600), (long long)(secondOfDay / 60 % 60),
                  (long long)(secondOfDay % 60), (unsigned long long)(fileTime % 10000000));
    return text;
}

int listLauncher(const std::string& path) {
    Bytes image = readFile(path, "launcher", kMaxStubBytes);  // "launcher not found: PATH" when missing
    std::vector<Resource> resources;
    if (isPeImage(image))
        resources = readPeResources(image);
    else if (isElfImage(image))
        resources = readBundle(image);
    else
        throw PackError(1, "not a PE or ELF executable: " + path);

    StringTable strings = readStringTables(resources);
    const std::map<unsigned, std::string>& settings = strings[kLanguageNeutral];
    std::printf("Settings:\n");
    for (unsigned i = 0; i < kSettingCount; ++i) {
        const SettingInfo& s = kSettings[i];
        auto found = settings.find(s.id);
        std::string value = found != settings.end() ? found->second : "";
        if (value == "<null>") value.clear();
        if (s.kind == SettingKind::ScrambledText) value = unscrambleMainClass(value);
        std::printf("  %-27s %s%s\n", s.name, shownText(value).c_str(), found == settings.end() ? "(absent)" : "");
    }
    for (const auto& [language, texts] : strings) {
        bool header = false;
        for (const auto& [id, text] : texts) {
            if (id < 1 || id > unsigned(kMessageCount)) continue;
            if (!header) std::printf("Messages (language %u):\n", unsigned(language));
            header = true;
            std::printf("  %2u  %s\n", id, shownText(text).c_str());
        }
    }

    const Resource* payload = findPayloadResource(resources);
    PayloadRecord record = payload != nullptr ? parsePayload(payload->data.data(), payload->data.size())
                                              : parsePayload(nullptr, 0);
    int status = 0;
    switch (record.status) {
        case PayloadStatus::Absent:
            std::printf("Archives: none\n");
            break;
        case PayloadStatus::Damaged:
            std::printf("Archives: the payload is damaged; the launcher unpacks nothing\n");
            status = 1;
            break;
        case PayloadStatus::BadName:
            std::printf("Archives: \"%s\" is not a plain file name; the launcher unpacks nothing\n",
                        shownText(record.badName).c_str());
            status = 1;
            break;
        case PayloadStatus::Valid:
            std::printf("Archives (%d):\n", int(record.count));
            for (int32_t i = 0; i < record.count; ++i) {
                const PayloadEntry& e = record.entries[i];
                std::printf("  %-30s %10u  %s\n", shownText(e.name).c_str(), unsigned(e.size),
                            formatFileTime(e.fileTime).c_str());
            }
            break;
    }
    freePayloadRecord(&record);
    return status;
}

}  // namespace pack

// The settings table is what the configuration reference is generated from;
// this keeps its settings-file keys honest against the loader: a settings
// file holding any one key the table documents changes the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/settings_table.h"
#include "scratch_dir.h"

TEST(SettingsTable, EveryDocumentedSettingsFileKeyReachesTheRecord) {
    ScratchDirectory scratch("table");
    std::vector<const SettingInfo*> keys;
    for (unsigned i = 0; i < kSettingCount; ++i)
        if (kSettings[i].fileEffect != nullptr) keys.push_back(&kSettings[i]);
    for (unsigned i = 0; i < kFileOnlySettingCount; ++i) keys.push_back(&kFileOnlySettings[i]);
    ASSERT_EQ(keys.size(), 20u);

    char fileName[] = "table.ini";
    Config.SettingsFile = fileName;
    auto apply = [&](const SettingInfo* key, const char* value) {
        std::string ini = std::string("[") + kSettingsFileSection + "]\n" + key->name + "=" + value + "\n";
        std::FILE* file = std::fopen(fileName, "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(ini.data(), 1, ini.size(), file);
        std::fclose(file);
        applySettingsFile();
    };
    // Two values that every documented effect tells apart: the record after
    // the first differs from the record after the second.
    for (const SettingInfo* key : keys) {
        apply(key, "1");
        std::vector<unsigned char> first(sizeof(Config));
        std::memcpy(first.data(), static_cast<const void*>(&Config), sizeof(Config));
        apply(key, "0");
        EXPECT_NE(std::memcmp(first.data(), static_cast<const void*>(&Config), sizeof(Config)), 0) << key->name;
    }
    Config.SettingsFile = nullptr;
}

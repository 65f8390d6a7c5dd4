// The payload parser at its edges: what the packer writes parses back whole,
// and every count, name and size that does not fit the resource, a name
// that is no plain file of its own on every platform, or two names of one
// file on Windows, refuses the whole payload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/payload.h"
#include "pack.h"

using namespace pack;

namespace {

Bytes twoArchives() {
    return buildPayload({{"app.jar", 0x01D6A2B3C4D5E6F7ULL, {'P', 'K', 3, 4}}, {"empty.zip", 1, {}}});
}

Bytes withName(const std::string& name) {
    Bytes out;
    putU32(out, 1);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    putU64(out, 0);
    putU32(out, 0);
    return out;
}

}  // namespace

TEST(Payload, WhatThePackerWritesParsesBack) {
    Bytes payload = twoArchives();
    payload.push_back(0);  // resource data may be padded
    PayloadRecord record = parsePayload(payload.data(), payload.size());
    ASSERT_EQ(record.status, PayloadStatus::Valid);
    ASSERT_EQ(record.count, 2);
    EXPECT_STREQ(record.entries[0].name, "app.jar");
    EXPECT_EQ(record.entries[0].fileTime, 0x01D6A2B3C4D5E6F7ULL);
    EXPECT_EQ(record.entries[0].size, 4u);
    ASSERT_EQ(record.entries[0].offset, 4u + 8 + 12);
    EXPECT_EQ(std::memcmp(payload.data() + record.entries[0].offset, "PK\3\4", 4), 0);
    EXPECT_STREQ(record.entries[1].name, "empty.zip");
    EXPECT_EQ(record.entries[1].size, 0u);
    freePayloadRecord(&record);

    Bytes none = {0, 0, 0, 0};
    EXPECT_EQ(parsePayload(none.data(), none.size()).status, PayloadStatus::Valid);
    EXPECT_EQ(parsePayload(nullptr, 0).status, PayloadStatus::Absent);
    EXPECT_EQ(parsePayload(none.data(), 1).status, PayloadStatus::Absent);
}

TEST(Payload, EveryFieldIsCheckedAgainstTheResourceSize) {
    const Bytes good = twoArchives();
    const size_t firstSize = 4 + 8 + 8;  // count, "app.jar\0", time
    auto patched = [&](size_t at, uint32_t value) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(value >> (8 * i));
        return b;
    };
    Bytes noEnd = good;
    std::fill(noEnd.begin() + 4, noEnd.end(), 'a');
    const struct {
        const char* what;
        Bytes payload;
    } cases[] = {
        {"count of 2 bytes", Bytes{1, 0}},
        {"count too large", patched(0, 3)},
        {"count beyond any size", patched(0, 0x7FFFFFFF)},
        {"negative count", patched(0, 0xFFFFFFFF)},
        {"name without end", noEnd},
        {"size past the end", patched(firstSize, 5 + 10 + 12 + 1)},
        {"size far past the end", patched(firstSize, 0xFFFFFFFF)},
        {"time cut short", Bytes(good.begin(), good.begin() + 4 + 8 + 5)},
        {"name longer than any file name", withName(std::string(256, 'n'))},
        {"data cut short", Bytes(good.begin(), good.end() - 11)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsePayload(c.payload.data(), c.payload.size()).status, PayloadStatus::Damaged) << c.what;
}

TEST(Payload, NamesMustBePlainFilesOfTheirOwnOnEveryPlatform) {
    const char* const bad[] = {
        "", ".", "..", "../x.jar", "..\\x.jar", "/etc/x.jar", "C:x.jar", "a/b.jar", "a\\b.jar",
        // devices, whatever the case, extension or blanks before it
        "NUL", "nul.jar", "Aux.tar.gz", "con.jar", "PRN.x", "COM1.jar", "com9", "COM0.jar", "LPT1", "lpt9.zip",
        "LPT\xC2\xB9.jar", "COM\xC2\xB3", "CONIN$", "conout$.jar", "NUL .jar", "nul..jar",
        // what Windows drops or refuses, and what would change a class path
        "lib.jar.", "lib.jar ", "...", ". ", ".. ", "a*.jar", "a?.jar", "a<b", "a>b", "a|b", "v\"t.jar",
        "v;t.jar", "v%t.jar", "%APPDIR%.jar", "a\tb.jar", "a\x1b[31m.jar", "a\x7f.jar", "a\xC2\x9B.jar",
        // no UTF-8
        "\xff.jar", "a\xC3.jar", "\xC0\xAF.jar", "\xED\xA0\x80.jar"};
    for (const char* name : bad) {
        Bytes payload = withName(name);
        PayloadRecord record = parsePayload(payload.data(), payload.size());
        EXPECT_EQ(record.status, PayloadStatus::BadName) << name;
        EXPECT_STREQ(record.badName, name);
        EXPECT_EQ(record.entries, nullptr);
        freePayloadRecord(&record);
    }
    const std::string good[] = {"a.jar",     "...jar",    "..a",      "é.jar",    " lead.jar", "CONSOLE.jar",
                                "NULL.jar",  "COM10.jar", "LPT.jar",  "com1x.jar", "auxiliary", "x.NUL",
                                "a b.zip",   "ä😀.jar",  std::string(255, 'n')};
    for (const std::string& name : good) {
        Bytes payload = withName(name);
        PayloadRecord record = parsePayload(payload.data(), payload.size());
        EXPECT_EQ(record.status, PayloadStatus::Valid) << name;
        EXPECT_EQ(record.entries[0].name, name);
        freePayloadRecord(&record);
    }
}

TEST(Payload, TwoNamesOfOneFileOnWindowsAreDamage) {
    const struct {
        const char *first, *second;
        PayloadStatus status;
    } cases[] = {
        {"a.jar", "A.JAR", PayloadStatus::Damaged},          {"Äx.jar", "äx.jar", PayloadStatus::Damaged},
        {"Σ.jar", "σ.jar", PayloadStatus::Damaged},          {"ЖЁ.jar", "жё.jar", PayloadStatus::Damaged},
        {"a.jar", "a.jar", PayloadStatus::Damaged},          {"ä.jar", "a.jar", PayloadStatus::Valid},
        {"ß.jar", "SS.jar", PayloadStatus::Valid},           {"lib.jar", "lib.jar.", PayloadStatus::BadName},
    };
    for (const auto& c : cases) {
        Bytes payload = buildPayload({{c.first, 1, {}}, {"other.jar", 2, {'x'}}, {c.second, 3, {}}});
        PayloadRecord record = parsePayload(payload.data(), payload.size());
        EXPECT_EQ(record.status, c.status) << c.first << " " << c.second;
        freePayloadRecord(&record);
    }
}

TEST(PackList, FileTimesAsUtcText) {
    EXPECT_EQ(formatFileTime(0), "1601-01-01 00:00:00.0000000 UTC");
    EXPECT_EQ(formatFileTime(116444736000000000ULL), "1970-01-01 00:00:00.0000000 UTC");
    EXPECT_EQ(formatFileTime(132444736001234567ULL), "2020-09-13 12:26:40.1234567 UTC");
}

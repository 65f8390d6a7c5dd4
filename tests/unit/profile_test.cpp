// The POSIX profile reader: limits and the cases the differential end-to-end
// test cannot compare (where Windows under Wine reads past its own buffers).
// The rules themselves are checked against Wine by test_profile_differential.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

class ProfileReader : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantrel-profile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        path = folder + "/settings.ini";
    }
    void TearDown() override {
        unlink(path.c_str());
        rmdir(folder.c_str());
    }
    void write(const std::string& content) {
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
    std::string read(const char* section, const char* key, const char* defaultValue = "", size_t cap = 4096) {
        std::string buffer(cap + 8, '\xa5');
        size_t length = platform::readProfileString(section, key, defaultValue, buffer.data(), cap, path.c_str());
        // Never a byte beyond the capacity, always terminated at the length.
        EXPECT_EQ(buffer.substr(cap), std::string(8, '\xa5'));
        EXPECT_LT(length, cap);
        EXPECT_EQ(buffer[length], '\0');
        return buffer.substr(0, length);
    }
    std::string folder;
    std::string path;
};

TEST_F(ProfileReader, OddLastByteOfUtf16IsIgnored) {
    std::string content("\xff\xfe", 2);
    for (char c : std::string("[Sec]\nb=2\n")) content += std::string{c, '\0'};
    content.pop_back();  // "\n" loses its high byte
    write(content);
    EXPECT_EQ(read("Sec", "b"), "2");
}

TEST_F(ProfileReader, ZeroCapacityAndNullArgumentsWriteNothingHarmful) {
    write("[Sec]\na=1\n");
    char byte = 'z';
    EXPECT_EQ(platform::readProfileString("Sec", "a", "", &byte, 0, path.c_str()), 0u);
    EXPECT_EQ(byte, 'z');
    char buffer[8];
    EXPECT_EQ(platform::readProfileString("Sec", "a", nullptr, buffer, sizeof(buffer), path.c_str()), 1u);
    EXPECT_EQ(platform::readProfileString("Sec", "b", nullptr, buffer, sizeof(buffer), path.c_str()), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(platform::readProfileString(nullptr, "a", "d", buffer, sizeof(buffer), path.c_str()), 0u);
    EXPECT_EQ(platform::readProfileString("Sec", nullptr, "d", buffer, sizeof(buffer), path.c_str()), 0u);
    EXPECT_EQ(platform::readProfileString("Sec", "a", "d", buffer, sizeof(buffer), nullptr), 0u);
    EXPECT_STREQ(buffer, "");
}

TEST_F(ProfileReader, RelativePathsAreRelativeToTheCurrentFolder) {
    write("[Sec]\na=1\n");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    char buffer[8];
    EXPECT_EQ(platform::readProfileString("Sec", "a", "", buffer, sizeof(buffer), "settings.ini"), 1u);
    EXPECT_STREQ(buffer, "1");
    // A missing file beside it reads as empty: the default loses its quotes.
    EXPECT_EQ(platform::readProfileString("Sec", "a", "'d'", buffer, sizeof(buffer), "absent.ini"), 1u);
    EXPECT_STREQ(buffer, "d");
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(ProfileReader, BigFilesAreReadWhole) {
    std::string content = "[Other]\n";
    for (int i = 0; i < 20000; ++i) content += "key" + std::to_string(i) + "=value" + std::to_string(i) + "\n";
    content += "[Sec]\nlast=found\n";
    write(content);
    EXPECT_EQ(read("Other", "KEY19999"), "value19999");
    EXPECT_EQ(read("Sec", "last"), "found");
}

}  // namespace

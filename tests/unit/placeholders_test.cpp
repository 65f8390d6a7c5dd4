// Placeholder expansion, output-file preparation and the settings-file name
// template: the documented examples as tables, fixed memory figures and
// clocks, and buffer limits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/config.h"
#include "core/placeholders.h"
#include "platform/platform.h"

namespace {

std::string expand(const char* text) {
    char* result = expandPlaceholders(text);
    std::string copy(result);
    std::free(result);
    return copy;
}

// The folder of the running test binary, as %APPDIR% must give it.
std::string executableFolder() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return std::string(path).substr(0, std::string(path).rfind('/'));
}

uint64_t availableBytes = 0;
uint64_t totalBytes = 0;
bool fixedMemory(platform::MemoryFigures* figures) {
    figures->availablePhysical = availableBytes;
    figures->totalPhysical = totalBytes;
    return true;
}
bool failingMemory(platform::MemoryFigures*) { return false; }

bool fixedDate(char* buf, size_t cap) {
    std::snprintf(buf, cap, "%s", "20240229");
    return true;
}
bool fixedTime(char* buf, size_t cap) {
    std::snprintf(buf, cap, "%s", "235959");
    return true;
}
bool quotedDate(char* buf, size_t cap) {
    std::snprintf(buf, cap, "%s", "\"2024\"");
    return true;
}
bool failingClock(char*, size_t) { return false; }

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;

class Placeholders : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("NOSUCHVAR");
        availableBytes = 8 * kGiB;
        totalBytes = 16 * kGiB;
        platform::overrideMemoryStatus(fixedMemory);
        platform::overrideDateText(fixedDate);
        platform::overrideTimeText(fixedTime);
        RegistryJavaHome[0] = '\0';
    }
    void TearDown() override {
        platform::overrideMemoryStatus(nullptr);
        platform::overrideDateText(nullptr);
        platform::overrideTimeText(nullptr);
        RegistryJavaHome[0] = '\0';
        unsetenv("VT_QUOTED");
        unsetenv("VT_PLAIN");
        unsetenv("java_home");
    }
};

struct Case {
    const char* input;
    const char* expected;
};

TEST_F(Placeholders, DocumentedTextRules) {
    const Case cases[] = {
        {"", ""},
        {"no placeholder here", "no placeholder here"},
        {"%NOSUCHVAR%", "%NOSUCHVAR%"},  // nothing appended: the input stands
        {"x%NOSUCHVAR%y", "xy"},
        {"50%", "50"},                   // a trailing '%' disappears
        {"50%abc", "50%abc"},            // an open placeholder keeps its '%'
        {"100%%", "100"},
        {"%%", "%%"},                    // nothing appended
        {"%", "%"},
        {"a%%b", "ab"},
        {"%NOSUCHVAR%%NOSUCHVAR%", "%NOSUCHVAR%%NOSUCHVAR%"},
        {"%NOSUCHVAR%rest", "rest"},
    };
    for (const Case& c : cases) EXPECT_EQ(expand(c.input), c.expected) << "input: " << c.input;
}

TEST_F(Placeholders, EnvironmentValuesLoseTheirQuotes) {
    setenv("VT_PLAIN", "plain", 1);
    EXPECT_EQ(expand("[%VT_PLAIN%]"), "[plain]");
    const Case quoted[] = {
        {"\"/opt/my app\"", "/opt/my app"},
        {"\"/opt/x", "/opt/x"},
        {"/opt/x\"", "/opt/x"},
        {"a\"b", "a\"b"},
        {"\"", ""},
        {"\"\"", ""},
        {"\"\"\"", "\""},
    };
    for (const Case& c : quoted) {
        setenv("VT_QUOTED", c.input, 1);
        EXPECT_EQ(expand("<%VT_QUOTED%>"), std::string("<") + c.expected + ">") << "value: " << c.input;
    }
    // A value that is empty once unquoted appends nothing at all.
    setenv("VT_QUOTED", "\"\"", 1);
    EXPECT_EQ(expand("%VT_QUOTED%"), "%VT_QUOTED%");
    setenv("VT_QUOTED", "", 1);
    EXPECT_EQ(expand("%VT_QUOTED%"), "%VT_QUOTED%");
}

TEST_F(Placeholders, AppDirIsTheExecutableFolderInAnyCase) {
    std::string folder = executableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(expand("%APPDIR%/lib"), folder + "/lib");
    EXPECT_EQ(expand("%appdir%"), folder);
    EXPECT_EQ(expand("%AppDir%x"), folder + "x");
}

TEST_F(Placeholders, JavaHomeIsTheRegistryHomeAndCaseSensitive) {
    std::strcpy(RegistryJavaHome, "\"/usr/lib/jvm/x\"");
    // Appended as it is: no quote stripping for this one.
    EXPECT_EQ(expand("-Dhome=%JAVA_HOME%/bin"), "-Dhome=\"/usr/lib/jvm/x\"/bin");
    setenv("java_home", "/from/env", 1);
    EXPECT_EQ(expand("%java_home%"), "/from/env");
    unsetenv("JAVA_HOME_NOT");
    // Empty until a registry search accepted a runtime.
    RegistryJavaHome[0] = '\0';
    EXPECT_EQ(expand("a%JAVA_HOME%b"), "ab");
    EXPECT_EQ(expand("%JAVA_HOME%"), "%JAVA_HOME%");
}

TEST_F(Placeholders, JavaHomeNeverReadsPastItsBuffer) {
    std::memset(RegistryJavaHome, 'j', sizeof(RegistryJavaHome));  // no terminator
    EXPECT_EQ(expand("%JAVA_HOME%"), std::string(sizeof(RegistryJavaHome), 'j'));
}

TEST_F(Placeholders, DateAndTimeComeFromTheClockInAnyCase) {
    EXPECT_EQ(expand("log-%DATE%-%TIME%.txt"), "log-20240229-235959.txt");
    EXPECT_EQ(expand("%date%%Time%"), "20240229235959");
    platform::overrideDateText(quotedDate);
    EXPECT_EQ(expand("%DATE%"), "2024");
    platform::overrideDateText(failingClock);
    platform::overrideTimeText(failingClock);
    EXPECT_EQ(expand("a%DATE%b%TIME%c"), "abc");
}

TEST_F(Placeholders, RealClockGivesDigits) {
    platform::overrideDateText(nullptr);
    platform::overrideTimeText(nullptr);
    std::string date = expand("%DATE%");
    std::string time = expand("%TIME%");
    EXPECT_EQ(date.size(), 8u);
    EXPECT_EQ(time.size(), 6u);
    EXPECT_EQ(date.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(Placeholders, MemorySharesInMegabytes) {
    const Case cases[] = {
        {"%AVAILRAM50%", "4096m"},
        {"%AVAILRAM%", "8192m"},
        {"%AVAILRAM100%", "8192m"},
        {"%AVAILRAM1%", "81m"},        // 81.92 truncated
        {"%TOTALRAM25%", "4096m"},
        {"%TOTALRAM0%", "16384m"},     // outside 1..100 means 100
        {"%TOTALRAM150%", "16384m"},
        {"%TOTALRAM-5%", "16384m"},
        {"%TOTALRAMabc%", "16384m"},
        {"%TOTALRAM 50%", "8192m"},    // atoi skips leading blanks
        {"%TOTALRAM50x%", "8192m"},    // and stops at the first non-digit
        {"%TOTALRAM4294967346%", "16384m"},  // too big to be a percentage, not 50
        {"-Xmx%AVAILRAM50%", "-Xmx4096m"},
    };
    for (const Case& c : cases) EXPECT_EQ(expand(c.input), c.expected) << "input: " << c.input;
    // The prefix is case-sensitive: anything else is an environment lookup.
    EXPECT_EQ(expand("%availram50%"), "%availram50%");
    EXPECT_EQ(expand("%AvailRam50%x"), "x");
}

TEST_F(Placeholders, MemoryShareFloorAndCeiling) {
    availableBytes = 100ull * 1024 * 1024;
    EXPECT_EQ(expand("%AVAILRAM50%"), "64m");   // 50m is below the floor
    EXPECT_EQ(expand("%AVAILRAM64%"), "64m");
    EXPECT_EQ(expand("%AVAILRAM100%"), "100m");
    availableBytes = 0;
    EXPECT_EQ(expand("%AVAILRAM%"), "64m");
    // A figure beyond 32 bits of megabytes is held at the largest.
    totalBytes = 1ull << 62;
    EXPECT_EQ(expand("%TOTALRAM%"), "2147483647m");
    platform::overrideMemoryStatus(failingMemory);
    EXPECT_EQ(expand("a%TOTALRAM%b"), "ab");
}

TEST_F(Placeholders, HugeTextsExpandCompletely) {
    std::string big(10000, 'x');
    EXPECT_EQ(expand(big.c_str()), big);
    std::string mixed;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        mixed += "ab%DATE%";
        expected += "ab20240229";
    }
    EXPECT_EQ(expand(mixed.c_str()), expected);
    // A 10,000-character name is looked up like any other and adds nothing.
    std::string longName = "a%" + std::string(10000, 'N') + "%b";
    EXPECT_EQ(expand(longName.c_str()), "ab");
    std::string open = "a%" + std::string(10000, 'N');
    EXPECT_EQ(expand(open.c_str()), open);
}

// ---- prepareOutputFile -----------------------------------------------------

class OutputFile : public Placeholders {
protected:
    void SetUp() override {
        Placeholders::SetUp();
        char pattern[] = "/tmp/vantrel-outfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        char current[4096];
        ASSERT_NE(getcwd(current, sizeof(current)), nullptr);
        previous = current;
        ASSERT_EQ(chdir(root.c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(previous.c_str()), 0);
        std::string command = "rm -rf '" + root + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        Placeholders::TearDown();
    }
    static bool isDirectory(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    static bool exists(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0;
    }
    std::string root;
    std::string previous;
};

TEST_F(OutputFile, CreatesTheDatedFolderButNotTheFile) {
    char* path = prepareOutputFile("logs/%DATE%/out.log");
    EXPECT_STREQ(path, "logs/20240229/out.log");
    std::free(path);
    EXPECT_TRUE(isDirectory(root + "/logs"));
    EXPECT_TRUE(isDirectory(root + "/logs/20240229"));
    EXPECT_FALSE(exists(root + "/logs/20240229/out.log"));
    // Running again finds everything in place.
    path = prepareOutputFile("logs/%DATE%/out.log");
    EXPECT_STREQ(path, "logs/20240229/out.log");
    std::free(path);
}

TEST_F(OutputFile, AbsolutePathsAndOddSeparators) {
    std::string target = root + "/a//b/c.log";
    char* path = prepareOutputFile(target.c_str());
    EXPECT_EQ(std::string(path), target);
    std::free(path);
    EXPECT_TRUE(isDirectory(root + "/a/b"));
    EXPECT_FALSE(exists(root + "/a/b/c.log"));
    // A trailing separator makes the last part a folder as well.
    path = prepareOutputFile("d/e/");
    std::free(path);
    EXPECT_TRUE(isDirectory(root + "/d/e"));
    // A plain name creates nothing; an empty text stays empty.
    path = prepareOutputFile("plain.log");
    EXPECT_STREQ(path, "plain.log");
    std::free(path);
    EXPECT_FALSE(exists(root + "/plain.log"));
    path = prepareOutputFile("");
    EXPECT_STREQ(path, "");
    std::free(path);
}

TEST_F(OutputFile, AFileInTheWayIsLeftAlone) {
    FILE* blocker = std::fopen("blocker", "w");
    ASSERT_NE(blocker, nullptr);
    std::fclose(blocker);
    char* path = prepareOutputFile("blocker/sub/x.log");
    EXPECT_STREQ(path, "blocker/sub/x.log");
    std::free(path);
    EXPECT_FALSE(isDirectory(root + "/blocker"));
}

// ---- The settings-file name template ---------------------------------------

TEST(SettingsFileName, OnlyAppNameIsKnown) {
    std::strcpy(Config.AppName, "tool");
    const Case cases[] = {
        {"%APPNAME%", "tool"},
        {"%appname%", "tool"},
        {"%APPNAME%.ini", "tool.ini"},
        {"x%%y", "xy"},
        {"a%b", "ab"},          // an open placeholder loses its '%'
        {"%OTHER%", "%OTHER%"}, // nothing appended: the template stands
        {"%OTHER%.ini", ".ini"},
        {"settings.ini", "settings.ini"},
        {"", ""},
    };
    for (const Case& c : cases) {
        char* name = resolveSettingsFileName(c.input);
        EXPECT_STREQ(name, c.expected) << "template: " << c.input;
        std::free(name);
    }
    Config.AppName[0] = '\0';
}

}  // namespace

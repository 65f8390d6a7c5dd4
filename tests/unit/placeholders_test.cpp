// Placeholder expansion, output-file preparation and the settings-file name
// template: the documented examples as tables, fixed memory figures and
// clocks, and buffer limits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/config.h"
#include "core/placeholders.h"
#include "scratch_dir.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

std::string take(char* result) {
    std::string copy(result);
    std::free(result);
    return copy;
}
std::string expand(const char* text) { return take(expandPlaceholders(text)); }

constexpr uint64_t kGiB = 1024ull * 1024 * 1024;
uint64_t availableBytes = 0;
uint64_t totalBytes = 0;

bool fixedMemory(platform::MemoryFigures* figures) {
    figures->availablePhysical = availableBytes;
    figures->totalPhysical = totalBytes;
    return true;
}
bool fixedDate(char* buf, size_t cap) { return std::snprintf(buf, cap, "20240229") > 0; }
bool fixedTime(char* buf, size_t cap) { return std::snprintf(buf, cap, "235959") > 0; }

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
        for (const char* name : {"VT_QUOTED", "VT_PLAIN", "java_home", "VT_SELF"}) unsetenv(name);
    }
};

struct Case {
    const char* input;
    const char* expected;
};

void expectExpansions(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(expand(c.input), c.expected) << "input: " << c.input;
}

TEST_F(Placeholders, DocumentedTextRules) {
    expectExpansions({
        {"", ""},
        {"no placeholder here", "no placeholder here"},
        {"%NOSUCHVAR%", "%NOSUCHVAR%"},  // nothing appended: the input stands
        {"x%NOSUCHVAR%y", "xy"},
        {"%NOSUCHVAR%rest", "rest"},
        {"%NOSUCHVAR%%NOSUCHVAR%", "%NOSUCHVAR%%NOSUCHVAR%"},
        {"50%", "50"},         // a trailing '%' disappears
        {"50%abc", "50%abc"},  // an open placeholder keeps its '%'
        {"100%%", "100"},
        {"%%", "%%"},  // nothing appended
        {"%", "%"},
        {"a%%b", "ab"},
    });
}

TEST_F(Placeholders, EnvironmentValuesLoseTheirQuotes) {
    setenv("VT_PLAIN", "plain", 1);
    EXPECT_EQ(expand("[%VT_PLAIN%]"), "[plain]");
    const Case quoted[] = {
        {"\"/opt/my app\"", "/opt/my app"}, {"\"/opt/x", "/opt/x"}, {"/opt/x\"", "/opt/x"}, {"a\"b", "a\"b"},
        {"\"", ""}, {"\"\"\"", "\""},
    };
    for (const Case& c : quoted) {
        setenv("VT_QUOTED", c.input, 1);
        EXPECT_EQ(expand("<%VT_QUOTED%>"), std::string("<") + c.expected + ">") << "value: " << c.input;
    }
    // A value that is empty once unquoted appends nothing at all.
    for (const char* empty : {"\"\"", ""}) {
        setenv("VT_QUOTED", empty, 1);
        EXPECT_EQ(expand("<%VT_QUOTED%>"), "<>");
        EXPECT_EQ(expand("%VT_QUOTED%"), "%VT_QUOTED%");
    }
}

TEST_F(Placeholders, AppDirJavaHomeDateAndTime) {
    std::string exe = fs::read_symlink("/proc/self/exe").string();
    std::string folder = exe.substr(0, exe.rfind('/'));
    EXPECT_EQ(expand("%APPDIR%/lib"), folder + "/lib");
    EXPECT_EQ(expand("%appdir%x"), folder + "x");

    // The registry home, appended as it is (no quote stripping), case-sensitive.
    std::strcpy(RegistryJavaHome, "\"/usr/lib/jvm/x\"");
    EXPECT_EQ(expand("-Dhome=%JAVA_HOME%/bin"), "-Dhome=\"/usr/lib/jvm/x\"/bin");
    setenv("java_home", "/from/env", 1);
    EXPECT_EQ(expand("%java_home%"), "/from/env");
    // Empty until a registry search accepted a runtime.
    RegistryJavaHome[0] = '\0';
    EXPECT_EQ(expand("a%JAVA_HOME%b"), "ab");
    EXPECT_EQ(expand("%JAVA_HOME%"), "%JAVA_HOME%");
    std::memset(RegistryJavaHome, 'j', sizeof(RegistryJavaHome));  // no terminator: never read past it
    EXPECT_EQ(expand("%JAVA_HOME%"), std::string(sizeof(RegistryJavaHome), 'j'));

    EXPECT_EQ(expand("log-%DATE%-%Time%.txt"), "log-20240229-235959.txt");
    platform::overrideDateText([](char* buf, size_t cap) { return std::snprintf(buf, cap, "\"2024\"") > 0; });
    EXPECT_EQ(expand("%date%"), "2024");
    platform::overrideDateText([](char*, size_t) { return false; });
    platform::overrideTimeText([](char*, size_t) { return false; });
    EXPECT_EQ(expand("a%DATE%b%TIME%c"), "abc");
    // The real clock gives digits.
    platform::overrideDateText(nullptr);
    platform::overrideTimeText(nullptr);
    std::string stamp = expand("%DATE%%TIME%");
    EXPECT_EQ(stamp.size(), 14u);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(Placeholders, MemorySharesInMegabytes) {
    expectExpansions({
        {"%AVAILRAM50%", "4096m"},
        {"%AVAILRAM%", "8192m"},
        {"%AVAILRAM100%", "8192m"},
        {"%AVAILRAM1%", "81m"},  // 81.92 truncated
        {"%TOTALRAM25%", "4096m"},
        {"%TOTALRAM0%", "16384m"},  // outside 1..100 means 100
        {"%TOTALRAM150%", "16384m"},
        {"%TOTALRAM-5%", "16384m"},
        {"%TOTALRAMabc%", "16384m"},
        {"%TOTALRAM 50%", "8192m"},              // atoi skips leading blanks
        {"%TOTALRAM50x%", "8192m"},              // and stops at the first non-digit
        {"%TOTALRAM4294967346%", "16384m"},      // too big to be a percentage, not 50
        {"-Xmx%AVAILRAM50%", "-Xmx4096m"},
        {"%availram50%", "%availram50%"},        // the prefix is case-sensitive:
        {"%AvailRam50%x", "x"},                  // anything else is an environment lookup
    });
    availableBytes = 100ull * 1024 * 1024;
    expectExpansions({{"%AVAILRAM50%", "64m"}, {"%AVAILRAM64%", "64m"}, {"%AVAILRAM100%", "100m"}});  // 64m floor
    availableBytes = 0;
    EXPECT_EQ(expand("%AVAILRAM%"), "64m");
    totalBytes = 1ull << 62;  // beyond 32 bits of megabytes: held at the largest
    EXPECT_EQ(expand("%TOTALRAM%"), "2147483647m");
    platform::overrideMemoryStatus([](platform::MemoryFigures*) { return false; });
    EXPECT_EQ(expand("a%TOTALRAM%b"), "ab");
}

TEST_F(Placeholders, HugeTextsExpandCompletely) {
    std::string big(10000, 'x'), mixed, expected;
    EXPECT_EQ(expand(big.c_str()), big);
    for (int i = 0; i < 1000; ++i) {
        mixed += "ab%DATE%";
        expected += "ab20240229";
    }
    EXPECT_EQ(expand(mixed.c_str()), expected);
    // A 10,000-character name is looked up like any other and adds nothing.
    EXPECT_EQ(expand(("a%" + std::string(10000, 'N') + "%b").c_str()), "ab");
    std::string open = "a%" + std::string(10000, 'N');
    EXPECT_EQ(expand(open.c_str()), open);
}

// A value that holds placeholders grows again each time the text is
// expanded (JvmOptions is expanded a second time): the growth is bounded.
TEST_F(Placeholders, GrowthIsBoundedAndRefusedBeyond) {
    std::string self;
    for (int i = 0; i < 1000; ++i) self += "%VT_SELF%";
    setenv("VT_SELF", self.c_str(), 1);
    std::string once = expand("%VT_SELF%");
    ASSERT_EQ(once, self);
    Config.ReportingEnabled = 0;
    EXPECT_EQ(expandPlaceholders(once.c_str()), nullptr);
    const std::string name = "%VT_SELF%";
    setenv("VT_SELF", std::string(name.size() + kMaxExpansionGrowth, 'g').c_str(), 1);
    EXPECT_EQ(expand(name.c_str()).size(), name.size() + kMaxExpansionGrowth);  // exactly the bound
    setenv("VT_SELF", std::string(name.size() + kMaxExpansionGrowth + 1, 'g').c_str(), 1);
    EXPECT_EQ(expandPlaceholders(name.c_str()), nullptr);
    // The text after the last value counts as well.
    setenv("VT_SELF", std::string(name.size() + 4 + kMaxExpansionGrowth, 'g').c_str(), 1);
    EXPECT_EQ(expandPlaceholders((name + "tail").c_str()), nullptr);
    EXPECT_EQ(prepareOutputFile(name.c_str()), nullptr);
    Config.ReportingEnabled = 1;
}

// ---- prepareOutputFile -----------------------------------------------------

class OutputFile : public Placeholders {
protected:
    ScratchDirectory scratch{"outfile"};
    const fs::path& root = scratch.root();
};

TEST_F(OutputFile, CreatesTheFoldersButNotTheFile) {
    for (int run = 0; run < 2; ++run)  // the second run finds everything in place
        EXPECT_EQ(take(prepareOutputFile("logs/%DATE%/out.log")), "logs/20240229/out.log");
    EXPECT_TRUE(fs::is_directory(root / "logs/20240229"));
    EXPECT_FALSE(fs::exists(root / "logs/20240229/out.log"));
    std::string absolute = (root / "a//b/c.log").string();
    EXPECT_EQ(take(prepareOutputFile(absolute.c_str())), absolute);
    EXPECT_TRUE(fs::is_directory(root / "a/b"));
    EXPECT_FALSE(fs::exists(root / "a/b/c.log"));
    // A trailing separator makes the last part a folder as well.
    take(prepareOutputFile("d/e/"));
    EXPECT_TRUE(fs::is_directory(root / "d/e"));
    // A plain name creates nothing; an empty text stays empty.
    EXPECT_EQ(take(prepareOutputFile("plain.log")), "plain.log");
    EXPECT_FALSE(fs::exists(root / "plain.log"));
    EXPECT_EQ(take(prepareOutputFile("")), "");
    // A file in the way is left alone.
    std::fclose(std::fopen("blocker", "w"));
    EXPECT_EQ(take(prepareOutputFile("blocker/sub/x.log")), "blocker/sub/x.log");
    EXPECT_TRUE(fs::is_regular_file(root / "blocker"));
}

// ---- The settings-file name template ---------------------------------------

TEST(SettingsFileName, OnlyAppNameIsKnown) {
    std::strcpy(Config.AppName, "tool");
    const Case cases[] = {
        {"%APPNAME%.ini", "tool.ini"},
        {"%appname%", "tool"},
        {"x%%y", "xy"},
        {"a%b", "ab"},           // an open placeholder loses its '%'
        {"%OTHER%", "%OTHER%"},  // nothing appended: the template stands
        {"%OTHER%.ini", ".ini"},
        {"conf\\%APPNAME%", "conf\\tool"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(take(resolveSettingsFileName(c.input)), c.expected) << c.input;
    Config.AppName[0] = '\0';
}

}  // namespace

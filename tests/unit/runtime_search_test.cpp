// The Java runtime search below what the end-to-end tests see: version texts
// and requirements, the list tokenizer, path joining and the tree search at
// their limits, the Linux installed-runtime table, and JAVA_HOME edge cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "platform/platform.h"
#include "runtime/jvm.h"
#include "runtime/search.h"

namespace fs = std::filesystem;

namespace {

using Op = VersionOperator;

TEST(VersionSpec, Table) {
    const struct {
        const char* text;
        Op op;
        int32_t value;
    } cases[] = {
        {"1.8", Op::GreaterOrEqual, 1080000},
        {"1.8.0_281", Op::GreaterOrEqual, 1080281},
        {"1.8.1", Op::GreaterOrEqual, 1080100},
        {"11.0.2", Op::GreaterOrEqual, 11000200},
        {"17.0.9+9", Op::GreaterOrEqual, 17000909},  // a '+' separates like any other
        {"1.2.3.4.5", Op::GreaterOrEqual, 1020304},  // a fifth field is ignored
        {"", Op::GreaterOrEqual, 0},
        {">=1.8", Op::GreaterOrEqual, 1080000},
        {">1.8", Op::Greater, 1080000},
        {"<11", Op::Less, 11000000},
        {"<=11", Op::LessOrEqual, 11000000},
        {"=9", Op::Equal, 9000000},  // '=' counts at any length
        {"=", Op::Equal, 0},
        // Two characters: the '>' is no operator but ends an empty first field.
        {">9", Op::GreaterOrEqual, 90000},
        {"<9", Op::GreaterOrEqual, 90000},
        {"==1.8", Op::Equal, 10800},  // only one '=' is an operator
        // The last character belongs to the last field.
        {"1.8a", Op::GreaterOrEqual, 1080000},
        {"1.8.", Op::GreaterOrEqual, 1080000},
        {"1..8", Op::GreaterOrEqual, 1000800},
        // Huge fields saturate instead of overflowing.
        {"99999999999999999999", Op::GreaterOrEqual, INT32_MAX},
        {"3000.1", Op::GreaterOrEqual, INT32_MAX},
        {"2147", Op::GreaterOrEqual, 2147000000},
    };
    for (const auto& c : cases) {
        VersionRequirement r = parseVersionSpec(c.text);
        EXPECT_EQ(r.op, c.op) << c.text;
        EXPECT_EQ(r.value, c.value) << c.text;
    }
    EXPECT_GT(parseVersionSpec("1.8.0_281").value, parseVersionSpec("1.8.1").value);
}

TEST(VersionSpec, FieldsBeyond255CharactersCountAsZero) {
    std::string digits255 = std::string(254, '0') + '7', digits256 = std::string(255, '0') + '7';
    EXPECT_EQ(parseVersionSpec(("1." + digits255 + ".3").c_str()).value, 1070300);
    EXPECT_EQ(parseVersionSpec(("1." + digits256 + ".3").c_str()).value, 1000300);
    // As the last field, the final character counts into the length too.
    EXPECT_EQ(parseVersionSpec(("1." + digits256).c_str()).value, 1000000);
}

TEST(VersionRules, Table) {
    const struct {
        const char* version;
        const char* requirements;
        bool accepted;
    } cases[] = {
        {"1.8.0_281", ">=1.8;<11", true},  {"11.0.2", ">=1.8;<11", false},  {"1.7.0_80", ">=1.8;<11", false},
        {"10.0.1", ";;>=1.8;;<11;", true}, {"1.7.0_80", "1.8", false},      {"1.8", "1.8", true},
        {"17", "1.8", true},               {"1.8.0", "=1.8", true},         {"1.8.0_281", "=1.8", false},
        {"11", "=1.8", false},             {"1.8", ">1.8", false},          {"1.8.0_1", ">1.8", true},
        {"11", "<=11", true},              {"11.0.1", "<=11", false},       {"1.1", "", true},
        {"garbage", ";", true},            {"1.1", nullptr, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(versionAccepted(c.version, c.requirements), c.accepted)
            << c.version << " " << (c.requirements ? c.requirements : "<null>");
}

std::vector<std::string> tokens(std::string text, const char* separators) {
    std::vector<std::string> out;
    char* cursor = nullptr;
    while (const char* token = nextToken(text.data(), separators, &cursor)) out.emplace_back(token);
    EXPECT_EQ(nextToken(text.data(), separators, &cursor), nullptr);  // stays at the end
    return out;
}

TEST(NextToken, SkipsRunsOfSeparators) {
    using V = std::vector<std::string>;
    EXPECT_EQ(tokens(";;a;bb;;ccc;", ";"), (V{"a", "bb", "ccc"}));
    EXPECT_EQ(tokens("", ";"), V{});
    EXPECT_EQ(tokens(";;;", ";"), V{});
    EXPECT_EQ(tokens("a b;c", " ;"), (V{"a", "b", "c"}));
    char list[] = "a;b";
    char* cursor = nullptr;
    nextToken(list, ";", &cursor);
    EXPECT_STREQ(list, "a");  // cut in place: the separator became a NUL
}

TEST(JoinPath, OneSeparatorAndNothingBeyondTheLimit) {
    char out[12];
    ASSERT_TRUE(joinPath(out, sizeof(out), "/opt/", "bin"));
    EXPECT_STREQ(out, "/opt/bin");
    ASSERT_TRUE(joinPath(out, sizeof(out), "", "bin"));
    EXPECT_STREQ(out, "/bin");
    ASSERT_TRUE(joinPath(out, 11, "/abcd", "efgh"));  // 10 characters + NUL = 11
    EXPECT_STREQ(out, "/abcd/efgh");
    ASSERT_TRUE(joinPath(out, sizeof(out), out + 5, "x"));  // may write over its own directory
    EXPECT_STREQ(out, "/efgh/x");
    std::memset(out, 'X', sizeof(out));
    EXPECT_FALSE(joinPath(out, 10, "/abcd", "efgh"));
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(std::string(out + 1, sizeof(out) - 1), std::string(sizeof(out) - 1, 'X'));
    EXPECT_FALSE(joinPath(out, 0, "a", "b"));
}

// ---- File-system fixtures ---------------------------------------------------

class RuntimeTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("vantrel-runtime-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path touch(const fs::path& relative, const std::string& text = "x") {
        fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        return path;
    }
    std::string inTree(const fs::path& directory) {
        char path[260];
        return findJvmLibraryInTree(directory.c_str(), path, sizeof(path)) ? path : "<none>";
    }

    fs::path root;
};

TEST_F(RuntimeTree, TreeSearchDepthFirstWithinThePathLimit) {
    touch("lib/other.so");
    EXPECT_EQ(inTree(root), "<none>");
    EXPECT_EQ(inTree(root / "missing"), "<none>");
    // A deep branch whose library path would not fit is skipped.
    fs::path deep = "a";
    while ((root / deep).string().size() < 250) deep /= "dddddddddd";
    touch(deep / "libjvm.so");
    touch("b/deep/er/libjvm.so");
    touch("c/libjvm.so");
    EXPECT_EQ(inTree(root), (root / "b/deep/er/libjvm.so").string());
    // The library is taken before a directory that comes later.
    touch("d/zz/server/libjvm.so");
    touch("d/libjvm.so");
    EXPECT_EQ(inTree(root / "d"), (root / "d/libjvm.so").string());
}

TEST_F(RuntimeTree, OnlyReadableFilesCount) {
    fs::create_directories(root / "dir");
    EXPECT_FALSE(fileIsReadable((root / "dir").c_str()));
    EXPECT_FALSE(fileIsReadable((root / "missing").c_str()));
    EXPECT_FALSE(fileIsReadable(""));
    EXPECT_TRUE(fileIsReadable(touch("file").c_str()));
}

// ---- The installed-runtime table and JAVA_HOME -------------------------------

class RuntimeSearch : public RuntimeTree {
protected:
    void SetUp() override {
        RuntimeTree::SetUp();
        setenv("VANTREL_JVM_ROOT", (root / "jvm").c_str(), 1);
        unsetenv("JAVA_HOME");
        fs::create_directories(root / "jvm");
        set(&Config.JvmPath, "");
        set(&Config.JvmVersion, "1.8");
        set(&Config.JvmSearchOrder, "1");
        set(&Config.JvmNotFoundDocument, "");
        set(&Config.JvmNotFoundCommand, "");
        Config.ShowJvmNotFoundMessage = 0;
    }
    void TearDown() override {
        unsetenv("VANTREL_JVM_ROOT");
        unsetenv("JAVA_HOME");
        for (char** field : {&Config.JvmPath, &Config.JvmVersion, &Config.JvmSearchOrder,
                             &Config.JvmNotFoundDocument, &Config.JvmNotFoundCommand}) {
            std::free(*field);
            *field = nullptr;
        }
        RuntimeTree::TearDown();
    }

    // A runtime directory with a release file, and its library unless told.
    fs::path runtime(const std::string& name, const std::string& version, bool library = true) {
        touch(fs::path("jvm") / name / "release", "IMPLEMENTOR=\"x\"\nJAVA_VERSION=\"" + version + "\"\n");
        if (library) touch(fs::path("jvm") / name / "lib/server/libjvm.so");
        return root / "jvm" / name;
    }
    static void set(char** field, const std::string& value) {
        std::free(*field);
        *field = strdup(value.c_str());
    }
    std::string chosen() { return findJavaRuntime() ? Config.JvmPath : "<none>"; }
    std::string withJavaHome(const std::string& home) {
        setenv("JAVA_HOME", home.c_str(), 1);
        set(&Config.JvmSearchOrder, "5");
        return chosen();
    }
};

TEST_F(RuntimeSearch, TableListsRealRuntimeDirectoriesSortedByVersion) {
    fs::path jdk17 = runtime("java-17-openjdk-amd64", "17.0.9");
    runtime("temurin-25-jdk-amd64", "25.0.1");
    runtime("jdk-11", "11.0.2");
    fs::create_directory_symlink(jdk17, root / "jvm" / "java-1.17.0-openjdk-amd64");
    fs::create_directory_symlink(jdk17, root / "jvm" / "openjdk-17");
    fs::create_directories(root / "jvm" / "no-release");
    touch("jvm/temurin-25-jdk-amd64/bin/javac");  // a JDK: the JDK key lists it, the JRE key does not

    auto subkeys = [](const char* path) {
        platform::RegistryKey* key = platform::openRegistryKey(path);
        std::vector<std::string> names;
        char name[256];
        for (uint32_t i = 0; key != nullptr && platform::enumRegistrySubkey(key, i, name, sizeof(name)); ++i)
            names.push_back(name);
        platform::closeRegistryKey(key);
        return names;
    };
    EXPECT_EQ(subkeys("Software\\JavaSoft\\JRE"), (std::vector<std::string>{"11.0.2", "17.0.9"}));
    EXPECT_EQ(subkeys("Software\\JavaSoft\\JDK"), (std::vector<std::string>{"25.0.1"}));

    char value[260];
    const char* entry = "Software\\JavaSoft\\JRE\\17.0.9";
    ASSERT_TRUE(platform::readRegistryString(entry, "JavaHome", value, sizeof(value)));
    EXPECT_EQ(std::string(value), jdk17.string());
    ASSERT_TRUE(platform::readRegistryString(entry, "RuntimeLib", value, sizeof(value)));
    EXPECT_EQ(std::string(value), (jdk17 / "lib/server/libjvm.so").string());
    EXPECT_FALSE(platform::readRegistryString(entry, "RuntimeLib", value, 10));
    EXPECT_FALSE(platform::readRegistryString("Software\\JavaSoft\\JRE", "CurrentVersion", value, sizeof(value)));
    EXPECT_EQ(platform::openRegistryKey("Software\\JavaSoft\\Java Runtime Environment"), nullptr);
    // No entry accepted: the registry home stays empty.
    set(&Config.JvmVersion, ">=99");
    EXPECT_EQ(chosen(), "<none>");
    EXPECT_EQ(std::string(RegistryJavaHome), "");
}

TEST_F(RuntimeSearch, FirstJvmPathEntryIsTriedBelowARegistryJavaHome) {
    fs::path home = runtime("jdk", "17.0.9", false);
    touch("jvm/jdk/custom/libjvm.so");
    touch("jvm/jdk/a/libjvm.so");  // the tree search would find this one first
    set(&Config.JvmPath, "custom/libjvm.so");
    EXPECT_EQ(chosen(), (home / "custom/libjvm.so").string());
}

TEST_F(RuntimeSearch, JvmPathTakesTheFirstReadableFileNotADirectory) {
    fs::path lib = touch("b/libjvm.so");
    set(&Config.JvmSearchOrder, "0");
    set(&Config.JvmPath, (root / "b").string() + ";" + lib.string());
    EXPECT_EQ(chosen(), lib.string());
    set(&Config.JvmPath, (root / "b").string());
    EXPECT_EQ(chosen(), "<none>");
}

TEST_F(RuntimeSearch, JavaHomeCandidatesInOrderAndNeverCut) {
    std::string home = (root / "home").string();
    touch("home/jre/lib/amd64/server/libjvm.so");
    EXPECT_EQ(withJavaHome(home), home + "/jre/lib/amd64/server/libjvm.so");
    touch("home/lib/client/libjvm.so");
    EXPECT_EQ(withJavaHome(home), home + "/lib/client/libjvm.so");
    touch("home/lib/server/libjvm.so");
    // Quotes pushing a real home beyond the first 260 characters must not
    // leave a shorter, different path; a home too long for any candidate is
    // skipped.
    EXPECT_EQ(withJavaHome(std::string(300, '"') + home), home + "/lib/server/libjvm.so");
    EXPECT_EQ(withJavaHome(home + "/" + std::string(260, 'x')), "<none>");
}

}  // namespace

// The Java runtime search: version texts and requirements, the list
// tokenizer, path joining at the limit, the tree search, the installed-runtime
// table and the order of the search methods.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/config.h"
#include "core/placeholders.h"
#include "platform/platform.h"
#include "runtime/jvm.h"
#include "runtime/search.h"

namespace fs = std::filesystem;

namespace {

using Op = VersionOperator;

void expectSpec(const char* text, Op op, int32_t value) {
    VersionRequirement r = parseVersionSpec(text);
    EXPECT_EQ(r.op, op) << text;
    EXPECT_EQ(r.value, value) << text;
}

TEST(VersionSpec, PacksFieldsWithoutCarrying) {
    expectSpec("1.8", Op::GreaterOrEqual, 1080000);
    expectSpec("1.8.0_281", Op::GreaterOrEqual, 1080281);
    expectSpec("1.8.1", Op::GreaterOrEqual, 1080100);
    expectSpec("11.0.2", Op::GreaterOrEqual, 11000200);
    expectSpec("9", Op::GreaterOrEqual, 9000000);
    expectSpec("17.0.9+9", Op::GreaterOrEqual, 17000909);  // a '+' separates like any other
    expectSpec("1.2.3.4.5", Op::GreaterOrEqual, 1020304);  // a fifth field is ignored
    expectSpec("", Op::GreaterOrEqual, 0);
    EXPECT_GT(parseVersionSpec("1.8.0_281").value, parseVersionSpec("1.8.1").value);
}

TEST(VersionSpec, ReadsOperatorsOnlyWhereTheTextIsLongEnough) {
    expectSpec(">=1.8", Op::GreaterOrEqual, 1080000);
    expectSpec(">1.8", Op::Greater, 1080000);
    expectSpec("<11", Op::Less, 11000000);
    expectSpec("<=11", Op::LessOrEqual, 11000000);
    expectSpec("=1.8", Op::Equal, 1080000);
    expectSpec("=9", Op::Equal, 9000000);  // '=' counts at any length
    expectSpec("=", Op::Equal, 0);
    // Two characters: the '>' is no operator but ends an empty first field.
    expectSpec(">9", Op::GreaterOrEqual, 90000);
    expectSpec("<9", Op::GreaterOrEqual, 90000);
    // Only one '=' is an operator; the second ends an empty first field.
    expectSpec("==1.8", Op::Equal, 10800);
}

TEST(VersionSpec, TheLastCharacterBelongsToTheLastField) {
    expectSpec("1.8a", Op::GreaterOrEqual, 1080000);
    expectSpec("1.8.", Op::GreaterOrEqual, 1080000);
    expectSpec("1..8", Op::GreaterOrEqual, 1000800);
}

TEST(VersionSpec, FieldsBeyond255CharactersCountAsZero) {
    std::string digits255(254, '0');
    digits255 += '7';
    std::string digits256 = std::string(255, '0') + '7';
    EXPECT_EQ(parseVersionSpec(("1." + digits255 + ".3").c_str()).value, 1070300);
    EXPECT_EQ(parseVersionSpec(("1." + digits256 + ".3").c_str()).value, 1000300);
    // As the last field, the final character counts into the length too.
    EXPECT_EQ(parseVersionSpec(("1." + digits256).c_str()).value, 1000000);
}

TEST(VersionSpec, HugeFieldsSaturateInsteadOfOverflowing) {
    EXPECT_EQ(parseVersionSpec("99999999999999999999").value, INT32_MAX);
    EXPECT_EQ(parseVersionSpec("3000.1").value, INT32_MAX);
    EXPECT_EQ(parseVersionSpec("2147").value, 2147000000);
}

TEST(VersionRules, EveryRequirementMustHold) {
    EXPECT_TRUE(versionAccepted("1.8.0_281", ">=1.8;<11"));
    EXPECT_FALSE(versionAccepted("11.0.2", ">=1.8;<11"));
    EXPECT_FALSE(versionAccepted("1.7.0_80", ">=1.8;<11"));
    EXPECT_TRUE(versionAccepted("10.0.1", ";;>=1.8;;<11;"));
}

TEST(VersionRules, DefaultIsAtLeast) {
    EXPECT_FALSE(versionAccepted("1.7.0_80", "1.8"));
    for (const char* v : {"1.8", "1.8.0_281", "11.0.2", "17"}) EXPECT_TRUE(versionAccepted(v, "1.8")) << v;
}

TEST(VersionRules, EqualMatchesThePackedValueOnly) {
    EXPECT_TRUE(versionAccepted("1.8", "=1.8"));
    EXPECT_TRUE(versionAccepted("1.8.0", "=1.8"));
    EXPECT_FALSE(versionAccepted("1.8.0_281", "=1.8"));
    EXPECT_FALSE(versionAccepted("11", "=1.8"));
}

TEST(VersionRules, StrictAndInclusiveBounds) {
    EXPECT_FALSE(versionAccepted("1.8", ">1.8"));
    EXPECT_TRUE(versionAccepted("1.8.0_1", ">1.8"));
    EXPECT_TRUE(versionAccepted("11", "<=11"));
    EXPECT_FALSE(versionAccepted("11.0.1", "<=11"));
}

TEST(VersionRules, AnEmptyListAcceptsEverything) {
    EXPECT_TRUE(versionAccepted("1.1", ""));
    EXPECT_TRUE(versionAccepted("garbage", ";"));
    EXPECT_TRUE(versionAccepted("1.1", nullptr));
}

TEST(NextToken, CutsInPlaceAndSkipsRunsOfSeparators) {
    char list[] = ";;a;bb;;ccc;";
    char* cursor = nullptr;
    EXPECT_STREQ(nextToken(list, ";", &cursor), "a");
    EXPECT_STREQ(list + 2, "a");  // the separator after the token became a NUL
    EXPECT_STREQ(nextToken(list, ";", &cursor), "bb");
    EXPECT_STREQ(nextToken(list, ";", &cursor), "ccc");
    EXPECT_EQ(nextToken(list, ";", &cursor), nullptr);
    EXPECT_EQ(nextToken(list, ";", &cursor), nullptr);
}

TEST(NextToken, EmptyAndSeparatorOnlyListsYieldNothing) {
    char empty[] = "";
    char only[] = ";;;";
    char* cursor = nullptr;
    EXPECT_EQ(nextToken(empty, ";", &cursor), nullptr);
    cursor = nullptr;
    EXPECT_EQ(nextToken(only, ";", &cursor), nullptr);
}

TEST(NextToken, SeveralSeparatorCharacters) {
    char list[] = "a b;c";
    char* cursor = nullptr;
    EXPECT_STREQ(nextToken(list, " ;", &cursor), "a");
    EXPECT_STREQ(nextToken(list, " ;", &cursor), "b");
    EXPECT_STREQ(nextToken(list, " ;", &cursor), "c");
    EXPECT_EQ(nextToken(list, " ;", &cursor), nullptr);
}

TEST(JoinPath, AddsOneSeparatorOnlyWhenMissing) {
    char out[64];
    ASSERT_TRUE(joinPath(out, sizeof(out), "/opt/jdk", "bin"));
    EXPECT_STREQ(out, "/opt/jdk/bin");
    ASSERT_TRUE(joinPath(out, sizeof(out), "/opt/jdk/", "bin"));
    EXPECT_STREQ(out, "/opt/jdk/bin");
    ASSERT_TRUE(joinPath(out, sizeof(out), "", "bin"));
    EXPECT_STREQ(out, "/bin");
}

TEST(JoinPath, RefusesWhatDoesNotFitAndNeverWritesBeyond) {
    char out[12];
    std::memset(out, 'X', sizeof(out));
    ASSERT_TRUE(joinPath(out, 11, "/abcd", "efgh"));  // 10 characters + NUL = 11
    EXPECT_STREQ(out, "/abcd/efgh");
    std::memset(out, 'X', sizeof(out));
    EXPECT_FALSE(joinPath(out, 10, "/abcd", "efgh"));
    EXPECT_EQ(out[0], '\0');
    for (size_t i = 1; i < sizeof(out); ++i) EXPECT_EQ(out[i], 'X') << i;
    EXPECT_FALSE(joinPath(out, 0, "a", "b"));
}

TEST(JoinPath, MayWriteOverItsOwnDirectory) {
    char buffer[32] = "/opt/jdk";
    ASSERT_TRUE(joinPath(buffer, sizeof(buffer), buffer, "lib"));
    EXPECT_STREQ(buffer, "/opt/jdk/lib");
}

// ---- File-system fixtures ---------------------------------------------------

class RuntimeTree : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("vantrel-runtime-" + std::to_string(::getpid()) + "-" +
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

    fs::path root;
};

TEST_F(RuntimeTree, TreeSearchFindsTheLibraryDepthFirst) {
    touch("a/deep/er/libjvm.so");
    touch("b/libjvm.so");
    char path[260];
    ASSERT_TRUE(findJvmLibraryInTree(root.c_str(), path, sizeof(path)));
    EXPECT_EQ(std::string(path), (root / "a/deep/er/libjvm.so").string());
}

TEST_F(RuntimeTree, TreeSearchPrefersTheLibraryOverALaterDirectory) {
    touch("libjvm.so");
    touch("zz/server/libjvm.so");
    char path[260];
    ASSERT_TRUE(findJvmLibraryInTree(root.c_str(), path, sizeof(path)));
    EXPECT_EQ(std::string(path), (root / "libjvm.so").string());
}

TEST_F(RuntimeTree, TreeSearchFindsNothingInMissingOrEmptyTrees) {
    touch("lib/other.so");
    fs::create_directories(root / "empty");
    char path[260];
    EXPECT_FALSE(findJvmLibraryInTree(root.c_str(), path, sizeof(path)));
    EXPECT_FALSE(findJvmLibraryInTree((root / "missing").c_str(), path, sizeof(path)));
}

TEST_F(RuntimeTree, TreeSearchSkipsWhatWouldExceedThePathLimit) {
    // A deep branch whose library path would not fit, then a short one.
    fs::path deep = "a";
    while ((root / deep).string().size() < 250) deep /= "dddddddddd";
    touch(deep / "libjvm.so");
    touch("b/libjvm.so");
    char path[260];
    ASSERT_TRUE(findJvmLibraryInTree(root.c_str(), path, sizeof(path)));
    EXPECT_EQ(std::string(path), (root / "b/libjvm.so").string());
}

TEST_F(RuntimeTree, OnlyReadableFilesCount) {
    fs::create_directories(root / "dir");
    EXPECT_FALSE(fileIsReadable((root / "dir").c_str()));
    EXPECT_FALSE(fileIsReadable((root / "missing").c_str()));
    EXPECT_FALSE(fileIsReadable(""));
    EXPECT_TRUE(fileIsReadable(touch("file").c_str()));
}

// ---- The installed-runtime table and the search methods ---------------------

class RuntimeSearch : public RuntimeTree {
protected:
    void SetUp() override {
        RuntimeTree::SetUp();
        setenv("VANTREL_JVM_ROOT", (root / "jvm").c_str(), 1);
        unsetenv("JAVA_HOME");
        fs::create_directories(root / "jvm");
        Config.JvmPath = strdup("");
        Config.JvmVersion = strdup("1.8");
        Config.JvmSearchOrder = strdup("1");
        Config.ShowJvmNotFoundMessage = 0;
        Config.JvmNotFoundDocument = strdup("");
        Config.JvmNotFoundCommand = strdup("");
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
        fs::path home = root / "jvm" / name;
        touch(fs::path("jvm") / name / "release", "IMPLEMENTOR=\"x\"\nJAVA_VERSION=\"" + version + "\"\n");
        if (library) touch(fs::path("jvm") / name / "lib/server/libjvm.so");
        return home;
    }

    void set(char** field, const std::string& value) {
        std::free(*field);
        *field = strdup(value.c_str());
    }

    std::string chosen() {
        if (!findJavaRuntime()) return "<none>";
        return Config.JvmPath;
    }
};

TEST_F(RuntimeSearch, TableListsRealRuntimeDirectoriesSortedByVersion) {
    fs::path jdk17 = runtime("java-17-openjdk-amd64", "17.0.9");
    runtime("temurin-25-jdk-amd64", "25.0.1");
    runtime("jdk-11", "11.0.2");
    fs::create_directory_symlink(jdk17, root / "jvm" / "java-1.17.0-openjdk-amd64");
    fs::create_directory_symlink(jdk17, root / "jvm" / "openjdk-17");
    fs::create_directories(root / "jvm" / "no-release");

    platform::RegistryKey* key = platform::openRegistryKey("Software\\JavaSoft\\JRE");
    ASSERT_NE(key, nullptr);
    std::vector<std::string> names;
    char name[256];
    for (uint32_t i = 0; platform::enumRegistrySubkey(key, i, name, sizeof(name)); ++i) names.push_back(name);
    platform::closeRegistryKey(key);
    EXPECT_EQ(names, (std::vector<std::string>{"11.0.2", "17.0.9", "25.0.1"}));

    char value[260];
    ASSERT_TRUE(platform::readRegistryString("Software\\JavaSoft\\JRE\\17.0.9", "JavaHome", value, sizeof(value)));
    EXPECT_EQ(std::string(value), jdk17.string());
    ASSERT_TRUE(platform::readRegistryString("Software\\JavaSoft\\JRE\\17.0.9", "RuntimeLib", value, sizeof(value)));
    EXPECT_EQ(std::string(value), (jdk17 / "lib/server/libjvm.so").string());
    EXPECT_FALSE(platform::readRegistryString("Software\\JavaSoft\\JRE\\17.0.9", "RuntimeLib", value, 10));
    EXPECT_FALSE(platform::readRegistryString("Software\\JavaSoft\\JRE", "CurrentVersion", value, sizeof(value)));
    EXPECT_EQ(platform::openRegistryKey("Software\\JavaSoft\\Java Runtime Environment"), nullptr);
}

TEST_F(RuntimeSearch, DefaultJavaLinkIsTheCurrentVersionAndIsTriedFirst) {
    runtime("jdk-11", "11.0.2");
    fs::path jdk17 = runtime("jdk-17", "17.0.9");
    fs::create_directory_symlink(jdk17, root / "jvm" / "default-java");
    char value[256];
    ASSERT_TRUE(platform::readRegistryString("Software\\JavaSoft\\JRE", "CurrentVersion", value, sizeof(value)));
    EXPECT_STREQ(value, "17.0.9");
    EXPECT_EQ(chosen(), (jdk17 / "lib/server/libjvm.so").string());
    EXPECT_EQ(std::string(RegistryJavaHome), jdk17.string());
}

TEST_F(RuntimeSearch, RegistryTakesTheFirstAcceptedEntryNotTheHighest) {
    runtime("old", "1.7.0_80");
    fs::path jdk11 = runtime("jdk-11", "11.0.2");
    runtime("jdk-17", "17.0.9");
    EXPECT_EQ(chosen(), (jdk11 / "lib/server/libjvm.so").string());
}

TEST_F(RuntimeSearch, VersionListsSelectTheEntry) {
    fs::path jdk8 = runtime("jdk8", "1.8.0_281");
    fs::path jdk8plain = runtime("jdk8plain", "1.8.0");
    runtime("jdk11", "11.0.2");
    set(&Config.JvmVersion, ">=1.8;<11");
    EXPECT_EQ(chosen(), (jdk8plain / "lib/server/libjvm.so").string());  // "1.8.0" sorts first
    set(&Config.JvmVersion, ">1.8.0");
    EXPECT_EQ(chosen(), (jdk8 / "lib/server/libjvm.so").string());
    set(&Config.JvmVersion, "=1.8");
    EXPECT_EQ(chosen(), (jdk8plain / "lib/server/libjvm.so").string());
    set(&Config.JvmVersion, ">=12");
    EXPECT_EQ(chosen(), "<none>");
    EXPECT_EQ(std::string(RegistryJavaHome), "");  // no entry passed
}

TEST_F(RuntimeSearch, AMissingRuntimeLibIsFoundBelowJavaHome) {
    fs::path home = runtime("jdk", "17.0.9", false);
    touch("jvm/jdk/lib/zero/libjvm.so");
    EXPECT_EQ(chosen(), (home / "lib/zero/libjvm.so").string());
}

TEST_F(RuntimeSearch, FirstJvmPathEntryIsTriedBelowARegistryJavaHome) {
    fs::path home = runtime("jdk", "17.0.9", false);
    touch("jvm/jdk/custom/libjvm.so");
    touch("jvm/jdk/a/libjvm.so");  // the tree search would find this one first
    set(&Config.JvmPath, "custom/libjvm.so");
    EXPECT_EQ(chosen(), (home / "custom/libjvm.so").string());
}

TEST_F(RuntimeSearch, JvmPathListTakesTheFirstReadableEntryAndKeepsIt) {
    fs::path lib = touch("b/libjvm.so");
    set(&Config.JvmPath, (root / "missing.so").string() + ";;" + lib.string() + ";" + (root / "c.so").string());
    set(&Config.JvmSearchOrder, "0");
    EXPECT_EQ(chosen(), lib.string());
    // A runtime directory is no library.
    set(&Config.JvmPath, (root / "b").string());
    EXPECT_EQ(chosen(), "<none>");
}

TEST_F(RuntimeSearch, JavaHomeWithQuotesAndTrailingSeparator) {
    touch("home/lib/server/libjvm.so");
    set(&Config.JvmSearchOrder, "5");
    setenv("JAVA_HOME", ("\"" + (root / "home").string() + "\"").c_str(), 1);
    EXPECT_EQ(chosen(), (root / "home").string() + "/lib/server/libjvm.so");
    setenv("JAVA_HOME", ((root / "home").string() + "/").c_str(), 1);
    EXPECT_EQ(chosen(), (root / "home").string() + "//lib/server/libjvm.so");
    // An old runtime is taken: JAVA_HOME has no version check.
    setenv("JAVA_HOME", (root / "home").c_str(), 1);
    set(&Config.JvmVersion, ">=99");
    EXPECT_EQ(chosen(), (root / "home").string() + "/lib/server/libjvm.so");
}

TEST_F(RuntimeSearch, JavaHomeCandidatesInOrder) {
    touch("home/jre/lib/amd64/server/libjvm.so");
    set(&Config.JvmSearchOrder, "5");
    setenv("JAVA_HOME", (root / "home").c_str(), 1);
    EXPECT_EQ(chosen(), (root / "home").string() + "/jre/lib/amd64/server/libjvm.so");
    touch("home/lib/client/libjvm.so");
    EXPECT_EQ(chosen(), (root / "home").string() + "/lib/client/libjvm.so");
}

TEST_F(RuntimeSearch, LongJavaHomeIsSkippedNotCut) {
    // Quotes pushing a real home beyond the first 260 characters must not
    // leave a shorter, different path; a home too long for any candidate is
    // skipped.
    touch("home/lib/server/libjvm.so");
    set(&Config.JvmSearchOrder, "5");
    std::string quoted = std::string(300, '"') + (root / "home").string();
    setenv("JAVA_HOME", quoted.c_str(), 1);
    EXPECT_EQ(chosen(), (root / "home").string() + "/lib/server/libjvm.so");
    std::string tooLong = (root / "home").string() + "/" + std::string(260, 'x');
    setenv("JAVA_HOME", tooLong.c_str(), 1);
    EXPECT_EQ(chosen(), "<none>");
}

TEST_F(RuntimeSearch, MethodsRunInTheOrderOfTheDigits) {
    fs::path registryLib = runtime("jdk", "17.0.9") / "lib/server/libjvm.so";
    fs::path listed = touch("listed/libjvm.so");
    touch("home/lib/server/libjvm.so");
    setenv("JAVA_HOME", (root / "home").c_str(), 1);

    set(&Config.JvmPath, listed.string());
    set(&Config.JvmSearchOrder, "x5-01");
    EXPECT_EQ(chosen(), (root / "home").string() + "/lib/server/libjvm.so");
    set(&Config.JvmPath, listed.string());
    set(&Config.JvmSearchOrder, "2341");
    EXPECT_EQ(chosen(), registryLib.string());
    set(&Config.JvmSearchOrder, "0");
    set(&Config.JvmPath, listed.string());
    EXPECT_EQ(chosen(), listed.string());
    for (const char* order : {"", "6789x", "234"}) {
        set(&Config.JvmSearchOrder, order);
        EXPECT_EQ(chosen(), "<none>") << order;
    }
}

}  // namespace

// VM start without a VM: the class-path walk over real directories, and the
// option list that startJavaVm hands to a recording JNI_CreateJavaVM.
#include <gtest/gtest.h>

#include <jni.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/text_buffer.h"
#include "java/vm_hooks.h"
#include "runtime/jvm.h"

namespace fs = std::filesystem;

namespace {

class ClassPathTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantrel-vmstart-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        previous = fs::current_path();
        fs::current_path(root);
    }
    void TearDown() override {
        fs::current_path(previous);
        fs::remove_all(root);
    }
    static void touch(const fs::path& path) {
        if (!path.parent_path().empty()) fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
    static std::string archives(const char* directory) {
        TextBuffer buffer{};
        EXPECT_TRUE(appendArchivesInDirectory(&buffer, directory));
        std::string text = buffer.text != nullptr ? buffer.text : "";
        freeTextBuffer(&buffer);
        return text;
    }
    fs::path root;
    fs::path previous;
};

TEST_F(ClassPathTree, ArchivesDepthFirstByNameWithoutCase) {
    touch("lib/b.ZIP");
    touch("lib/a.jar");
    touch("lib/notes.txt");
    touch("lib/sub/c.jar");
    touch("lib/Sub2/deeper/d.Jar");
    touch("lib/x.jarx");
    touch("lib/jar");
    touch("lib/.zip");
    fs::create_directories("lib/empty");
    fs::create_directories("lib/folder.jar");
    touch("lib/folder.jar/inner.zip");
    EXPECT_EQ(archives("lib"),
              "lib/.zip:lib/a.jar:lib/b.ZIP:lib/folder.jar/inner.zip:lib/sub/c.jar:lib/Sub2/deeper/d.Jar:");
}

TEST_F(ClassPathTree, DirectoryTextIsKeptAsWritten) {
    touch("lib/a.jar");
    touch("lib/s/b.zip");
    // A trailing separator stays: the names are joined to the text as given.
    EXPECT_EQ(archives("lib/"), "lib//a.jar:lib//s/b.zip:");
    fs::current_path("lib");
    EXPECT_EQ(archives("."), "./a.jar:./s/b.zip:");
}

TEST_F(ClassPathTree, MissingOrEmptyDirectoryAddsNothing) {
    fs::create_directories("empty");
    EXPECT_EQ(archives("empty"), "");
    EXPECT_EQ(archives("missing"), "");
}

TEST_F(ClassPathTree, PathsLongerThanThePathLimitAreWalked) {
    fs::path deep = "lib";
    while (deep.string().size() < 400) deep /= "level-of-nesting";
    touch(deep / "z.jar");
    EXPECT_EQ(archives("lib"), (deep / "z.jar").string() + ":");
}

TEST_F(ClassPathTree, ExistingDirectoryTest) {
    fs::create_directories("dir");
    fs::create_directories("with%percent");
    touch("file.jar");
    EXPECT_TRUE(isExistingDirectory("dir"));
    EXPECT_TRUE(isExistingDirectory(root.c_str()));
    EXPECT_FALSE(isExistingDirectory("with%percent"));
    EXPECT_FALSE(isExistingDirectory("file.jar"));
    EXPECT_FALSE(isExistingDirectory("missing"));
}

// ---- startJavaVm with a recording entry point ------------------------------

struct Recorded {
    int calls = 0;
    jint version = 0;
    jboolean ignoreUnrecognized = JNI_TRUE;
    std::vector<std::string> options;
    std::vector<void*> extraInfo;
};
Recorded recorded;
jint createResult = JNI_OK;

jint JNICALL recordingCreate(JavaVM** vm, void** env, void* args) {
    auto* init = static_cast<JavaVMInitArgs*>(args);
    ++recorded.calls;
    recorded.version = init->version;
    recorded.ignoreUnrecognized = init->ignoreUnrecognized;
    for (jint i = 0; i < init->nOptions; ++i) {
        recorded.options.emplace_back(init->options[i].optionString);
        recorded.extraInfo.push_back(init->options[i].extraInfo);
        // A VM keeps the array for the life of the process; this one takes
        // it over and lets it go, so that repeated starts leak nothing.
        if (init->options[i].extraInfo == nullptr) std::free(init->options[i].optionString);
    }
    std::free(init->options);
    *vm = nullptr;
    *env = nullptr;
    return createResult;
}

class VmStart : public ClassPathTree {
protected:
    void SetUp() override {
        ClassPathTree::SetUp();
        recorded = Recorded{};
        createResult = JNI_OK;
        Config.JvmCreateEntry = reinterpret_cast<void*>(&recordingCreate);
        replaceText(&Config.JvmPath, duplicateText("/opt/jdk/lib/server/libjvm.so"));
        replaceText(&Config.JvmOptions, duplicateText(""));
        replaceText(&Config.ClassPath, duplicateText(""));
        Config.ServiceMode = 0;
    }
    void TearDown() override {
        Config.ServiceMode = 0;
        ClassPathTree::TearDown();
    }
};

TEST_F(VmStart, OptionsThenTheClassPathOption) {
    touch("lib/a.jar");
    touch("lib/b.ZIP");
    touch("lib/notes.txt");
    touch("lib/sub/c.jar");
    replaceText(&Config.JvmOptions, duplicateText("-Xmx1024M -Dx=\"a b\""));
    replaceText(&Config.ClassPath, duplicateText("lib;;missing;app.jar;%HOME%/lib"));
    setenv("HOME", "/home/vt", 1);
    ASSERT_TRUE(startJavaVm());
    EXPECT_EQ(recorded.version, JNI_VERSION_1_2);
    EXPECT_EQ(recorded.ignoreUnrecognized, JNI_FALSE);
    EXPECT_EQ(recorded.options, (std::vector<std::string>{
                                    "-Xmx1024M", "-Dx=a b",
                                    "-Djava.class.path=lib:lib/a.jar:lib/b.ZIP:lib/sub/c.jar:missing:app.jar:/home/vt/lib"}));
    // The setting itself keeps its ';' list; JvmOptions holds the expanded text.
    EXPECT_STREQ(Config.ClassPath, "lib;;missing;app.jar;%HOME%/lib");
    EXPECT_NE(std::string(Config.JvmOptions).find("/home/vt/lib"), std::string::npos);
}

TEST_F(VmStart, NoClassPathOptionWithoutEntries) {
    replaceText(&Config.JvmOptions, duplicateText("-Xss1m"));
    replaceText(&Config.ClassPath, duplicateText(";;"));
    ASSERT_TRUE(startJavaVm());
    EXPECT_EQ(recorded.options, std::vector<std::string>{"-Xss1m"});

    recorded = Recorded{};
    replaceText(&Config.JvmOptions, duplicateText(""));
    replaceText(&Config.ClassPath, duplicateText(""));
    ASSERT_TRUE(startJavaVm());
    EXPECT_EQ(recorded.calls, 1);
    EXPECT_TRUE(recorded.options.empty());
}

TEST_F(VmStart, ServiceModeAddsTheThreeHooksLast) {
    Config.ServiceMode = 1;
    ASSERT_TRUE(startJavaVm());
    EXPECT_EQ(recorded.options, (std::vector<std::string>{"vfprintf", "abort", "exit"}));
    EXPECT_EQ(recorded.extraInfo[0], reinterpret_cast<void*>(&vmOutputHook));
    EXPECT_EQ(recorded.extraInfo[1], reinterpret_cast<void*>(&vmAbortHook));
    EXPECT_EQ(recorded.extraInfo[2], reinterpret_cast<void*>(&vmExitHook));

    recorded = Recorded{};
    replaceText(&Config.JvmOptions, duplicateText("-Xmx64m"));
    ASSERT_TRUE(startJavaVm());
    EXPECT_EQ(recorded.options, (std::vector<std::string>{"-Xmx64m", "vfprintf", "abort", "exit"}));
}

TEST_F(VmStart, RefusedCreationReportsMessage7) {
    replaceText(&Config.MessageTexts[MsgJvmCreate - 1], duplicateText("Unable to create JVM instance using %s"));
    createResult = JNI_EINVAL;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(startJavaVm());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to create JVM instance using /opt/jdk/lib/server/libjvm.so\n");
}

}  // namespace

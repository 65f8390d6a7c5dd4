// VM start without a VM: the class-path walk over real directories at its
// edges, and the option list that startJavaVm hands to a recording
// JNI_CreateJavaVM (the end-to-end tests see the common cases).
#include <gtest/gtest.h>

#include <jni.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/launcher_config.h"
#include "core/text_buffer.h"
#include "java/vm_hooks.h"
#include "runtime/jvm.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

class ClassPathTree : public ::testing::Test {
protected:
    ScratchDirectory scratch{"vmstart"};
    static void touch(const fs::path& path) {
        if (path.has_parent_path()) fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
    static std::string archives(const char* directory) {
        TextBuffer buffer{};
        EXPECT_TRUE(appendArchivesInDirectory(&buffer, directory));
        std::string text = buffer.text != nullptr ? buffer.text : "";
        freeTextBuffer(&buffer);
        return text;
    }
};

TEST_F(ClassPathTree, ArchivesDepthFirstInTheOrderWindowsListsThem) {
    for (const char* file : {"lib/b.ZIP", "lib/a.jar", "lib/notes.txt", "lib/sub/c.jar", "lib/Sub2/deeper/d.Jar",
                             "lib/x.jarx", "lib/jar", "lib/.zip", "lib/folder.jar/inner.zip", "lib/a_b.jar",
                             "lib/Alpha.JAR", "lib/ab.jar", "lib/\u00c9b.jar", "lib/\u00e9a.jar"})
        touch(file);
    fs::create_directories("lib/empty");
    // Names compare upper-cased, by UTF-16 unit: '_' after the letters, and
    // an accented letter with its capital.
    EXPECT_EQ(archives("lib"),
              "lib/.zip:lib/a.jar:lib/ab.jar:lib/Alpha.JAR:lib/a_b.jar:lib/b.ZIP:lib/folder.jar/inner.zip:"
              "lib/sub/c.jar:lib/Sub2/deeper/d.Jar:lib/\u00e9a.jar:lib/\u00c9b.jar:");
    // The directory text is kept as written, a trailing separator too.
    EXPECT_EQ(archives("lib/sub/"), "lib/sub//c.jar:");
    fs::current_path("lib/sub");
    EXPECT_EQ(archives("."), "./c.jar:");
    EXPECT_EQ(archives("../empty"), "");
    EXPECT_EQ(archives("missing"), "");
}

TEST_F(ClassPathTree, LinksAreFollowedButEachDirectoryIsEnteredOnce) {
    touch("lib/a.jar");
    touch("outside/x.jar");
    fs::create_directory_symlink(".", "lib/loop");
    fs::create_directory_symlink("..", "lib/up");
    fs::create_directory_symlink("../outside", "lib/ext");
    EXPECT_EQ(archives("lib"), "lib/a.jar:lib/ext/x.jar:");
}

TEST_F(ClassPathTree, PathsLongerThanThePathLimitAreWalked) {
    fs::path deep = "lib";
    while (deep.string().size() < 400) deep /= "level-of-nesting";
    touch(deep / "z.jar");
    EXPECT_EQ(archives("lib"), (deep / "z.jar").string() + ":");
}

// ---- startJavaVm with a recording entry point ------------------------------

struct Recorded {
    jint version = 0;
    jboolean ignoreUnrecognized = JNI_TRUE;
    std::vector<std::string> options;
    std::vector<void*> extraInfo;
};
Recorded recorded;

jint JNICALL recordingCreate(JavaVM** vm, void** env, void* args) {
    auto* init = static_cast<JavaVMInitArgs*>(args);
    recorded = Recorded{init->version, init->ignoreUnrecognized, {}, {}};
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
    return JNI_OK;
}

class VmStart : public ClassPathTree {
protected:
    void SetUp() override {
        ClassPathTree::SetUp();
        Config.JvmCreateEntry = reinterpret_cast<void*>(&recordingCreate);
        replaceText(&Config.JvmPath, duplicateText("/opt/jdk/lib/server/libjvm.so"));
        Config.ServiceMode = 0;
    }
    void TearDown() override {
        Config.ServiceMode = 0;
        ClassPathTree::TearDown();
    }
    std::vector<std::string> start(const char* options, const char* classPath, VmUse use = VmUse::Secondary) {
        replaceText(&Config.JvmOptions, duplicateText(options));
        replaceText(&Config.ClassPath, duplicateText(classPath));
        recorded = Recorded{};
        EXPECT_TRUE(startJavaVm(use));
        return recorded.options;
    }
};

TEST_F(VmStart, SplitOptionsThenTheClassPathOption) {
    using V = std::vector<std::string>;
    touch("lib/a.jar");
    setenv("HOME", "/home/vt", 1);
    EXPECT_EQ(start("-Xmx1024M -Dx=\"a b\"", "lib;;missing;%HOME%/lib"),
              (V{"-Xmx1024M", "-Dx=a b", "-Djava.class.path=lib:lib/a.jar:missing:/home/vt/lib"}));
    EXPECT_EQ(recorded.version, JNI_VERSION_1_2);
    EXPECT_EQ(recorded.ignoreUnrecognized, JNI_FALSE);
    // The setting itself keeps its ';' list.
    EXPECT_STREQ(Config.ClassPath, "lib;;missing;%HOME%/lib");
    EXPECT_EQ(start("-Xss1m", ";;"), V{"-Xss1m"});
    // Empty arguments are no options: a trailing blank before the class
    // path, two blanks, a placeholder that expands to nothing, blanks only.
    unsetenv("VT_UNSET");
    EXPECT_EQ(start("-Xmx256m ", "lib"), (V{"-Xmx256m", "-Djava.class.path=lib:lib/a.jar"}));
    EXPECT_EQ(start("-Xmx64m %VT_UNSET% -Da=x  \"\"", ""), (V{"-Xmx64m", "-Da=x"}));
    EXPECT_EQ(start("   ", ""), V{});
}

TEST_F(VmStart, APrimaryVmIsCreatedInTheWorkingDirectoryWithItsClassPathWhereItWasBuilt) {
    using V = std::vector<std::string>;
    touch("lib/a.jar");
    fs::create_directory("work");
    const std::string here = fs::current_path().string();
    replaceText(&Config.WorkingDirectory, duplicateText("work"));
    Config.EarlyWorkingDirectory = 0;
    Config.KeepStartDirectory = 0;
    // Relative entries (an empty one included) are anchored; absolute ones stay.
    EXPECT_EQ(start("-Xss1m \"-Djava.class.path=x::/abs\"", "lib", VmUse::Primary),
              (V{"-Xss1m", "-Djava.class.path=" + here + "/x:" + here + ":/abs",
                 "-Djava.class.path=" + here + "/lib:" + here + "/lib/a.jar"}));
    EXPECT_EQ(fs::current_path(), fs::path(here) / "work");
    // Without a class path the VM would load from its current directory.
    fs::current_path(here);
    EXPECT_EQ(start("", "", VmUse::Primary), V{"-Djava.class.path=" + here});
    // Nothing changes without a working directory, for a second instance,
    // or when the early change has happened.
    fs::current_path(here);
    EXPECT_EQ(start("", "lib", VmUse::Secondary), V{"-Djava.class.path=lib:lib/a.jar"});
    Config.EarlyWorkingDirectory = 1;
    EXPECT_EQ(start("", "lib", VmUse::Primary), V{"-Djava.class.path=lib:lib/a.jar"});
    EXPECT_EQ(fs::current_path(), fs::path(here));
    replaceText(&Config.WorkingDirectory, duplicateText(""));
    Config.EarlyWorkingDirectory = 0;
    EXPECT_EQ(start("", "lib", VmUse::Primary), V{"-Djava.class.path=lib:lib/a.jar"});
}

TEST_F(VmStart, ServiceModeAddsReducedSignalsAndTheThreeHooksLast) {
    // -Xrs leaves SIGTERM and SIGINT to the launcher: they are the stop control.
    Config.ServiceMode = 1;
    EXPECT_EQ(start("-Xmx64m", ""), (std::vector<std::string>{"-Xmx64m", "-Xrs", "vfprintf", "abort", "exit"}));
    EXPECT_EQ(recorded.extraInfo[2], reinterpret_cast<void*>(&vmOutputHook));
    EXPECT_EQ(recorded.extraInfo[3], reinterpret_cast<void*>(&vmAbortHook));
    EXPECT_EQ(recorded.extraInfo[4], reinterpret_cast<void*>(&vmExitHook));
}

}  // namespace

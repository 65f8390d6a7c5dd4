// POSIX platform facilities that hostile files and names reach: the
// single-instance lock for any name, and files that are not regular files
// (read without blocking, refused) or too large; and a child run with a
// bound, whatever way it ends.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "scratch_dir.h"

namespace {

TEST(PosixPlatform, EveryMutexNameGetsItsOwnLock) {
    ScratchDirectory scratch("mutex");
    setenv("XDG_CACHE_HOME", scratch.root().c_str(), 1);
    // Too long for a file name (also once escaped), alike up to their ends,
    // and a short name that escapes.
    const std::string a(242, 'a'), b = std::string(241, 'a') + "b", escaped = std::string(100, '/');
    for (const std::string& name : {a, escaped}) {
        EXPECT_FALSE(platform::namedMutexExists(name.c_str()));
        ASSERT_TRUE(platform::createNamedMutex(name.c_str())) << name.size();
        EXPECT_TRUE(platform::namedMutexExists(name.c_str()));
    }
    EXPECT_FALSE(platform::namedMutexExists(b.c_str()));
    // A lock file that cannot be made is a failure, never a silent success.
    std::filesystem::create_directory(scratch.root() / "vantrel" / "vantrel-mutex-x");
    EXPECT_FALSE(platform::createNamedMutex("x"));
    unsetenv("XDG_CACHE_HOME");
}

TEST(PosixPlatform, OnlyRegularFilesAreReadAndNothingBlocks) {
    ScratchDirectory scratch("files");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    std::ofstream("big.ini") << std::string(2000, 'x');
    platform::FileKind kind = platform::FileKind::File;
    uint64_t size = 0;
    EXPECT_EQ(platform::openInputFile("fifo", &kind, &size), nullptr);
    EXPECT_EQ(kind, platform::FileKind::Other);
    EXPECT_EQ(platform::openInputFile(".", &kind, &size), nullptr);
    EXPECT_EQ(kind, platform::FileKind::Directory);
    EXPECT_EQ(platform::fileKind("fifo"), platform::FileKind::Other);

    platform::ProfileFile* file = nullptr;
    EXPECT_EQ(platform::loadProfileFile("fifo", 1 << 20, &file), platform::ProfileLoad::NotAFile);
    EXPECT_EQ(platform::loadProfileFile("/dev/zero", 1 << 20, &file), platform::ProfileLoad::NotAFile);
    EXPECT_EQ(platform::loadProfileFile("big.ini", 1999, &file), platform::ProfileLoad::TooLarge);
    EXPECT_EQ(platform::loadProfileFile("none.ini", 1999, &file), platform::ProfileLoad::Missing);
    EXPECT_EQ(file, nullptr);
    ASSERT_EQ(platform::loadProfileFile("big.ini", 2000, &file), platform::ProfileLoad::Loaded);
    platform::freeProfileFile(file);
    char value[8];
    EXPECT_EQ(platform::readProfileString("S", "k", "dflt", value, sizeof(value), "fifo"), 4u);
}

TEST(PosixPlatform, ABoundedChildGivesItsStatusOrIsKilled) {
    struct Case {
        const char* argv[4];
        uint32_t boundMs;
        platform::ChildOutcome expected;
    };
    const Case cases[] = {
        {{"/bin/sh", "-c", "exit 3", nullptr}, 60000, {true, false, 3}},
        {{"/bin/sh", "-c", "kill -TERM $$", nullptr}, 60000, {true, false, 128 + SIGTERM}},
        {{"/bin/sleep", "60", nullptr}, 100, {true, true, 128 + SIGKILL}},
        {{"/nonexistent/program", nullptr}, 60000, {false, false, 0}},
    };
    for (const Case& c : cases) {
        const platform::ChildOutcome outcome = platform::runChildProcess(c.argv, c.boundMs);
        EXPECT_EQ(outcome.started, c.expected.started) << c.argv[0] << " " << (c.argv[1] ? c.argv[1] : "");
        EXPECT_EQ(outcome.killed, c.expected.killed) << c.argv[0];
        EXPECT_EQ(outcome.status, c.expected.status) << c.argv[0];
    }
}

}  // namespace

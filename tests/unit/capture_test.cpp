// The capture without a VM: the buffer's dropping rule, the pipe reader over
// a real FIFO, the reports that carry (and empty) the capture, the output
// hook's cut, and the exit hooks' wait; and the renaming of rotated output
// files. Threads meet here, so these tests
// also run under ThreadSanitizer (the linux-tsan preset).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/launcher_config.h"
#include "core/rotation.h"
#include "java/streams.h"
#include "java/vm_hooks.h"
#include "platform/platform.h"
#include "scratch_dir.h"

namespace {

std::vector<std::string> logged;  // event-log entries, written under loggedLock
platform::Lock loggedLock;

void recordEvent(uint16_t, uint32_t, const char* text) {
    platform::LockGuard guard(&loggedLock);
    logged.emplace_back(text);
}

jint callOutputHook(const char* format, ...) {
    va_list args;
    va_start(args, format);
    jint result = vmOutputHook(stderr, format, args);
    va_end(args);
    return result;
}

std::string capture() { return std::string(Config.CaptureBuffer, static_cast<size_t>(Config.CaptureLength)); }

class Capture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::initLock(&Config.OutputLock);
        platform::initLock(&loggedLock);
        platform::overrideEventLog(recordEvent);
        logged.clear();
        Config.ServiceMode = 1;
        Config.EventSource = &logged;  // the service has its event source
        Config.StdOutMode = 2;
        Config.StdErrMode = 0;
        Config.CaptureLength = 0;
        Config.CaptureBuffer[0] = '\0';
        testing::internal::CaptureStderr();  // the service-mode echo
    }
    void TearDown() override {
        testing::internal::GetCapturedStderr();
        Config.ServiceMode = 0;
        Config.EventSource = nullptr;
        Config.StdOutMode = 0;
        Config.ServiceDone = 0;
        Config.HookEndsProcess = VmEndNone;
        platform::overrideEventLog(nullptr);
    }
    void fill(const std::string& text) {
        Config.CaptureLength = 0;
        appendCapture(text.data(), text.size());
    }
};

std::string lines(int count, size_t width, char tag) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::string(width - 1, tag) + "\n";
    return text;
}

TEST_F(Capture, AFullBufferDropsWholeOldestLines) {
    const std::string old = lines(80, 100, 'o');  // 8000 characters
    const struct {
        std::string before, added, expected;
    } cases[] = {
        // At least as many characters as the new text has go, line by line.
        {old, std::string(299, 'n') + "\n", old.substr(300) + std::string(299, 'n') + "\n"},
        {old, std::string(191, 'n') + "\n", old.substr(200) + std::string(191, 'n') + "\n"},
        {old, "fits\n", old + "fits\n"},
        // Without a line feed far enough in, everything goes.
        {std::string(8190, 'x'), "new\n", "new\n"},
        // A text longer than the whole buffer is cut after a whole character.
        {"", std::string(8190, 'a') + "\xC3\xA9" + "tail", std::string(8190, 'a')},
    };
    for (const auto& c : cases) {
        fill(c.before);
        appendCapture(c.added.data(), c.added.size());
        EXPECT_EQ(capture(), c.expected) << c.added.size();
        EXPECT_EQ(Config.CaptureBuffer[Config.CaptureLength], '\0');
    }
}

TEST_F(Capture, TheReaderHandsOverLinesAndTheReportCarriesThemOnce) {
    platform::CapturePipe* pipe =
        platform::createCapturePipe(Config.CapturePipeName, sizeof(Config.CapturePipeName));
    ASSERT_NE(pipe, nullptr);
    FILE* writer = std::fopen(Config.CapturePipeName, "w");  // Java's end
    ASSERT_NE(writer, nullptr);
    platform::releaseCapturePipeName(pipe);
    Config.PipeReaderThread = platform::startThread(pipeReader, pipe);
    Config.CapturePipe.store(pipe);

    const std::string longLine = std::string(1500, 'x') + "\n";
    std::fprintf(writer, "first\nsecond\n%s", longLine.c_str());
    // A NUL must not cut what follows it, and a last line without its line
    // feed is kept.
    std::fwrite("a\0b\n", 1, 4, writer);
    std::fprintf(writer, "no line feed");
    std::fflush(writer);
    // The writer stays open: the report must still end the reader's wait.
    reportWithCapture("Error invoking method: %s", "main");
    EXPECT_EQ(Config.CapturePipe.load(), nullptr);
    callOutputHook("after the first report: %d\n", 1);
    reportWithCapture("second");
    reportWithCapture("third");
    std::fclose(writer);

    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0], "Error invoking method: main\n\nDetails:\nfirst\nsecond\n" + longLine + "a?b\nno line feed");
    EXPECT_EQ(logged[1], "second\n\nDetails:\nafter the first report: 1\n");
    EXPECT_EQ(logged[2], "third");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "first\nsecond\n" + longLine + std::string("a\0b\n", 4) + "no line feed\nafter the first report: 1\n");
    testing::internal::CaptureStderr();
}

TEST_F(Capture, TextsTooLongForTheirBuffersAreCutAfterAWholeCharacter) {
    std::string accents;
    for (int i = 0; i < 5000; ++i) accents += "\xC3\xA9";  // 10000 bytes of two-byte characters
    // The VM's message: 4095 bytes at most, here 4094; negative when cut.
    EXPECT_LT(callOutputHook("%s", accents.c_str()), 0);
    EXPECT_EQ(capture(), accents.substr(0, 4094));
    EXPECT_EQ(callOutputHook("%s|%d\n", "short", 7), 8);
    EXPECT_EQ(capture(), accents.substr(0, 4094) + "short|7\n");

    Config.StdOutMode = 0;  // without capture: a plain report
    reportWithCapture("%s", accents.c_str());
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], accents.substr(0, 8190));
}

TEST_F(Capture, HooksAndTheReaderShareTheCapture) {
    // Several VM threads print while the reader appends; nothing is lost or
    // torn as long as the buffer holds it all.
    platform::CapturePipe* pipe =
        platform::createCapturePipe(Config.CapturePipeName, sizeof(Config.CapturePipeName));
    ASSERT_NE(pipe, nullptr);
    FILE* writer = std::fopen(Config.CapturePipeName, "w");
    ASSERT_NE(writer, nullptr);
    platform::releaseCapturePipeName(pipe);
    Config.PipeReaderThread = platform::startThread(pipeReader, pipe);
    Config.CapturePipe.store(pipe);
    std::vector<std::thread> vmThreads;
    for (int t = 0; t < 4; ++t)
        vmThreads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) callOutputHook("vm%d-%02d\n", t, i);
        });
    for (int i = 0; i < 50; ++i) std::fprintf(writer, "app-%02d\n", i);
    std::fflush(writer);
    for (auto& thread : vmThreads) thread.join();
    reportWithCapture("report");
    std::fclose(writer);
    ASSERT_EQ(logged.size(), 1u);
    const std::string& text = logged[0];
    for (const char* prefix : {"vm0-", "vm1-", "vm2-", "vm3-", "app-"}) {
        size_t last = 0;
        for (int i = 0; i < 50; ++i) {
            char line[16];
            std::snprintf(line, sizeof(line), "\n%s%02d\n", prefix, i);
            size_t at = text.find(line);
            ASSERT_NE(at, std::string::npos) << line;
            EXPECT_GE(at, last) << line;  // each source in its own order
            last = at;
        }
    }
}

TEST_F(Capture, ExitHooksTellTheServiceHowTheVmEndsAndWaitForItsReport) {
    Config.ServiceStopEvent = platform::createEvent(false);
    ASSERT_NE(Config.ServiceStopEvent, nullptr);
    // The entry point: sees the event, reads how the VM ends, reports, then
    // sets ServiceDone.
    std::atomic<int> seenEnd{-1}, seenStatus{-1};
    std::thread entryPoint([&] {
        if (platform::waitForEvent(Config.ServiceStopEvent, 10000)) {
            seenEnd = Config.HookEndsProcess.load();
            seenStatus = Config.VmExitStatus.load();
            platform::sleepMilliseconds(200);
            Config.ServiceDone = 1;
        }
    });
    exitCleanup(VmEndExit, 3);
    EXPECT_EQ(Config.ServiceDone.load(), 1);
    entryPoint.join();
    EXPECT_EQ(seenEnd.load(), VmEndExit);
    EXPECT_EQ(seenStatus.load(), 3);
    // The wait has its bound: an entry point that never reports does not
    // keep the VM's exit thread for good.
    Config.ServiceDone = 0;
    EXPECT_FALSE(waitForServiceDone(250));
    Config.VmExitStatus = 0;
}

TEST(PlatformWaits, EventsAndThreadsKeepTheirBounds) {
    // Events live as long as the process (like the service's stop event).
    static platform::Event* automatic = platform::createEvent(false);
    static platform::Event* manual = platform::createEvent(true);
    ASSERT_TRUE(automatic != nullptr && manual != nullptr);
    EXPECT_FALSE(platform::waitForEvent(automatic, 20));
    platform::signalEvent(automatic);
    platform::signalEvent(manual);
    EXPECT_TRUE(platform::waitForEvent(automatic, 0));
    EXPECT_FALSE(platform::waitForEvent(automatic, 0));  // consumed
    EXPECT_TRUE(platform::waitForEvent(manual, 0));
    EXPECT_TRUE(platform::waitForEvent(manual, 0));  // stays signalled

    platform::Thread* thread = platform::startThread([](void*) -> uint32_t {
        platform::waitForEvent(automatic, 10000);
        return 0;
    }, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(platform::waitForThread(thread, 50));
    platform::signalEvent(automatic);
    EXPECT_TRUE(platform::waitForThread(thread, 10000));
    platform::releaseThread(thread);
}

// Lines reach the file in any pieces; the file is renamed only where a line
// begins, so that a line stays whole in one file whatever its length.
TEST(Rotation, LinesStayWholeInOneFileAndTheOldestGo) {
    struct Case {
        const char* what;
        const char* existing;  // the file's content before; null: no file
        bool append;
        uint64_t limit;
        int32_t keep;
        std::vector<std::string> pieces;
        std::map<std::string, std::string> files;  // every file afterwards
    };
    const Case cases[] = {
        {"pieces of lines", nullptr, true, 4, 5, {"ab", "c\nde", "f\n"}, {{"f.1", "abc\n"}, {"f", "def\n"}}},
        {"a line longer than the limit", nullptr, true, 4, 5, {"0123456789\nab\n"},
         {{"f.1", "0123456789\n"}, {"f", "ab\n"}}},
        {"several lines at once", nullptr, true, 6, 5, {"a\nb\nc\nd\ne\n"}, {{"f.1", "a\nb\nc\n"}, {"f", "d\ne\n"}}},
        {"one old file kept", nullptr, true, 2, 1, {"a\nb\nc\n"}, {{"f.1", "b\n"}, {"f", "c\n"}}},
        {"none kept", nullptr, true, 2, 0, {"a\nb\n", "c"}, {{"f", "c"}}},
        {"appended to", "old\n", true, 6, 5, {"x\ny\n"}, {{"f.1", "old\nx\n"}, {"f", "y\n"}}},
        {"emptied", "old\n", false, 6, 5, {"x\n"}, {{"f", "x\n"}}},
        {"older files move up", "z\n", true, 2, 2, {"a\nb\n"}, {{"f.2", "z\n"}, {"f.1", "a\n"}, {"f", "b\n"}}},
    };
    for (const Case& c : cases) {
        ScratchDirectory scratch("rotation");
        if (c.existing != nullptr) std::ofstream("f") << c.existing;
        RotatingFile file;
        ASSERT_TRUE(openRotatingFile(&file, "f", c.append, c.limit, c.keep)) << c.what;
        for (const std::string& piece : c.pieces) writeRotating(&file, piece.data(), piece.size());
        closeRotatingFile(&file);
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            std::ostringstream text;
            text << std::ifstream(entry.path()).rdbuf();
            files[entry.path().filename().string()] = text.str();
        }
        EXPECT_EQ(files, c.files) << c.what;
    }
}

// A file that cannot be renamed grows on (nothing is lost), is reported once
// and is tried again after another limit's worth.
TEST(Rotation, AFailedRenamingLosesNothing) {
    ScratchDirectory scratch("rotation");
    std::filesystem::create_directories("f.1/occupied");
    RotatingFile file;
    ASSERT_TRUE(openRotatingFile(&file, "f", false, 2, 1));
    testing::internal::CaptureStderr();
    for (const char* line : {"a\n", "b\n", "c\n", "d\n"}) writeRotating(&file, line, 2);
    const std::string reported = testing::internal::GetCapturedStderr();
    closeRotatingFile(&file);
    std::ostringstream text;
    text << std::ifstream("f").rdbuf();
    EXPECT_EQ(text.str(), "a\nb\nc\nd\n");
    EXPECT_EQ(reported.find("Cannot rename the output file f."), 0u) << reported;
    EXPECT_EQ(reported.find("Cannot rename", 1), std::string::npos) << reported;
    EXPECT_TRUE(std::filesystem::exists("f.1/occupied"));
}

}  // namespace

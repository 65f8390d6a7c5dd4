// Reporting: the gate, the buffer limits, the service-mode destination, and
// message texts that are never used as formats (where each report goes and
// the reason's shape are seen end to end).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/launcher_config.h"
#include "report/report.h"

namespace {

TEST(MessageFill, OnlyTheFirstPlaceholderTakesTheArgument) {
    const std::string longArgument(10000, 'a');
    const struct {
        const char* templ;
        const char* argument;
        size_t capacity;
        const char* expected;
    } cases[] = {
        {"Service installed: %s", "svc", 64, "Service installed: svc"},
        {"%s and %s", "a", 64, "a and %s"},
        {"100%% sure: %s", "x", 64, "100% sure: x"},
        {"no placeholder", "x", 64, "no placeholder"},
        {"%d %n %x %s", "arg", 64, "%d %n %x arg"},  // other conversions are copied literally
        {"%s", "50% %n %s", 64, "50% %n %s"},
        {"msg: %s!", longArgument.c_str(), 16, "msg: aaaaaaaaaa"},  // cut at the buffer
        {"%s", "\xc3\xa9\xc3\xa9\xc3\xa9", 6, "\xc3\xa9\xc3\xa9"},   // on a whole character
        {"\xc3\xa9\xc3\xa9\xc3\xa9 %s", "x", 6, "\xc3\xa9\xc3\xa9"},
    };
    for (const auto& c : cases) {
        char out[65];
        std::memset(out, 'X', sizeof(out));
        fillMessage(out, c.capacity, c.templ, c.argument);
        EXPECT_EQ(std::string(out), c.expected) << c.templ;
        EXPECT_EQ(out[c.capacity], 'X') << c.templ;  // nothing written beyond
    }
}

class ReportCapture : public ::testing::Test {
protected:
    void SetUp() override {
        Config.ServiceMode = 0;
        Config.ReportingEnabled = 1;
    }
    void TearDown() override { Config.ReportingEnabled = 1; }
};

TEST_F(ReportCapture, TheGateSilencesOnlyTheGatedOperations) {
    Config.ReportingEnabled = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    reportError("error %s", "x");
    reportErrorWithReason("with reason %s", "x");
    reportLastError();
    reportInfo("info %s", "shown");
    reportErrorWithDetails("details", "details %s", "outside service mode");
    std::fflush(stdout);
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "info shown\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ReportCapture, LongArgumentsAreCutNotOverrun) {
    std::string huge(10000, 'z');
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    reportError("Error locating class: %s", huge.c_str());
    std::string accents;
    while (accents.size() < kMessageBufferSize) accents += "\xc3\xa9";
    reportError("%s", accents.c_str());  // 8191 bytes fit: the last character does not
    reportInfo("%s", huge.c_str());
    errno = ENOENT;
    reportErrorWithReason("Error accessing file/directory: %s", huge.c_str());
    std::fflush(stderr);
    std::fflush(stdout);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    std::string firstLine = err.substr(0, err.find('\n'));
    EXPECT_EQ(firstLine.size(), kMessageBufferSize - 1);
    err = err.substr(firstLine.size() + 1);
    std::string accentLine = err.substr(0, err.find('\n'));
    EXPECT_EQ(accentLine, accents.substr(0, kMessageBufferSize - 2));
    err = err.substr(accentLine.size() + 1);
    EXPECT_EQ(out.size(), kMessageBufferSize);  // 8191 characters and the line feed
    // The reason report keeps its message to 4095 characters and still ends
    // with the system's text.
    const std::string& reasonReport = err;
    EXPECT_NE(reasonReport.find(std::string(4000, 'z')), std::string::npos);
    EXPECT_NE(reasonReport.find("\n\nReason: No such file or directory\n"), std::string::npos);
    EXPECT_LT(reasonReport.size(), kMessageBufferSize + 1);
}

TEST_F(ReportCapture, ServiceModeSendsReportsToTheEventLogStandIn) {
    Config.ServiceMode = 1;
    // Before the service has its event source (no dispatcher reached), a
    // report still reaches the console.
    testing::internal::CaptureStderr();
    errno = ENOENT;
    reportErrorWithReason("Internal error %s", "RC000003");
    std::fflush(stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Internal error RC000003\n\nReason: No such file or directory\n");
    char source;
    Config.EventSource = &source;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    reportInfo("The %s service has started.", "svc");
    reportError("The %s service failed to start.", "svc");
    reportErrorWithDetails("captured\r\noutput\n", "Error invoking method: %s", "main");
    errno = ENOENT;
    reportErrorWithReason("Error accessing file/directory: %s", "x");
    std::fflush(stdout);
    std::fflush(stderr);
    Config.ServiceMode = 0;
    Config.EventSource = nullptr;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // One line per entry, as journald keeps it: line breaks become blanks.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "<6>The svc service has started.\n<3>The svc service failed to start.\n"
              "<3>Error invoking method: main Details: captured output\n"
              "<3>Error accessing file/directory: x Reason: No such file or directory\n");
}

}  // namespace

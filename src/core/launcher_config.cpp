// The process-wide record and the message texts it holds.
#include "core/launcher_config.h"

// All zeros at start, so that the record (with its 8 KB capture buffer)
// takes no room in the executable; only the gate of error reports starts
// open, set before main runs.
LauncherConfig Config;
[[maybe_unused]] static const bool reportingStartsEnabled = (Config.ReportingEnabled = 1, true);

const char* messageText(int id) {
    if (id < 1 || id > kMessageCount) return "";
    const char* text = Config.MessageTexts[id - 1];
    return text != nullptr ? text : "";
}

uint32_t stopTimeoutMs() {
    const int32_t seconds = Config.ServiceStopTimeout;
    const bool valid = seconds >= 1 && seconds <= kLongestStopTimeoutS;
    return static_cast<uint32_t>(valid ? seconds : kDefaultStopTimeoutS) * 1000;
}

uint32_t stopWaitHintMs() { return stopTimeoutMs() + kStopReportMarginMs; }

// The memory and clock sources behind the placeholders, and the event log,
// with the hooks that let tests give them fixed values or read what they
// receive. The same on every platform.
#include "platform/platform.h"

namespace platform {

namespace {
MemoryStatusSource memorySource = nullptr;
ClockTextSource dateSource = nullptr;
ClockTextSource timeSource = nullptr;
EventLogSink eventLogSink = nullptr;
}  // namespace

void overrideMemoryStatus(MemoryStatusSource source) { memorySource = source; }
void overrideDateText(ClockTextSource source) { dateSource = source; }
void overrideTimeText(ClockTextSource source) { timeSource = source; }

bool memoryStatus(MemoryFigures* figures) {
    return memorySource != nullptr ? memorySource(figures) : systemMemoryStatus(figures);
}

bool formatDate(char* buf, size_t cap) { return dateSource != nullptr ? dateSource(buf, cap) : systemDateText(buf, cap); }

bool formatTime(char* buf, size_t cap) { return timeSource != nullptr ? timeSource(buf, cap) : systemTimeText(buf, cap); }

void overrideEventLog(EventLogSink sink) { eventLogSink = sink; }

bool eventLogOverridden(uint16_t type, uint32_t eventId, const char* text) {
    if (eventLogSink == nullptr) return false;
    eventLogSink(type, eventId, text);
    return true;
}

}  // namespace platform

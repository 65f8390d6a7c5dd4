// expandPlaceholders against the rule written out plainly, over a fixed
// environment, memory figures, date and time: '%' pairs name placeholders,
// the names are resolved in their order (JAVA_HOME exactly, APPDIR, DATE and
// TIME without case, AVAILRAM/TOTALRAM with a percentage, else an
// environment variable), values lose one quote at each end, an unclosed
// placeholder keeps its '%', a text to which nothing was appended comes back
// unchanged, and one that would grow by more than kMaxExpansionGrowth is
// refused.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "core/text_buffer.h"
#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kAvailable = 6ULL << 30, kTotal = 16ULL << 30;

bool fixedMemory(platform::MemoryFigures* f) {
    f->availablePhysical = kAvailable;
    f->totalPhysical = kTotal;
    return true;
}
bool fixedDate(char* buf, size_t cap) { return std::snprintf(buf, cap, "20240229") < int(cap); }
bool fixedTime(char* buf, size_t cap) { return std::snprintf(buf, cap, "235959") < int(cap); }

std::string appDir;

void setUp() {
    platform::overrideMemoryStatus(fixedMemory);
    platform::overrideDateText(fixedDate);
    platform::overrideTimeText(fixedTime);
    std::strcpy(RegistryJavaHome, "C:\\jh \"x\"");
    Config.ReportingEnabled = 0;  // refusals are reported; the fuzzer only counts them
    setenv("A", "a", 1);
    setenv("Q", "\"q\"", 1);
    setenv("QQ", "\"", 1);
    setenv("E", "", 1);
    setenv("P", "%P%%P%", 1);
    setenv("L", std::string(1000, 'l').c_str(), 1);
    setenv("java_home", "env", 1);
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = '\0';
    appDir = path;
    appDir = appDir.substr(0, appDir.rfind('/'));
}

bool sameIgnoringCase(const std::string& a, const char* b) { return strcasecmpAscii(a.c_str(), b) == 0; }

std::string memory(bool available, const std::string& percentText) {
    errno = 0;
    long long percent = std::strtoll(percentText.c_str(), nullptr, 10);
    if (errno == ERANGE || percent < 1 || percent > 100) percent = 100;
    double megabytes = double(percent) / 100.0 * double(available ? kAvailable : kTotal) / 1024 / 1024;
    long long value = (long long)megabytes;
    if (value < 64) value = 64;
    return std::to_string(value) + "m";
}

std::string unquoted(std::string value) {
    if (!value.empty() && value.front() == '"') value.erase(0, 1);
    if (!value.empty() && value.back() == '"') value.pop_back();
    return value;
}

// The value of one name; false when it adds nothing.
bool resolve(const std::string& name, std::string* value) {
    if (name.empty()) return false;
    if (name == "JAVA_HOME") *value = RegistryJavaHome;
    else if (sameIgnoringCase(name, "APPDIR")) *value = unquoted(appDir);
    else if (sameIgnoringCase(name, "DATE")) *value = "20240229";
    else if (sameIgnoringCase(name, "TIME")) *value = "235959";
    else if (name.rfind("AVAILRAM", 0) == 0) *value = memory(true, name.substr(8));
    else if (name.rfind("TOTALRAM", 0) == 0) *value = memory(false, name.substr(8));
    else if (const char* env = std::getenv(name.c_str())) *value = unquoted(env);
    else return false;
    return !value->empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setUp(), true);
    (void)ready;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));

    std::string want;
    bool appended = false, inside = false;
    size_t pieceStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        std::string piece = text.substr(pieceStart, i - pieceStart);
        std::string value;
        if (!inside && !piece.empty()) want += piece, appended = true;
        if (inside && resolve(piece, &value)) want += value, appended = true;
        inside = !inside;
        pieceStart = i + 1;
    }
    std::string rest = text.substr(pieceStart);
    if (!rest.empty()) want += (inside ? "%" : "") + rest, appended = true;
    if (!appended) want = text;

    char* got = expandPlaceholders(text.c_str());
    if (want.size() > text.size() + kMaxExpansionGrowth) {
        FUZZ_CHECK(got == nullptr);
    } else {
        FUZZ_CHECK(got != nullptr && want == got);
    }
    std::free(got);
    return 0;
}

#include "core/archives.h"

#include <cstdlib>
#include <cstring>

#include "core/config.h"
#include "platform/platform.h"
#include "report/report.h"

void computeExtractionDirectory() {
    char* directory = static_cast<char*>(std::calloc(kPathCapacity, 1));
    if (directory == nullptr) std::abort();
    Config.ExtractionDirectory = directory;
    const char* encoded = Config.EncodedMainClass != nullptr ? Config.EncodedMainClass : "";
    if (Config.ExtractLocation == 0) {
        std::strcpy(directory, ".");
        return;
    }
    char base[kPathCapacity];
    if (Config.ExtractLocation == 1) {
        base[0] = '.';
        base[1] = platform::pathSeparator();
        base[2] = '\0';
    } else if (platform::temporaryDirectory(base, sizeof(base)) == 0) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "TEMP_PATH").text);
        return;  // an empty directory: unpacking and cleanup skip the run
    }
    // A directory that would not fit is refused rather than cut.
    if (std::strlen(base) + std::strlen(encoded) >= kPathCapacity) {
        platform::setPathTooLongError();
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "TEMP_PATH").text);
        return;
    }
    std::strcpy(directory, base);
    std::strcat(directory, encoded);
}

static bool payloadPresent() {
    const uint8_t* data = nullptr;
    size_t size = 0;
    return platform::findPayload(&data, &size) && size >= 2;
}

void extractArchives() {
    if (!payloadPresent()) return;
    reportError("This launcher build cannot unpack embedded archives yet; they were not put on the class path.");
}

void runCleanupMode(const char*) {
    reportError("This launcher build cannot remove unpacked archives yet.");
}

void spawnCleanupChild() {
    reportError("This launcher build cannot start the cleanup of unpacked archives yet.");
}

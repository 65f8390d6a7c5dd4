// The application's standard streams: redirection to files through
// java.io.PrintStream objects made over JNI, the capture of a service's
// output through a pipe that a thread of ours reads, and reports that carry
// the captured text.
#include "java/streams.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "core/rotation.h"
#include "core/text_buffer.h"
#include "java/jni_scope.h"
#include "java/jni_text.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

constexpr size_t kCaptureLimit = sizeof(Config.CaptureBuffer) - 1;  // characters held at most
constexpr size_t kLineBufferSize = 1024;  // a longer line reaches the capture in pieces of this size
// How long a report waits for the woken reader to hand over what the pipe
// still held. A reader that has not ended by then is left running, and its
// pipe stays open for it.
constexpr uint32_t kReaderEndWaitMs = 5000;

void reportWith(int id, const char* argument) { reportError("%s", formatMessage(id, argument).text); }

jobject openPrintStream(JNIEnv* env, const char* path, bool append) {
    // The name Java opens: in a shared sticky folder one that cannot be
    // redirected by a link planted there.
    constexpr size_t kDescriptorName = 32;  // "/proc/self/fd/N"
    const size_t capacity = std::strlen(path) + kDescriptorName;
    char* javaName = static_cast<char*>(std::malloc(capacity));
    if (javaName == nullptr) std::abort();
    intptr_t held = -1;
    const bool named = platform::javaOutputName(path, javaName, capacity, &held);
    if (!named) reportErrorWithReason("%s", formatMessage(MsgFileWrite, path).text);
    LocalRef<jstring> name(env, named ? newJavaString(env, javaName) : nullptr);
    std::free(javaName);
    struct Release {
        intptr_t held;
        ~Release() { platform::releaseJavaOutputName(held); }
    } release{held};
    if (!named) return nullptr;
    if (checkJavaException(env) || name.ref == nullptr) {
        reportWith(MsgInstantiate, "java/lang/String");
        return nullptr;
    }
    LocalRef<jclass> fileClass(env, env->FindClass("java/io/FileOutputStream"));
    if (checkJavaException(env) || fileClass.ref == nullptr) {
        reportWith(MsgLocateClass, "java/io/FileOutputStream");
        return nullptr;
    }
    jmethodID fileInit = env->GetMethodID(fileClass.ref, "<init>", "(Ljava/lang/String;Z)V");
    if (checkJavaException(env) || fileInit == nullptr) {
        reportWith(MsgLocateMethod, "java/io/FileOutputStream(String, boolean)");
        return nullptr;
    }
    LocalRef<jobject> file(env, env->NewObject(fileClass.ref, fileInit, name.ref, append ? JNI_TRUE : JNI_FALSE));
    if (checkJavaException(env) || file.ref == nullptr) {
        reportWith(MsgInstantiate, "java/io/FileOutputStream");
        return nullptr;
    }
    LocalRef<jclass> printClass(env, env->FindClass("java/io/PrintStream"));
    if (checkJavaException(env) || printClass.ref == nullptr) {
        reportWith(MsgLocateClass, "java/io/PrintStream");
        return nullptr;
    }
    jmethodID printInit = env->GetMethodID(printClass.ref, "<init>", "(Ljava/io/OutputStream;)V");
    if (checkJavaException(env) || printInit == nullptr) {
        reportWith(MsgLocateMethod, "java/io/PrintStream(java/io/OutputStream)");
        return nullptr;
    }
    // Without automatic flushing: PrintStream still hands every print to the
    // file stream, which has no buffer of its own.
    jobject stream = env->NewObject(printClass.ref, printInit, file.ref);
    if (checkJavaException(env) || stream == nullptr) {
        reportWith(MsgInstantiate, "java/io/PrintStream");
        return nullptr;
    }
    return stream;
}

bool setSystemStream(JNIEnv* env, jclass system, jobject stream, const char* setter) {
    jmethodID method = env->GetStaticMethodID(system, setter, "(Ljava/io/PrintStream;)V");
    if (checkJavaException(env) || method == nullptr) {
        reportWith(MsgLocateMethod, setter);
        return false;
    }
    env->CallStaticVoidMethod(system, method, stream);
    if (checkJavaException(env)) {
        reportWith(MsgInvokeMethod, setter);
        return false;
    }
    return true;
}

// A setter is "setOut", "setErr" or null (that stream stays as it is).
bool redirectStandardStreams(const char* outPath, const char* outSetter, bool outAppend, const char* errPath,
                             const char* errSetter, bool errAppend) {
    if (outSetter == nullptr && errSetter == nullptr) return true;
    JNIEnv* env = Config.MainJniEnv;
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    if (checkJavaException(env) || system.ref == nullptr) {
        reportWith(MsgLocateClass, "java/lang/System");
        return false;
    }
    LocalRef<jobject> out(env, nullptr);
    if (outSetter != nullptr) {
        out.ref = openPrintStream(env, outPath, outAppend);
        if (out.ref == nullptr || !setSystemStream(env, system.ref, out.ref, outSetter)) return false;
    }
    if (errSetter == nullptr) return true;
    // Two streams over one file would each write at their own position, and
    // a truncating one would cut the other's output: one file gets one
    // stream, opened the way the out settings say. (On Windows the same file
    // may be named with other letter case.)
    if (out.ref != nullptr && platform::sameFile(outPath, errPath))
        return setSystemStream(env, system.ref, out.ref, errSetter);
    LocalRef<jobject> err(env, openPrintStream(env, errPath, errAppend));
    return err.ref != nullptr && setSystemStream(env, system.ref, err.ref, errSetter);
}

void traceStream(const char* name, int32_t mode, const char* path, bool append) {
    trace("output: System.%s mode %d \"%s\"%s", name, int(mode), traceText(path),
          path != nullptr && append ? " (append)" : "");
}

// Step 1 when the files are rotated: the launcher writes them, and Java's
// streams go into pipes that its readers read. One file still gets one
// stream, opened the way the out settings say.
bool redirectThroughLauncher(const char* outPath, const char* outSetter, const char* errPath, const char* errSetter) {
    constexpr size_t kPipeNameSize = 256;
    char outPipe[kPipeNameSize];
    char errPipe[kPipeNameSize];
    const char* javaOut = nullptr;
    const char* javaErr = nullptr;
    if (outSetter != nullptr) {
        if (!openRotatedOutput(outPath, Config.StdOutFileAppend, "-out", outPipe, sizeof(outPipe))) return false;
        javaOut = outPipe;
    }
    if (errSetter != nullptr && javaOut != nullptr && platform::sameFile(outPath, errPath)) {
        javaErr = javaOut;
    } else if (errSetter != nullptr) {
        if (!openRotatedOutput(errPath, Config.StdErrFileAppend, "-err", errPipe, sizeof(errPipe)))
            return startRotatedOutputs(false);
        javaErr = errPipe;
    }
    const bool opened = redirectStandardStreams(javaOut, outSetter, false, javaErr, errSetter, false);
    return startRotatedOutputs(opened) && opened;
}

bool captureIsEmpty() {
    platform::LockGuard guard(&Config.OutputLock);
    return Config.CaptureLength == 0;
}

void captureOff() {
    Config.StdOutMode = 0;
    Config.StdErrMode = 0;
}

// Steps 3 to 5 of the set-up: the pipe, the streams into it, its reader.
bool startCapture() {
    platform::CapturePipe* pipe = platform::createCapturePipe(Config.CapturePipeName, sizeof(Config.CapturePipeName));
    if (pipe == nullptr) {
        captureOff();  // the application runs without capture
        return true;
    }
    const char* name = Config.CapturePipeName;
    bool out = Config.StdOutMode == 2;
    bool err = Config.StdErrMode == 2;
    // A failure here is silent: capture is a help for reports, not a reason
    // for the application not to run.
    Config.ReportingEnabled = 0;
    bool redirected = redirectStandardStreams(out ? name : nullptr, out ? "setOut" : nullptr, Config.StdOutFileAppend,
                                              err ? name : nullptr, err ? "setErr" : nullptr, Config.StdErrFileAppend);
    Config.ReportingEnabled = 1;
    if (!redirected) {
        platform::closeCapturePipe(pipe);
        captureOff();
        return true;
    }
    platform::releaseCapturePipeName(pipe);
    platform::Thread* reader = platform::startThread(pipeReader, pipe);
    if (reader == nullptr) {
        reportErrorWithReason("Internal error RC000015");
        return false;
    }
    // Published reader first: whoever takes the pipe finds its reader.
    Config.PipeReaderThread = reader;
    Config.CapturePipe.store(pipe);
    return true;
}

}  // namespace

void endCaptureReader() {
    platform::CapturePipe* pipe = Config.CapturePipe.exchange(nullptr);
    if (pipe == nullptr) return;
    platform::wakeCapturePipe(pipe);
    if (platform::waitForThread(Config.PipeReaderThread, kReaderEndWaitMs)) platform::closeCapturePipe(pipe);
    platform::releaseThread(Config.PipeReaderThread);
    Config.PipeReaderThread = nullptr;
}

namespace {

void appendLastLine(const char* text, size_t length);

// Copies the captured text out and empties the capture.
void takeCapture(char* out) {
    platform::LockGuard guard(&Config.OutputLock);
    std::memcpy(out, Config.CaptureBuffer, static_cast<size_t>(Config.CaptureLength) + 1);
    Config.CaptureBuffer[0] = '\0';
    Config.CaptureLength = 0;
}

}  // namespace

bool setUpStandardStreams() {
    const char* outPath = nullptr;
    const char* outSetter = nullptr;
    const char* errPath = nullptr;
    const char* errSetter = nullptr;
    if (Config.StdOutMode == 1) {
        outPath = prepareOutputFile(Config.StdOutFile);
        outSetter = "setOut";
    }
    if (Config.StdErrMode == 1) {
        errPath = prepareOutputFile(Config.StdErrFile);
        errSetter = "setErr";
    }
    // An expansion refused (and reported) leaves no file to open.
    if ((outSetter != nullptr && outPath == nullptr) || (errSetter != nullptr && errPath == nullptr)) return false;
    if (traceOn()) {
        traceStream("out", Config.StdOutMode, outPath, Config.StdOutFileAppend);
        traceStream("err", Config.StdErrMode, errPath, Config.StdErrFileAppend);
    }
    if (outputFilesRotate() ? !redirectThroughLauncher(outPath, outSetter, errPath, errSetter)
                            : !redirectStandardStreams(outPath, outSetter, Config.StdOutFileAppend, errPath,
                                                       errSetter, Config.StdErrFileAppend))
        return false;
    // Outside service mode, mode 2 leaves the stream on the console.
    if (!Config.ServiceMode || (Config.StdOutMode != 2 && Config.StdErrMode != 2)) return true;
    return startCapture();
}

uint32_t pipeReader(void* argument) {
    auto* pipe = static_cast<platform::CapturePipe*>(argument);
    char line[kLineBufferSize];
    size_t fill = 0;
    for (;;) {
        long n = platform::readCapturePipe(pipe, line + fill, sizeof(line) - fill);
        if (n < 0 && captureIsEmpty()) reportErrorWithReason("Internal error RC0000050");
        if (n <= 0) {
            appendLastLine(line, fill);
            return 0;
        }
        // The bytes before the new ones hold no line feed.
        const void* lastFeed = nullptr;
        for (size_t i = fill + static_cast<size_t>(n); i > fill && lastFeed == nullptr; --i)
            if (line[i - 1] == '\n') lastFeed = line + i - 1;
        fill += static_cast<size_t>(n);
        if (lastFeed != nullptr) {
            size_t complete = static_cast<size_t>(static_cast<const char*>(lastFeed) - line) + 1;
            appendCaptureLines(line, complete);
            fill -= complete;
            std::memmove(line, line + complete, fill);
        }
        if (fill == sizeof(line)) {
            appendCapture(line, fill);
            fill = 0;
        }
    }
}

namespace {

// Adds one text to the buffer; the caller holds OutputLock.
void storeCapture(const char* text, size_t length) {
    char* buffer = Config.CaptureBuffer;
    size_t held = static_cast<size_t>(Config.CaptureLength);
    if (held + length > kCaptureLimit) {
        // Whole oldest lines go, at least as many characters as the new text
        // has: everything up to the first line feed at or after index
        // length - 1. Without such a line feed, everything goes.
        const void* feed =
            length - 1 < held ? std::memchr(buffer + length - 1, '\n', held - (length - 1)) : nullptr;
        size_t dropped = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - buffer) + 1 : held;
        std::memmove(buffer, buffer + dropped, held - dropped);
        held -= dropped;
    }
    std::memcpy(buffer + held, text, length);
    // A NUL would end the text there for every reader of the capture, and a
    // report would lose what follows it (often the exception): it becomes
    // '?', as a character that cannot be shown does.
    for (char* p = buffer + held; p != buffer + held + length; ++p)
        if (*p == '\0') *p = '?';
    held += length;
    buffer[held] = '\0';
    Config.CaptureLength = static_cast<int32_t>(held);
}

// A service's console is nobody's: its standard error is where the output
// can still be seen as it happens. Under OutputLock, so that it shows the
// texts in the order the capture holds them.
void echoCapture(const char* text, size_t length) {
    if (Config.ServiceMode) std::fwrite(text, 1, length, stderr);
}

// A last line without its line feed is often the last thing the application
// said: it is kept as it is, and its echo ends the line, so that what the
// service writes next (an event-log line, on POSIX) starts a line of its own.
void appendLastLine(const char* text, size_t length) {
    if (length == 0) return;
    platform::LockGuard guard(&Config.OutputLock);
    storeCapture(text, length);
    echoCapture(text, length);
    echoCapture("\n", 1);
}

}  // namespace

bool appendCapture(const char* text, size_t length) {
    if (length == 0) return true;
    if (length > kCaptureLimit) length = wholeCharacterLength(text, kCaptureLimit);
    platform::LockGuard guard(&Config.OutputLock);
    storeCapture(text, length);
    echoCapture(text, length);
    return true;
}

void appendCaptureLines(const char* text, size_t length) {
    platform::LockGuard guard(&Config.OutputLock);
    for (size_t start = 0; start < length;) {
        const void* feed = std::memchr(text + start, '\n', length - start);
        size_t end = feed != nullptr ? static_cast<size_t>(static_cast<const char*>(feed) - text) + 1 : length;
        storeCapture(text + start, end - start);
        start = end;
    }
    echoCapture(text, length);
}

int formatWholeCharacters(char* buffer, size_t capacity, const char* format, va_list args) {
    int n = std::vsnprintf(buffer, capacity, format, args);
    if (n < 0)
        buffer[0] = '\0';
    else if (static_cast<size_t>(n) >= capacity)
        buffer[wholeCharacterLength(buffer, capacity - 1)] = '\0';
    return n;
}

void reportWithCapture(const char* format, ...) {
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    formatWholeCharacters(message, sizeof(message), format, args);
    va_end(args);
    if (!Config.ServiceMode || (Config.StdOutMode == 0 && Config.StdErrMode == 0)) {
        reportError("%s", message);
        return;
    }
    endCaptureReader();
    char details[sizeof(Config.CaptureBuffer)];
    takeCapture(details);
    if (details[0] == '\0')
        reportError("%s", message);
    else
        reportErrorWithDetails(details, "%s", message);
}

// Creating the virtual machine once its library is loaded: the option text
// with the class path, placeholder expansion, the option array and the call
// of JNI_CreateJavaVM.
//
// Class-path separator: the ClassPath setting is ';'-separated on every
// platform, but the VM wants its own separator (';' on Windows, ':' on
// POSIX). The class-path text is therefore built with the VM's separator from
// the start, entry by entry, before placeholders are expanded. Mapping ';' to
// ':' afterwards would also rewrite separators that an expanded placeholder
// brought in, and mapping it before expansion is the same as building with it.
#include "runtime/jvm.h"

#include <cstdlib>
#include <cstring>

#include <jni.h>

#include "core/class_data_cache.h"
#include "core/launcher_config.h"
#include "core/placeholders.h"
#include "core/rotation.h"
#include "core/text_buffer.h"
#include "java/invoke.h"
#include "java/streams.h"
#include "java/vm_hooks.h"
#include "platform/platform.h"
#include "report/report.h"
#include "report/trace.h"

namespace {

using CreateJavaVmEntry = jint(JNICALL*)(JavaVM**, void**, void*);

void appendCharacter(TextBuffer* buffer, char c) { appendTextRange(buffer, &c, 1); }

bool isArchiveName(const char* name) {
    size_t n = std::strlen(name);
    if (n < 4) return false;
    const char* tail = name + n - 4;
    return strcasecmpAscii(tail, ".jar") == 0 || strcasecmpAscii(tail, ".zip") == 0;
}

bool isDotEntry(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

const char kClassPathOption[] = "-Djava.class.path=";

bool isClassPathOption(const char* option) {
    return std::strncmp(option, kClassPathOption, sizeof(kClassPathOption) - 1) == 0;
}

// A class-path option whose relative entries (an empty one included, which a
// VM takes for its current directory) are anchored to a directory.
char* anchoredClassPath(const char* option, const char* directory) {
    const char separator = platform::classPathOptionSeparator();
    const size_t directoryLength = std::strlen(directory);
    const bool endsWithSeparator = directoryLength > 0 && platform::isPathSeparator(directory[directoryLength - 1]);
    TextBuffer result{};
    appendText(&result, kClassPathOption);
    for (const char* entry = option + sizeof(kClassPathOption) - 1;; ++entry) {
        const char* end = std::strchr(entry, separator);
        size_t length = end != nullptr ? static_cast<size_t>(end - entry) : std::strlen(entry);
        if (length == 0 || !platform::isAbsolutePath(entry)) {
            appendText(&result, directory);
            if (length > 0 && !endsWithSeparator) appendCharacter(&result, platform::pathSeparator());
        }
        appendTextRange(&result, entry, length);
        if (end == nullptr) break;
        appendCharacter(&result, separator);
        entry = end;
    }
    return result.text;
}

// Makes the working directory of the primary invocation current before the
// VM is created, so that every way Java resolves a relative path agrees on it
// from the first line of main. The class path keeps resolving against the
// directory it was built in: *anchor receives that directory when the
// current one changed (a heap text), else null. False when the change failed
// (reported).
bool enterWorkingDirectory(VmUse use, char** anchor) {
    *anchor = nullptr;
    // Under EarlyWorkingDirectory the class path was built there already.
    if (use != VmUse::Primary || Config.EarlyWorkingDirectory) return true;
    char before[kDirectoryCapacity];
    char after[kDirectoryCapacity];
    if (platform::currentDirectory(before, sizeof(before)) == 0) {
        reportErrorWithReason("%s", formatMessage(MsgFileAccess, "CURRENT_DIR").text);
        return false;
    }
    if (!applyWorkingDirectory(false)) return false;
    if (platform::currentDirectory(after, sizeof(after)) == 0 || std::strcmp(before, after) != 0)
        *anchor = duplicateText(before);
    return true;
}

// What became of one ClassPath entry; `added` is what it added after itself.
void traceClassPathEntry(const char* entry, const char* added) {
    const platform::FileKind kind = platform::fileKind(entry);
    unsigned archives = 0;
    for (const char* p = added; *p != '\0'; ++p)
        if (*p == platform::classPathOptionSeparator()) ++archives;
    trace("class path: \"%s\": %s, %u archives added", entry,
          std::strchr(entry, '%') != nullptr          ? "placeholder, not searched"
          : kind == platform::FileKind::Directory ? "folder"
          : kind == platform::FileKind::File      ? "file"
                                                  : "missing",
          archives);
}

// Walks ClassPath (a copy: the setting itself stays whole) and builds the
// class-path text, each entry followed by the VM's separator.
bool buildClassPathText(TextBuffer* classPath) {
    char* list = duplicateText(Config.ClassPath);
    char* cursor = nullptr;
    bool ok = true;
    for (char* entry = nextToken(list, ";", &cursor); entry != nullptr; entry = nextToken(nullptr, ";", &cursor)) {
        appendText(classPath, entry);
        appendCharacter(classPath, platform::classPathOptionSeparator());
        const uint32_t before = classPath->length;
        if (isExistingDirectory(entry) && !appendArchivesInDirectory(classPath, entry)) {
            ok = false;
            break;
        }
        if (traceOn()) traceClassPathEntry(entry, classPath->text + before);
    }
    std::free(list);
    return ok;
}

// The complete option text before expansion: JvmOptions and, when there is
// a class path, one quoted "-Djava.class.path=" option.
bool buildOptionText(TextBuffer* options) {
    appendText(options, Config.JvmOptions);
    if (Config.ClassPath == nullptr || Config.ClassPath[0] == '\0') return true;
    TextBuffer classPath{};
    if (!buildClassPathText(&classPath)) {
        freeTextBuffer(&classPath);
        return false;
    }
    if (classPath.length > 0) {
        classPath.text[--classPath.length] = '\0';  // the last separator
        appendText(options, " \"");
        appendText(options, kClassPathOption);
        appendText(options, classPath.text);
        appendText(options, "\"");
    }
    freeTextBuffer(&classPath);
    return true;
}

}  // namespace

bool isExistingDirectory(const char* path) {
    if (path == nullptr || std::strchr(path, '%') != nullptr) return false;
    return platform::fileKind(path) == platform::FileKind::Directory;
}

namespace {

bool appendArchivesBelow(TextBuffer* classPath, const char* directory, platform::VisitedDirectories* visited,
                         bool start) {
    // A directory reached again through a link adds nothing (and ends a loop).
    if (!platform::enterDirectory(visited, directory, start)) return true;
    // The search pattern ("*.*", "dir\*.*") is the platform's business.
    platform::DirectoryEnum* handle = nullptr;
    platform::DirectoryEntry entry;
    platform::EnumResult result = platform::openDirectoryEnum(directory, &handle, &entry);
    if (result == platform::EnumResult::End) return true;  // empty or vanished: nothing to add
    if (result == platform::EnumResult::Error) {
        reportErrorWithReason("Internal error RC000001");
        return false;
    }
    const char separator = platform::pathSeparator();
    bool ok = true;
    while (result == platform::EnumResult::Entry) {
        if (entry.isDirectory) {
            if (!isDotEntry(entry.name)) {
                // Depth first: a directory's archives follow at the place
                // where the directory itself was met. The path is built on
                // the heap, so its length has no limit of ours.
                TextBuffer child{};
                appendText(&child, directory);
                appendCharacter(&child, separator);
                appendText(&child, entry.name);
                bool inner = appendArchivesBelow(classPath, child.text, visited, false);
                freeTextBuffer(&child);
                if (!inner) {
                    ok = false;
                    break;
                }
            }
        } else if (isArchiveName(entry.name)) {
            appendText(classPath, directory);
            appendCharacter(classPath, separator);
            appendText(classPath, entry.name);
            appendCharacter(classPath, platform::classPathOptionSeparator());
        }
        result = platform::nextDirectoryEntry(handle, &entry);
    }
    if (ok && result == platform::EnumResult::Error) {
        reportErrorWithReason("Internal error RC000002");
        ok = false;
    }
    platform::closeDirectoryEnum(handle);
    return ok;
}

}  // namespace

bool appendArchivesInDirectory(TextBuffer* classPath, const char* directory) {
    platform::VisitedDirectories* visited = platform::newVisitedDirectories();
    bool ok = appendArchivesBelow(classPath, directory, visited, true);
    platform::freeVisitedDirectories(visited);
    return ok;
}

bool startJavaVm(VmUse use) {
    TextBuffer options{};
    if (!buildOptionText(&options)) {
        freeTextBuffer(&options);
        return false;
    }
    trace("vm: options before expansion \"%s\"", traceText(options.text));
    char* expanded = expandPlaceholders(options.text != nullptr ? options.text : "");
    freeTextBuffer(&options);
    if (expanded == nullptr) return false;  // refused and reported
    replaceText(&Config.JvmOptions, expanded);

    char* anchor = nullptr;
    if (!enterWorkingDirectory(use, &anchor)) return false;

    // The option array and its texts are handed to the VM and stay allocated
    // for the life of the process. Room for every argument, a class-path
    // option of our own, the service's own option and the three hooks.
    ArgumentVector arguments = splitArguments(Config.JvmOptions);
    const bool hooks = Config.ServiceMode != 0;
    auto* vmOptions = static_cast<JavaVMOption*>(
        std::calloc(size_t(arguments.count) + 5 + kClassDataCacheOptionCount, sizeof(JavaVMOption)));
    if (vmOptions == nullptr) std::abort();
    // An empty argument (two blanks in a row, a trailing blank before the
    // class path, a placeholder that expands to nothing) is no option: a VM
    // refuses it as unrecognised. Application arguments keep theirs.
    int32_t count = 0;
    bool classPathGiven = false;
    for (int32_t i = 0; i < arguments.count; ++i) {
        char* option = arguments.items[i];
        if (option[0] == '\0') {
            std::free(option);
            continue;
        }
        if (anchor != nullptr && isClassPathOption(option)) {
            char* anchored = anchoredClassPath(option, anchor);
            std::free(option);
            option = anchored;
            classPathGiven = true;
        }
        vmOptions[count++].optionString = option;
    }
    // Without a class path a VM loads from its current directory: the one
    // the launch was in before the working directory changed.
    if (anchor != nullptr && !classPathGiven)
        vmOptions[count++].optionString = anchoredClassPath(kClassPathOption, anchor);
    std::free(anchor);
    if (use == VmUse::Primary) count = prepareClassDataCache(vmOptions, count);
    if (hooks && platform::serviceVmOption() != nullptr)
        vmOptions[count++].optionString = duplicateText(platform::serviceVmOption());
    if (hooks) {
        JavaVMOption* hook = vmOptions + count;
        hook[0].optionString = const_cast<char*>("vfprintf");
        hook[0].extraInfo = reinterpret_cast<void*>(&vmOutputHook);
        hook[1].optionString = const_cast<char*>("abort");
        hook[1].extraInfo = reinterpret_cast<void*>(&vmAbortHook);
        hook[2].optionString = const_cast<char*>("exit");
        hook[2].extraInfo = reinterpret_cast<void*>(&vmExitHook);
        count += 3;
    }
    // A traced launch learns the status that System.exit ends it with, a
    // start that records a class list starts the cache's writer there, and
    // rotated files get the output written just before it.
    if (!hooks && (traceOn() || classDataCacheRecording() || outputFilesRotate())) {
        vmOptions[count].optionString = const_cast<char*>("exit");
        vmOptions[count++].extraInfo = reinterpret_cast<void*>(&vmLaunchExitHook);
    }
    for (int32_t i = 0; traceOn() && i < count; ++i)
        trace("vm: option %d \"%s\"%s", int(i), vmOptions[i].optionString,
              vmOptions[i].extraInfo != nullptr ? " (hook)" : "");
    std::free(arguments.items);  // the texts themselves now belong to the option array

    static JavaVMInitArgs initArgs;
    initArgs.version = JNI_VERSION_1_2;
    initArgs.nOptions = count;
    initArgs.options = vmOptions;
    initArgs.ignoreUnrecognized = JNI_FALSE;

    auto create = reinterpret_cast<CreateJavaVmEntry>(Config.JvmCreateEntry);
    jint result = create(&Config.JavaVm, reinterpret_cast<void**>(&Config.MainJniEnv), &initArgs);
    trace("vm: JNI_CreateJavaVM %d", int(result));
    if (result != JNI_OK) {
        reportWithCapture("%s", formatMessage(MsgJvmCreate, Config.JvmPath).text);
        return false;
    }
    checkClassDataCache();
    return true;
}

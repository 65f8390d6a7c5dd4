// POSIX side: the installed-runtime table in the registry's place.
//
// Two keys exist, as Windows installers write them: "Software\JavaSoft\JDK"
// holds the runtimes that are JDKs (they have bin/javac), and
// "Software\JavaSoft\JRE" the others. Their version subkeys are the runtime
// directories under /usr/lib/jvm (or under the directory named by the
// environment variable VANTREL_JVM_ROOT, which the tests use for a runtime
// tree of their own). Each subkey is named by the JAVA_VERSION of the
// directory's "release" file (quotes removed) and holds
//   JavaHome   = the directory,
//   RuntimeLib = <directory>/lib/server/libjvm.so.
// A key's "CurrentVersion" is the version of the runtime that the
// "default-java" link points to, when that link exists and the runtime is
// one of the key's. The keys of other installers do not exist here.
//
// Distributions add symbolic links beside the real directories
// (java-1.17.0-openjdk-amd64 -> java-17-openjdk-amd64, openjdk-17): they
// are skipped, so that each runtime appears once, under its real directory.
// Directories without a readable JAVA_VERSION are not runtimes we can rank
// and are skipped too. Should two directories declare the same version, one
// stands for it, as a registry holds one subkey per name: the one that
// "default-java" names, else the first by directory name. Subkeys are
// enumerated in the order the registry returns them (name_order.h). Nothing
// is cached: each call looks at the disk again.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/name_order.h"

namespace platform {

namespace {

// The two keys; index 1 lists the JDKs.
const char* const kRuntimeKeys[] = {"Software\\JavaSoft\\JRE", "Software\\JavaSoft\\JDK"};
const char kRuntimeLibrary[] = "/lib/server/libjvm.so";
const char kDefaultLink[] = "default-java";

struct RuntimeEntry {
    std::string version;
    std::string home;
};

bool isJdk(const std::string& home) {
    struct stat info;
    return stat((home + "/bin/javac").c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The index of the runtime key a key path names (-1 for none); `rest`
// receives what follows it ("" for the key itself, else the version subkey).
int runtimeKeyOf(const char* key, const char** rest) {
    for (int k = 0; k < 2; ++k) {
        size_t n = strlen(kRuntimeKeys[k]);
        if (strncasecmp(key, kRuntimeKeys[k], n) != 0) continue;
        if (key[n] == '\0') {
            *rest = key + n;
            return k;
        }
        if (key[n] == '\\' && key[n + 1] != '\0') {
            *rest = key + n + 1;
            return k;
        }
    }
    return -1;
}

std::string runtimeRoot() {
    const char* root = getenv("VANTREL_JVM_ROOT");
    return root != nullptr && root[0] != '\0' ? root : "/usr/lib/jvm";
}

// JAVA_VERSION of <home>/release without its quotes; empty when absent.
std::string releaseVersion(const std::string& home) {
    FILE* file = fopen((home + "/release").c_str(), "r");
    if (file == nullptr) return {};
    static const char kKey[] = "JAVA_VERSION=";
    char line[1024];
    std::string version;
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (strncmp(line, kKey, sizeof(kKey) - 1) != 0) continue;
        for (const char* p = line + sizeof(kKey) - 1; *p != '\0' && *p != '\n' && *p != '\r'; ++p)
            if (*p != '"') version += *p;
        break;
    }
    fclose(file);
    return version;
}

// The path with every link resolved; empty when it does not resolve.
std::string realPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string result(resolved);
    free(resolved);
    return result;
}

// The runtimes of one key: JDKs (jdk set) or the others.
std::vector<RuntimeEntry> installedRuntimes(bool jdk) {
    std::vector<RuntimeEntry> entries;
    std::string root = runtimeRoot();
    DIR* dir = opendir(root.c_str());
    if (dir == nullptr) return entries;
    std::vector<std::string> names;
    while (struct dirent* item = readdir(dir)) {
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0) continue;
        struct stat info;
        std::string home = root + "/" + item->d_name;
        if (lstat(home.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;  // links and files
        names.push_back(item->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    const std::string defaultHome = realPath(root + "/" + kDefaultLink);
    for (const std::string& name : names) {
        std::string home = root + "/" + name;
        std::string version = releaseVersion(home);
        if (version.empty() || isJdk(home) != jdk) continue;
        auto taken = std::find_if(entries.begin(), entries.end(), [&](const RuntimeEntry& e) {
            return strcasecmp(e.version.c_str(), version.c_str()) == 0;
        });
        if (taken == entries.end())
            entries.push_back({version, home});
        else if (!defaultHome.empty() && realPath(home) == defaultHome)
            taken->home = home;  // the current version is the default runtime's
    }
    std::sort(entries.begin(), entries.end(), [](const RuntimeEntry& a, const RuntimeEntry& b) {
        return compareNamesAsWindows(a.version.c_str(), b.version.c_str()) < 0;
    });
    return entries;
}

bool fillValue(const std::string& text, char* buf, size_t cap) {
    if (text.size() >= cap) {
        errno = ERANGE;  // as the registry refuses a value larger than the buffer
        buf[0] = '\0';
        return false;
    }
    memcpy(buf, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

bool readRegistryString(const char* key, const char* value, char* buf, size_t cap) {
    if (cap == 0) return false;
    buf[0] = '\0';
    errno = ENOENT;
    const char* version = nullptr;
    const int which = runtimeKeyOf(key, &version);
    if (which < 0) return false;
    if (version[0] == '\0') {
        if (strcasecmp(value, "CurrentVersion") != 0) return false;
        std::string link = runtimeRoot() + "/" + kDefaultLink;
        struct stat info;
        if (lstat(link.c_str(), &info) != 0 || isJdk(link) != (which == 1)) return false;
        std::string current = releaseVersion(link);
        if (current.empty()) return false;
        return fillValue(current, buf, cap);
    }
    for (const RuntimeEntry& entry : installedRuntimes(which == 1)) {
        if (strcasecmp(entry.version.c_str(), version) != 0) continue;
        if (strcasecmp(value, "JavaHome") == 0) return fillValue(entry.home, buf, cap);
        if (strcasecmp(value, "RuntimeLib") == 0) return fillValue(entry.home + kRuntimeLibrary, buf, cap);
        return false;
    }
    return false;
}

struct RegistryKey {
    std::vector<std::string> subkeys;
};

RegistryKey* openRegistryKey(const char* key) {
    const char* version = nullptr;
    const int which = runtimeKeyOf(key, &version);
    if (which >= 0 && version[0] == '\0') {
        auto* handle = new RegistryKey;
        for (const RuntimeEntry& entry : installedRuntimes(which == 1)) handle->subkeys.push_back(entry.version);
        return handle;
    }
    if (which >= 0 && strchr(version, '\\') == nullptr) {
        for (const RuntimeEntry& entry : installedRuntimes(which == 1))
            if (strcasecmp(entry.version.c_str(), version) == 0) return new RegistryKey;  // no subkeys
    }
    errno = ENOENT;
    return nullptr;
}

bool enumRegistrySubkey(RegistryKey* key, uint32_t index, char* name, size_t cap) {
    if (cap == 0 || key == nullptr || index >= key->subkeys.size()) return false;
    return fillValue(key->subkeys[index], name, cap);
}

void closeRegistryKey(RegistryKey* key) { delete key; }

}  // namespace platform

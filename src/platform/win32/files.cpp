// Windows side: resources, code pages, profile files, files and
// directories, libraries, registry, memory and clock.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {

// ---- Resources -------------------------------------------------------------

// A data entry of a damaged executable may point anywhere: its data is used
// only when it lies whole inside the loaded image, on pages that can be read.
static bool readableInsideImage(const uint8_t* data, size_t size) {
    const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    uintptr_t start = reinterpret_cast<uintptr_t>(base);
    uintptr_t end = start + nt->OptionalHeader.SizeOfImage;
    uintptr_t at = reinterpret_cast<uintptr_t>(data);
    if (at < start || at > end || size > end - at) return false;
    for (uintptr_t stop = at + size; at < stop;) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof(info)) == 0) return false;
        if (info.State != MEM_COMMIT || (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) return false;
        at = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

static bool lockResource(HRSRC resource, const uint8_t** data, size_t* size) {
    if (resource == nullptr) return false;
    HGLOBAL loaded = LoadResource(nullptr, resource);
    if (loaded == nullptr) return false;
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) return false;
    DWORD length = SizeofResource(nullptr, resource);
    if (!readableInsideImage(static_cast<const uint8_t*>(bytes), length)) return false;
    *data = static_cast<const uint8_t*>(bytes);
    *size = length;
    return true;
}

bool findStringBlock(unsigned block, const uint8_t** data, size_t* size) {
    HRSRC resource = FindResourceExA(nullptr, RT_STRING, MAKEINTRESOURCEA(block),
                                     MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    return lockResource(resource, data, size);
}

// The payload's bytes in the mapped image; read only where they are used.
static bool payloadBytes(const uint8_t** data, size_t* size) {
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(1), RT_RCDATA);
    return lockResource(resource, data, size);
}

static const uint8_t* payloadRange(uint64_t offset, uint64_t size) {
    const uint8_t* data = nullptr;
    size_t total = 0;
    if (payloadBytes(&data, &total) && offset <= total && size <= total - offset) return data + offset;
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
}

bool findPayload(uint64_t* size) {
    const uint8_t* data = nullptr;
    size_t total = 0;
    if (!payloadBytes(&data, &total)) return false;
    *size = total;
    return true;
}

bool readPayload(uint64_t offset, void* buffer, size_t size) {
    const uint8_t* data = payloadRange(offset, size);
    if (data != nullptr) std::memcpy(buffer, data, size);
    return data != nullptr;
}

// ---- Code pages ------------------------------------------------------------

size_t wideToNarrow(const uint16_t* wide, size_t wideLength, char* out, size_t cap) {
    if (wideLength > 0x7FFFFFFF || cap > 0x7FFFFFFF) return 0;
    int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(wide), static_cast<int>(wideLength),
                                out, static_cast<int>(cap), nullptr, nullptr);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t narrowToWide(const char* text, size_t length, uint16_t* out, size_t cap) {
    if (length > 0x7FFFFFFF || cap > 0x7FFFFFFF) return 0;
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), reinterpret_cast<wchar_t*>(out),
                                static_cast<int>(cap));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// ---- Profile files ---------------------------------------------------------

size_t readProfileString(const char* section, const char* key, const char* defaultValue, char* buf, size_t cap,
                         const char* path) {
    if (cap == 0) return 0;
    DWORD size = cap > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(cap);
    return GetPrivateProfileStringA(section, key, defaultValue, buf, size, path);
}

struct ProfileFile {
    char* path;
};

ProfileLoad loadProfileFile(const char* path, uint64_t maxBytes, ProfileFile** file) {
    *file = nullptr;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ProfileLoad::Missing
                                                                               : ProfileLoad::Failed;
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return ProfileLoad::NotAFile;
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ProfileLoad::Failed;
    LARGE_INTEGER size;
    ProfileLoad result = ProfileLoad::Loaded;
    if (GetFileType(handle) != FILE_TYPE_DISK) result = ProfileLoad::NotAFile;
    else if (!GetFileSizeEx(handle, &size)) result = ProfileLoad::Failed;
    else if (static_cast<uint64_t>(size.QuadPart) > maxBytes) result = ProfileLoad::TooLarge;
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    if (result != ProfileLoad::Loaded) return result;
    size_t length = std::strlen(path);
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) std::abort();
    std::memcpy(copy, path, length + 1);
    *file = new ProfileFile{copy};
    return result;
}

size_t readLoadedProfileString(const ProfileFile* file, const char* section, const char* key,
                               const char* defaultValue, char* buf, size_t cap) {
    if (cap == 0) return 0;
    buf[0] = '\0';
    if (file == nullptr) return 0;
    return readProfileString(section, key, defaultValue, buf, cap, file->path);
}

size_t listLoadedProfileNames(const ProfileFile* file, const char* section, char* buf, size_t cap) {
    if (cap < 2) return 0;
    buf[0] = buf[1] = '\0';
    if (file == nullptr) return 0;
    DWORD size = cap > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(cap);
    return section == nullptr ? GetPrivateProfileSectionNamesA(buf, size, file->path)
                              : GetPrivateProfileStringA(section, nullptr, "", buf, size, file->path);
}

void freeProfileFile(ProfileFile* file) {
    if (file == nullptr) return;
    std::free(file->path);
    delete file;
}

// ---- Files and directories -------------------------------------------------

FileKind fileKind(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::Missing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FileKind::Directory;
    return (attributes & FILE_ATTRIBUTE_DEVICE) ? FileKind::Other : FileKind::File;
}

struct InputFile {
    HANDLE handle;
};

InputFile* openInputFile(const char* path, FileKind* kind, uint64_t* size) {
    *kind = fileKind(path);
    if (*kind == FileKind::Directory || *kind == FileKind::Other) return nullptr;
    *kind = FileKind::Missing;
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER length;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        *kind = FileKind::Other;
        return nullptr;
    }
    if (!GetFileSizeEx(handle, &length)) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return nullptr;
    }
    *kind = FileKind::File;
    *size = static_cast<uint64_t>(length.QuadPart);
    return new InputFile{handle};
}

bool readInputFile(InputFile* file, void* buf, size_t cap, size_t* got) {
    DWORD chunk = cap > 0x40000000 ? 0x40000000 : static_cast<DWORD>(cap);
    DWORD read = 0;
    if (!ReadFile(file->handle, buf, chunk, &read, nullptr)) return false;
    *got = read;
    return true;
}

void closeInputFile(InputFile* file) {
    if (file == nullptr) return;
    DWORD saved = GetLastError();
    CloseHandle(file->handle);
    delete file;
    SetLastError(saved);
}

bool createDirectory(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

// The full path in UTF-16, for a comparison that knows the file system's
// case rules beyond ASCII.
static bool fullWidePath(const char* path, WCHAR* out, int cap) {
    char full[MAX_PATH * 2];
    DWORD n = GetFullPathNameA(path, sizeof(full), full, nullptr);
    return n != 0 && n < sizeof(full) && MultiByteToWideChar(CP_ACP, 0, full, -1, out, cap) != 0;
}

bool sameFile(const char* a, const char* b) {
    if (std::strcmp(a, b) == 0) return true;
    WCHAR first[MAX_PATH * 2], second[MAX_PATH * 2];
    return fullWidePath(a, first, MAX_PATH * 2) && fullWidePath(b, second, MAX_PATH * 2) &&
           CompareStringOrdinal(first, -1, second, -1, TRUE) == CSTR_EQUAL;
}

bool linesEndWithCarriageReturn() { return true; }

bool fileWriteTime(const char* path, uint64_t* fileTime) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    *fileTime = uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    return true;
}

bool writeNewFile(const char* path, const void* data, size_t size, const char*) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const char* bytes = static_cast<const char*>(data);
    bool ok = true;
    while (ok && size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        ok = WriteFile(file, bytes, chunk, &written, nullptr) && written == chunk;
        bytes += chunk;
        size -= chunk;
    }
    DWORD error = GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileA(path);
        SetLastError(error);
    }
    return ok;
}

// A read-only file (some runtimes write their archives so) is replaced and
// deleted as POSIX does: its attribute goes first.
static bool clearReadOnly(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
           SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
}

bool replaceFile(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    return GetLastError() == ERROR_ACCESS_DENIED && clearReadOnly(to) &&
           MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

FactsResult fileFacts(const char* path, FileFacts* facts) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FactsResult::Missing
                                                                              : FactsResult::Failed;
    }
    facts->size = uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    facts->writeTime = uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
    const DWORD attributes = data.dwFileAttributes;
    facts->kind = (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ? FileKind::Other
                  : (attributes & FILE_ATTRIBUTE_DIRECTORY)                            ? FileKind::Directory
                                                                                       : FileKind::File;
    facts->foreignOwner = false;
    return FactsResult::Found;
}

bool fileInUse(const char* path) {
    // What replacing needs: delete access, with nobody else holding it open.
    HANDLE file = CreateFileA(path, DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool createOutputFile(const char* path, OutputFile* file) {
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    file->handle = reinterpret_cast<intptr_t>(handle);
    return handle != INVALID_HANDLE_VALUE;
}

// A regular file opened for writing, created when missing, shared with every
// other use (a rename or deletion included). A link (a reparse point) is
// opened itself and refused, as is a device.
static bool openRegularForWriting(const char* path, DWORD access, OutputFile* file) {
    HANDLE handle = CreateFileA(path, access | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    file->handle = reinterpret_cast<intptr_t>(handle);
    if (handle == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(handle);
        file->handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
        setFailureReason(Failure::NotRegularFile);
        return false;
    }
    return true;
}

bool openAppendFile(const char* path, OutputFile* file) {
    // Append access alone: the system puts every write at the end, also when
    // another process appends to the same file.
    return openRegularForWriting(path, FILE_APPEND_DATA, file);
}

bool openLogFile(const char* path, bool keep, OutputFile* file, uint64_t* size) {
    if (!openRegularForWriting(path, GENERIC_WRITE, file)) return false;
    HANDLE handle = reinterpret_cast<HANDLE>(file->handle);
    LARGE_INTEGER end{};
    if ((!keep && !SetEndOfFile(handle)) || !SetFilePointerEx(handle, end, &end, FILE_END)) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return false;
    }
    *size = static_cast<uint64_t>(end.QuadPart);
    return true;
}

bool javaOutputName(const char* path, char* name, size_t cap, intptr_t* held) {
    *held = -1;
    size_t n = std::strlen(path);
    if (n >= cap) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(name, path, n + 1);
    return true;
}

void releaseJavaOutputName(intptr_t) {}

bool writeOutputFile(OutputFile file, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file.handle), bytes, chunk, &written, nullptr)) return false;
        if (written != chunk) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

bool setOutputFileTime(OutputFile file, uint64_t fileTime) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    return SetFileTime(reinterpret_cast<HANDLE>(file.handle), nullptr, nullptr, &time) != 0;
}

bool copyPayloadToFile(OutputFile file, uint64_t offset, uint64_t size) {
    const uint8_t* data = payloadRange(offset, size);
    if (data == nullptr) return false;
    constexpr uint64_t kPiece = 1u << 20;
    for (uint64_t done = 0; done < size; done += kPiece) {
        size_t piece = static_cast<size_t>(size - done < kPiece ? size - done : kPiece);
        if (!writeOutputFile(file, data + done, piece)) return false;
        // On pages that are not locked, VirtualUnlock takes them out of the
        // working set (and says ERROR_NOT_LOCKED): the image keeps them.
        VirtualUnlock(const_cast<uint8_t*>(data + done), piece);
    }
    return true;
}

bool closeOutputFile(OutputFile file) { return CloseHandle(reinterpret_cast<HANDLE>(file.handle)) != 0; }

bool deleteFile(const char* path) {
    if (DeleteFileA(path)) return true;
    return GetLastError() == ERROR_ACCESS_DENIED && clearReadOnly(path) && DeleteFileA(path) != 0;
}

bool removeDirectory(const char* path) { return RemoveDirectoryA(path) != 0; }

// Files in use can be neither replaced nor deleted here, so the folder needs
// no lock of its own and is always held alone; the temporary directory is
// the user's own.
FolderResult holdExtractionFolder(const char* path, bool create, bool, FolderHold** hold, bool* alone) {
    *hold = nullptr;
    *alone = true;
    if (create) CreateDirectoryA(path, nullptr);  // an existing folder is fine
    return fileKind(path) == FileKind::Directory ? FolderResult::Ready : FolderResult::Failed;
}

void shareExtractionFolder(FolderHold*) {}
void releaseExtractionFolder(FolderHold*) {}

FolderResult claimExtractionFolder(const char* path, bool) {
    return fileKind(path) == FileKind::Directory ? FolderResult::Ready : FolderResult::Failed;
}

struct DirectoryEnum {
    HANDLE find;
};

static bool fillEntry(const WIN32_FIND_DATAA& data, DirectoryEntry* entry) {
    size_t n = std::strlen(data.cFileName);
    if (n >= sizeof(entry->name)) n = sizeof(entry->name) - 1;
    std::memcpy(entry->name, data.cFileName, n);
    entry->name[n] = '\0';
    entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

EnumResult openDirectoryEnum(const char* directory, DirectoryEnum** handle, DirectoryEntry* first) {
    *handle = nullptr;
    char pattern[MAX_PATH + 8];
    size_t n = std::strlen(directory);
    if (std::strcmp(directory, ".") == 0) {
        std::strcpy(pattern, "*.*");
    } else {
        if (n > 0 && (directory[n - 1] == '\\' || directory[n - 1] == '/')) --n;
        if (n + 5 > sizeof(pattern)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return EnumResult::Error;
        }
        std::memcpy(pattern, directory, n);
        std::strcpy(pattern + n, "\\*.*");
    }
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return (error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND) ? EnumResult::End : EnumResult::Error;
    }
    *handle = new DirectoryEnum{find};
    fillEntry(data, first);
    return EnumResult::Entry;
}

EnumResult nextDirectoryEntry(DirectoryEnum* handle, DirectoryEntry* entry) {
    WIN32_FIND_DATAA data;
    if (FindNextFileA(handle->find, &data)) {
        fillEntry(data, entry);
        return EnumResult::Entry;
    }
    return GetLastError() == ERROR_NO_MORE_FILES ? EnumResult::End : EnumResult::Error;
}

void closeDirectoryEnum(DirectoryEnum* handle) {
    if (handle == nullptr) return;
    DWORD saved = GetLastError();
    FindClose(handle->find);
    delete handle;
    SetLastError(saved);
}

// Without reparse points a Windows directory tree holds no cycle, so there
// is nothing to remember.
struct VisitedDirectories {};

VisitedDirectories* newVisitedDirectories() { return new VisitedDirectories; }

bool enterDirectory(VisitedDirectories*, const char* path, bool start) {
    if (start) return true;
    DWORD attributes = GetFileAttributesA(path);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void freeVisitedDirectories(VisitedDirectories* visited) { delete visited; }

// ---- Libraries -------------------------------------------------------------

void* loadLibrary(const char* path) { return reinterpret_cast<void*>(LoadLibraryA(path)); }

void* findSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(void* library) {
    if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

void setLibraryDirectory(const char* directory) {
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
    HMODULE kernel = GetModuleHandleA("kernel32");
    if (kernel == nullptr) return;
    auto setDllDirectory =
        reinterpret_cast<SetDllDirectoryFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDllDirectory != nullptr) setDllDirectory(directory);
}

void loadAuxiliaryRuntimeLibraries() { LoadLibraryA("awt.dll"); }

// ---- Memory and clock ------------------------------------------------------

bool systemMemoryStatus(MemoryFigures* figures) {
    MEMORYSTATUSEX status;
    std::memset(&status, 0, sizeof(status));
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return false;
    figures->availablePhysical = status.ullAvailPhys;
    figures->totalPhysical = status.ullTotalPhys;
    return true;
}

bool systemDateText(char* buf, size_t cap) {
    if (cap == 0 || cap > 0x7FFFFFFF) return false;
    return GetDateFormatA(GetThreadLocale(), 0, nullptr, "yyyyMMdd", buf, static_cast<int>(cap)) != 0;
}

bool systemTimeText(char* buf, size_t cap) {
    if (cap == 0 || cap > 0x7FFFFFFF) return false;
    return GetTimeFormatA(GetThreadLocale(), 0, nullptr, "HHmmss", buf, static_cast<int>(cap)) != 0;
}

}  // namespace platform

// The platform seam. Shared code reaches the operating system only through
// the functions declared here; src/platform/win32 and src/platform/posix
// implement them (CMake picks one). Every text is 8-bit, UTF-8 on both sides.
//
// Conventions: functions that fill a caller's buffer take its capacity in
// bytes and never write past it. A result that does not fit is refused (the
// function fails) rather than cut into a different path, unless the comment
// says otherwise. Failing functions leave the reason in the calling thread's
// last error (GetLastError / errno), which lastError() reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- Paths ---------------------------------------------------------------

// Separator used when the launcher builds a path ('\\' or '/').
char pathSeparator();
// True for a separator of this platform (Windows also accepts '/').
bool isPathSeparator(char c);
// "\x", "C:..." on Windows; "/x" on POSIX.
bool isAbsolutePath(const char* path);
// Separator between entries of the class-path option handed to the VM.
char classPathOptionSeparator();
// File name of the VM library the tree search looks for ("jvm.dll").
const char* runtimeLibraryName();
// Candidates below JAVA_HOME, in search order, ending with nullptr.
const char* const* javaHomeRuntimeCandidates();
// True when file names compare without case (Windows).
bool fileNamesIgnoreCase();

// ---- Errors --------------------------------------------------------------

uint32_t lastError();
void setLastError(uint32_t code);
// The system's text for an error code into buf (always terminated when
// cap > 0). Returns the length; 0 when the system has no text.
size_t systemErrorText(uint32_t code, char* buf, size_t cap);

// Error codes the shared code compares against (Windows values; the POSIX
// side maps its errno values onto them where it reports them).
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorNoMoreFiles = 18;

// ---- Process -------------------------------------------------------------

// Full path of the running executable. Returns its length, 0 on failure or
// when it does not fit in cap - 1 characters.
size_t executablePath(char* buf, size_t cap);
// Current directory. Returns its length, 0 on failure or when it does not fit.
size_t currentDirectory(char* buf, size_t cap);
bool setCurrentDirectory(const char* path);
// Temporary-files directory with its trailing separator (GetTempPathA).
// Returns its length, 0 on failure or when it does not fit.
size_t temporaryDirectory(char* buf, size_t cap);
uint32_t currentProcessId();
// Priority class by index 0..5 (realtime .. idle). Failures are ignored.
void setPriorityIndex(int index);
// The index of the process's current priority class, -1 when unknown.
int currentPriorityIndex();
// Waits up to timeoutMs for process pid to end. Returns false (at once)
// when the process cannot be opened.
bool waitForProcessEnd(uint32_t pid, uint32_t timeoutMs);
// Starts a detached copy of a command line (no console, no window,
// standard streams closed). Result ignored by callers.
bool spawnDetached(const char* commandLine);
// Opens a document with the desktop's handler; result ignored by callers.
void shellOpen(const char* document);
// Runs a command line (WinExec / sh -c), detached; result ignored by callers.
void runCommand(const char* commandLine);
// GetVersionEx-style check that the OS answers a version query.
bool queryOsVersion();
// Shell folders: 26 (APPDATA), 28 (LOCAL_APPDATA), 5 (PERSONAL).
// Returns false when the folder query is unavailable or fails.
bool specialFolderAvailable();
bool specialFolderPath(int csidl, char* buf, size_t cap);

// ---- Resources of the running executable ----------------------------------

// Raw RT_STRING block (1-based block number = id / 16 + 1) under the neutral
// language, falling back to the single language present, as FindResourceEx
// does. The data stays valid for the life of the process. A resource whose
// data does not lie whole inside the loaded image counts as absent.
bool findStringBlock(unsigned block, const uint8_t** data, size_t* size);
// The payload resource (RT_RCDATA 1). Valid for the life of the process.
bool findPayload(const uint8_t** data, size_t* size);
// LoadStringA, read through findStringBlock and the block's real size on
// both sides (the same code): the entry converted to 8-bit text, cut after
// the last whole character that fits in cap - 1 bytes, terminated. Returns
// the bytes copied; 0 when the entry is absent, empty, or lies (or follows
// an entry that runs) past the end of its block.
int loadString(unsigned id, char* buf, int cap);
// Entry `index` (0..15) of a raw RT_STRING block of `size` bytes: its
// UTF-16 units (little-endian, unaligned) and their count. False when the
// block ends before the entry does.
bool stringBlockEntry(const uint8_t* block, size_t size, unsigned index, const uint8_t** units, size_t* count);
// loadString on a given block: entry `index` of it.
int loadStringFromBlock(const uint8_t* block, size_t size, unsigned index, char* buf, int cap);

// ---- Code-page conversion ------------------------------------------------

// UTF-16 to 8-bit text. With cap 0 it measures. Returns the bytes written or
// needed (counting a terminator only if one is in the input), 0 on failure.
size_t wideToNarrow(const uint16_t* wide, size_t wideLength, char* out, size_t cap);
// 8-bit text to UTF-16, same conventions. Invalid sequences (stray bytes,
// overlong forms, encoded surrogates, values above U+10FFFF, a cut last
// character) become U+FFFD on both sides, as MultiByteToWideChar does.
size_t narrowToWide(const char* text, size_t length, uint16_t* out, size_t cap);

// ---- Profile (INI) files -------------------------------------------------

// GetPrivateProfileStringA for one key. Returns the length copied (a value
// that does not fit is cut to cap - 1).
size_t readProfileString(const char* section, const char* key, const char* defaultValue,
                         char* buf, size_t cap, const char* path);

// A settings file checked and loaded once for many lookups. Only a regular
// file of at most maxBytes is taken: a directory, FIFO, device or socket
// gives NotAFile (without blocking on it), a larger file TooLarge, a file
// that does not exist Missing, any other failure Failed (last error set).
// On Loaded, *file is the caller's until freeProfileFile. The POSIX side
// reads and decodes the file once; Windows hands each lookup to
// GetPrivateProfileStringA, which keeps the file cached.
struct ProfileFile;
enum class ProfileLoad { Loaded, Missing, NotAFile, TooLarge, Failed };
ProfileLoad loadProfileFile(const char* path, uint64_t maxBytes, ProfileFile** file);
// readProfileString on a loaded file: same buffer convention and results.
size_t readLoadedProfileString(const ProfileFile* file, const char* section, const char* key,
                               const char* defaultValue, char* buf, size_t cap);
void freeProfileFile(ProfileFile* file);

// ---- Files and directories -------------------------------------------------

// File is a regular file only; Other is anything else that exists (a
// device, FIFO or socket on POSIX, a device on Windows). Links are followed.
enum class FileKind { Missing, File, Directory, Other };
FileKind fileKind(const char* path);
bool createDirectory(const char* path);
// Last-write time as a FILETIME: 100 ns units since 1601-01-01 UTC.
bool fileWriteTime(const char* path, uint64_t* fileTime);
// Creates a file that must not exist yet and writes all of data into it; a
// file that cannot be written whole is removed again. The new file takes
// the permissions of permissionsFrom where the platform has permissions.
bool writeNewFile(const char* path, const void* data, size_t size, const char* permissionsFrom);
// Renames a file over another one, replacing it.
bool replaceFile(const char* from, const char* to);

// Reading a file in pieces. openInputFile opens path for reading only when
// it is a regular file, without blocking on whatever else it may be: for a
// directory or any other kind of file it returns nullptr with *kind saying
// what was found; when the file cannot be opened, nullptr with *kind Missing
// and the last error set. On success *size is the file's size then.
// readInputFile reads up to cap bytes: returns false on a read error (last
// error set), else true with *got 0 at the end of the file.
struct InputFile;
InputFile* openInputFile(const char* path, FileKind* kind, uint64_t* size);
bool readInputFile(InputFile* file, void* buf, size_t cap, size_t* got);
void closeInputFile(InputFile* file);

struct DirectoryEntry {
    char name[260];
    bool isDirectory;
};

enum class EnumResult { Entry, End, Error };

// Enumeration of a directory's entries, "." and ".." included on both sides.
// open() returns Entry with the first entry, End when the directory is
// empty or missing (last error ERROR_FILE_NOT_FOUND / ERROR_NO_MORE_FILES),
// or Error. On POSIX the entries come sorted by name without case, as NTFS
// returns them, so that class paths are the same on every machine.
struct DirectoryEnum;
EnumResult openDirectoryEnum(const char* directory, DirectoryEnum** handle, DirectoryEntry* first);
EnumResult nextDirectoryEntry(DirectoryEnum* handle, DirectoryEntry* entry);
void closeDirectoryEnum(DirectoryEnum* handle);

// ---- Dynamic libraries ---------------------------------------------------

void* loadLibrary(const char* path);
void* findSymbol(void* library, const char* name);
void freeLibrary(void* library);
// SetDllDirectoryA where it exists (nullptr restores the default).
void setLibraryDirectory(const char* directory);
// The "awt.dll" step after the VM library is loaded (nothing on POSIX).
void loadAuxiliaryRuntimeLibraries();

// ---- Runtime registry ----------------------------------------------------

// HKEY_LOCAL_MACHINE string values (REG_SZ / REG_EXPAND_SZ, unexpanded).
// On POSIX the installed-runtime table plays the registry's part.
bool readRegistryString(const char* key, const char* value, char* buf, size_t cap);
struct RegistryKey;
RegistryKey* openRegistryKey(const char* key);
// Subkey name by index; false at the end or on error.
bool enumRegistrySubkey(RegistryKey* key, uint32_t index, char* name, size_t cap);
void closeRegistryKey(RegistryKey* key);

// ---- Single-instance mutex -------------------------------------------------

// True when another process holds a mutex of this name.
bool namedMutexExists(const char* name);
// Creates and holds the mutex for the life of the process. Returns false
// (last error set) when it cannot be made; any name is accepted (POSIX maps
// a name too long for a file name to a readable prefix plus a hash).
bool createNamedMutex(const char* name);

// ---- Memory and clock (tests may replace them) ----------------------------

struct MemoryFigures {
    uint64_t availablePhysical;
    uint64_t totalPhysical;
};
bool memoryStatus(MemoryFigures* figures);
// "yyyyMMdd" and "HHmmss" of the local date and time.
bool formatDate(char* buf, size_t cap);
bool formatTime(char* buf, size_t cap);

// What the system says, without the test hooks (each platform's own).
bool systemMemoryStatus(MemoryFigures* figures);
bool systemDateText(char* buf, size_t cap);
bool systemTimeText(char* buf, size_t cap);

using MemoryStatusSource = bool (*)(MemoryFigures*);
using ClockTextSource = bool (*)(char*, size_t);
// Test hooks: nullptr restores the system's source.
void overrideMemoryStatus(MemoryStatusSource source);
void overrideDateText(ClockTextSource source);
void overrideTimeText(ClockTextSource source);

// ---- Console and event log -----------------------------------------------

void hideConsoleWindow();
void attachServiceConsole();
// Registers the handler that ignores the interactive user's log-off.
void installLogoffFilter();
// One event-log entry (type 4 information / 1 error) with the given id.
void writeEventLog(void* eventSource, uint16_t type, uint32_t eventId, const char* text);

}  // namespace platform

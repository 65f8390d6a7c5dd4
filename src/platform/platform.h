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
// Rooted or drive paths: "\x", "/x", "C:..." on Windows; "/x" on POSIX.
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

// Failures that the launcher finds itself. setFailureReason puts each
// platform's own code for one into the last error, so that a report's
// reason is a fitting system text (POSIX has texts of its own for those
// errno lacks).
enum class Failure {
    NameTooLong,      // ERROR_FILENAME_EXCED_RANGE / ENAMETOOLONG
    DamagedData,      // ERROR_FILE_CORRUPT
    NotPlainName,     // ERROR_INVALID_NAME
    UntrustedFolder,  // ERROR_ACCESS_DENIED; POSIX: a link, another user's, or writable by others
    NotServiceName,   // ERROR_INVALID_NAME; POSIX: not a unit name
    NoSuchService,    // ERROR_SERVICE_DOES_NOT_EXIST; POSIX: no unit file of that name
    NotRegularFile,   // ERROR_CANT_ACCESS_FILE; POSIX: a link, folder, device, FIFO or socket
    UntrustedFile,    // ERROR_ACCESS_DENIED; POSIX: a folder, link or device, or another user's file
    NotUnitText,      // ERROR_INVALID_NAME; POSIX: a text systemd would read otherwise in its unit line
    ManagerRefused,   // ERROR_SERVICE_REQUEST_TIMEOUT; POSIX: systemctl failed or did not answer in time
    NotServiceAccount,  // ERROR_INVALID_SERVICE_ACCOUNT; POSIX: not a user or user:group name
};
void setFailureReason(Failure failure);

// ---- Process -------------------------------------------------------------

// From the first step on, a write to a closed pipe or terminal fails like
// any other write instead of ending the process: POSIX ignores SIGPIPE
// (programs the launcher starts get the default back); nothing to do on
// Windows, where such a write just fails.
void ignoreBrokenPipes();

// Full path of the running executable. Returns its length, 0 on failure or
// when it does not fit in cap - 1 characters.
size_t executablePath(char* buf, size_t cap);
// Current directory. Returns its length, 0 on failure or when it does not
// fit (then with ERROR_INSUFFICIENT_BUFFER / ENAMETOOLONG).
size_t currentDirectory(char* buf, size_t cap);
bool setCurrentDirectory(const char* path);
// The user's own folder for unpacked archives, the single-instance lock and
// the capture pipe, with its trailing separator. Its path never holds '"',
// ';' or '%', which would change the class-path option built from it.
// Windows: GetTempPath2A where the system exports it (a SYSTEM process then
// gets a folder other users cannot write), else GetTempPathA; one holding
// ';' or '%' is refused (Failure::NotPlainName). POSIX, on disk and never
// $XDG_RUNTIME_DIR (RAM with a small cap), the first of these that
// ensurePrivateFolder takes: $XDG_CACHE_HOME/vantrel, $HOME/.cache/vantrel,
// vantrel-<uid> in $TMPDIR or /tmp, and last a fresh folder
// vantrel-<uid>-XXXXXX there (the same one for the rest of the process); a
// relative variable, or one holding '"', ';' or '%', is passed over.
// passedOver (capacity passedCap, may be null) receives, for the trace, the
// candidates refused and why: "\"path\": reason; ..." (empty when none).
// Returns its length, 0 on failure or when it does not fit.
size_t temporaryDirectory(char* buf, size_t cap, char* passedOver = nullptr, size_t passedCap = 0);
// Makes path a folder of this user's own, that no one else can plant files
// in or point elsewhere: its last level is created when missing (0700 on
// POSIX), then a link, a folder of another user (root excepted) or one that
// others may write to is refused (false, Failure::UntrustedFolder). Windows:
// created, and refused when what is there is no folder or is a reparse
// point. False with the last error when it cannot be created or looked at.
bool ensurePrivateFolder(const char* path);
// Sets a variable of the process's own environment (nullptr: removes it),
// where getenv, the runtime library a VM brings and the programs the process
// starts all read it (Windows: SetEnvironmentVariableA and the C runtime's
// copy, _putenv; POSIX: setenv / unsetenv). Only while no other thread may
// read the environment. False, last error set, when it cannot be set.
bool setEnvironmentVariable(const char* name, const char* value);
// A random number from the system's generator, for names no one can guess.
uint64_t randomNumber();
// The user's own folder for caches that the launcher keeps between starts,
// with its trailing separator; each of its levels is made and checked by
// ensurePrivateFolder. Windows: %LOCALAPPDATA%\Vantrel\cache (the shell
// folder). POSIX: $XDG_CACHE_HOME/vantrel/cache, or $HOME/.cache/vantrel/cache
// when that variable is unset, relative or holds '"', ';' or '%' (then
// Failure::NotPlainName when $HOME is no better); the folder above vantrel
// is created 0700 when missing. Returns its length, 0 on failure (last
// error set) or when it does not fit.
size_t userCacheDirectory(char* buf, size_t cap);
uint32_t currentProcessId();
// Priority class by index 0..5 (realtime .. idle). Failures are ignored.
void setPriorityIndex(int index);
// The index of the process's current priority class, -1 when unknown.
int currentPriorityIndex();
// Waits up to timeoutMs for process pid to end (OpenProcess and
// WaitForSingleObject; POSIX: pidfd_open and poll, else kill(pid, 0) every
// 100 ms). Returns false at once when the process cannot be opened: it has
// ended already, or pid names no process (0, and on POSIX above INT_MAX).
bool waitForProcessEnd(uint32_t pid, uint32_t timeoutMs);
// Starts a detached program from an argument vector ending with nullptr;
// argv[0] is the program's full path. Never through a shell. No console and
// no window (Windows: DETACHED_PROCESS | CREATE_DEFAULT_ERROR_MODE |
// CREATE_NO_WINDOW), no inherited handles or descriptors (POSIX: a new
// session, standard streams on /dev/null, signals at their defaults).
// False with the last error when it cannot be started.
bool spawnDetached(const char* const* argv);
// How a program that runChildProcess ran has ended.
struct ChildOutcome {
    bool started;     // false: it could not be started (last error set)
    bool killed;      // it was still running when the bound had passed
    uint32_t status;  // its exit code; POSIX: 128 + the signal that ended it
};
// Starts a program as spawnDetached does and waits up to boundMs for it to
// end; one still running then is killed (TerminateProcess / SIGKILL) and
// waited for (Windows: a few seconds more at most).
ChildOutcome runChildProcess(const char* const* argv, uint32_t boundMs);
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
// The payload resource (RT_RCDATA 1): its size; false when there is none.
// It is read in pieces, never whole (Windows: from the image's resource;
// POSIX: from the executable's file): a payload of many megabytes costs
// nothing when its archives are already unpacked.
bool findPayload(uint64_t* size);
// Copies size bytes at offset of the payload into buffer; false (last
// error set) when the range is not inside the payload or cannot be read.
bool readPayload(uint64_t offset, void* buffer, size_t size);
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
// The names a loaded file holds, as GetPrivateProfileStringA lists them: the
// section names when section is null, else the key names of that section
// ("" for the keys before any section header). Each name ends with a zero
// byte and the list with a second one; a list too long for cap is cut
// (Windows may cut its last name). Returns the bytes before the final zero.
size_t listLoadedProfileNames(const ProfileFile* file, const char* section, char* buf, size_t cap);

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
// Renames a file over another one, replacing it (MoveFileExA with
// MOVEFILE_REPLACE_EXISTING / rename): readers of the old file keep theirs.
// A read-only file is replaced too.
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

// What path names itself: a final link is not followed (it is Other, as a
// Windows reparse point is).
struct FileFacts {
    uint64_t size;
    uint64_t writeTime;  // FILETIME, as fileWriteTime
    FileKind kind;
    bool foreignOwner;  // POSIX: owned by another user than this one and root; Windows: false
};
enum class FactsResult { Missing, Found, Failed };
// Missing when nothing is there (nor its folder); Failed, with the last
// error, when something is there that cannot be looked at.
FactsResult fileFacts(const char* path, FileFacts* facts);
// True when path exists but cannot be opened to be replaced: on Windows
// another process holds it open without sharing (a running VM holds its
// archives so) or it may not be written. POSIX: false, a move replaces a
// file without disturbing those who have it open (the folder's locks tell
// whether another launcher uses it).
bool fileInUse(const char* path);

// A file being written, from createOutputFile to closeOutputFile.
struct OutputFile {
    intptr_t handle;
};
// Creates path for writing, shared with nobody; fails (ERROR_FILE_EXISTS /
// EEXIST) when anything is there, a link included, so that the file is this
// process's own (CREATE_NEW; POSIX: O_EXCL | O_NOFOLLOW, mode 0644 less the
// umask).
bool createOutputFile(const char* path, OutputFile* file);
// Opens path for appending (created when missing; an existing file keeps
// its content), for a log that several processes may write at once: every
// write goes to the file's end as one piece (Windows: FILE_APPEND_DATA,
// shared for reading, writing and deleting; POSIX: O_APPEND, mode 0600 less
// the umask for a new file). Only a regular file, and never through a final
// link (O_NOFOLLOW; Windows: a reparse point is opened itself, then
// refused), so that a link someone planted cannot send the writes into
// another file: anything else fails with Failure::NotRegularFile. Never
// inherited by a program the launcher starts, and never waits on a FIFO.
bool openAppendFile(const char* path, OutputFile* file);
// Opens path for the launcher's own writing of an application's output
// file, one writer appending after the other: created when missing (POSIX:
// mode 0666 less the umask, as Java creates it), emptied unless keep, every
// write at its end. Only a regular file, never through a final link
// (Failure::NotRegularFile otherwise), never inherited; on Windows shared
// for reading, writing and deleting, so that it may be renamed while it is
// open. *size receives its size. False, last error set, on failure.
bool openLogFile(const char* path, bool keep, OutputFile* file, uint64_t* size);
// The name under which Java opens an output file (StdOutFile, StdErrFile)
// whose path is given. In a folder that others may write to and that is
// sticky (POSIX, /tmp), a link planted at the name could send the output
// into any file the launcher may write: there the file is opened here
// first, created when missing but not truncated, without following a final
// link and only when it is a regular file (else Failure::NotRegularFile),
// and Java is given "/proc/self/fd/N" of that descriptor, which names the
// file opened and nothing else. *held receives the descriptor (-1 when
// none); releaseJavaOutputName closes it once Java has opened the file.
// Elsewhere, and on Windows (where links need a privilege), the path
// itself. False, last error set, when the file cannot be opened or the
// name does not fit in cap.
bool javaOutputName(const char* path, char* name, size_t cap, intptr_t* held);
void releaseJavaOutputName(intptr_t held);
// Writes all of data, or fails.
bool writeOutputFile(OutputFile file, const void* data, size_t size);
// Sets the last-write time (FILETIME); creation and access times stay.
bool setOutputFileTime(OutputFile file, uint64_t fileTime);
// Writes size bytes at offset of the payload into the file, in pieces,
// without holding them in the process's memory (POSIX: sendfile from the
// executable; Windows: from the resource, whose pages leave the working set
// once written). False, last error set, when not all could be written.
bool copyPayloadToFile(OutputFile file, uint64_t offset, uint64_t size);
// Closes the file; false when what was written could not be kept.
bool closeOutputFile(OutputFile file);
// Deletes a file, a read-only one too (Windows clears the attribute first,
// as unlink ignores the mode).
bool deleteFile(const char* path);
bool removeDirectory(const char* path);

// The extraction folder. A launcher holds its folder from unpacking to its
// end; a cleanup child claims it before deleting anything. Windows needs
// neither: files in use cannot be replaced or deleted there, so a launcher
// always holds its folder alone. POSIX, where they can, uses flocks on the
// folder: a launcher holds it exclusively (alone) when no other live
// launcher uses it, and only then writes there, else shared; a cleanup
// child claims it exclusively, so that it deletes nothing another live
// launcher uses. With mustBeOwn (a folder named after the application, not
// the executable's own folder) POSIX refuses a folder that is a link,
// belongs to another user (root excepted) or may be written by others: such
// a folder could hold planted archives or point the writes elsewhere.
enum class FolderResult {
    Ready,      // held, or claimed
    Untrusted,  // refused, last error set by setFailureReason
    Busy,       // another live launcher (or a cleanup child) holds the folder exclusively
    Failed,     // cannot be created or opened; last error set (a claim of a missing folder fails)
};
struct FolderHold;
// Creates the folder's last level when create is set (0700 on POSIX; an
// existing one is fine), then holds it, alone when no other live process
// holds it (*alone says which), until releaseExtractionFolder or the end of
// the process. Waits at most a few seconds for an exclusive holder (a
// cleanup child deleting, a launcher writing), then gives Busy.
FolderResult holdExtractionFolder(const char* path, bool create, bool mustBeOwn, FolderHold** hold, bool* alone);
// From alone to shared: other launchers may use the folder from now on.
void shareExtractionFolder(FolderHold* hold);
// Gives the folder up (nullptr: nothing to do).
void releaseExtractionFolder(FolderHold* hold);
// Claims the folder for deleting; the claim lasts until the process ends.
// Busy when another live launcher holds it.
FolderResult claimExtractionFolder(const char* path, bool mustBeOwn);

struct DirectoryEntry {
    char name[260];
    bool isDirectory;
};

enum class EnumResult { Entry, End, Error };

// Enumeration of a directory's entries, "." and ".." included on both sides.
// open() returns Entry with the first entry, End when the directory is
// empty or missing (last error ERROR_FILE_NOT_FOUND / ERROR_NO_MORE_FILES),
// or Error. On POSIX the entries come in the order NTFS returns them (names
// upper-cased, compared by UTF-16 unit), so that class paths are the same on
// every machine and in both lanes.
struct DirectoryEnum;
EnumResult openDirectoryEnum(const char* directory, DirectoryEnum** handle, DirectoryEntry* first);
EnumResult nextDirectoryEntry(DirectoryEnum* handle, DirectoryEntry* entry);
void closeDirectoryEnum(DirectoryEnum* handle);

// A walk down a directory tree (class-path expansion, the runtime tree
// search) enters each directory once and so ends, whatever links the tree
// holds. enterDirectory() is asked before each directory is entered, the
// walk's start included (always entered); false means skip it. Windows: a
// reparse point (junction, directory symbolic link) below the start is not
// descended into. POSIX: links are followed, but a directory already entered
// in this walk (same device and inode, however reached) is not entered again.
struct VisitedDirectories;
VisitedDirectories* newVisitedDirectories();
bool enterDirectory(VisitedDirectories* visited, const char* path, bool start);
void freeVisitedDirectories(VisitedDirectories* visited);

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

// ---- Threads, a lock, events, sleep ----------------------------------------

// A thread running procedure(argument). nullptr when it cannot be started
// (last error set). The Thread record belongs to the caller until
// releaseThread.
struct Thread;
using ThreadProcedure = uint32_t (*)(void* argument);
Thread* startThread(ThreadProcedure procedure, void* argument);
// Waits up to timeoutMs for the thread to end; true when it has ended.
bool waitForThread(Thread* thread, uint32_t timeoutMs);
// Gives up the record (the thread itself runs on if it has not ended).
void releaseThread(Thread* thread);

// A lock for short sections that never wait on anything else (a slim
// reader/writer lock held exclusively on Windows, a mutex on POSIX). It
// lives in static storage and is never destroyed, so that threads which the
// VM still runs while the process ends may take it. initLock before first use.
struct Lock {
    alignas(8) unsigned char storage[64];
};
void initLock(Lock* lock);
void acquireLock(Lock* lock);
void releaseLock(Lock* lock);

// Holds a lock for the length of a scope.
class LockGuard {
public:
    explicit LockGuard(Lock* lock) : lock_(lock) { acquireLock(lock_); }
    ~LockGuard() { releaseLock(lock_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock* lock_;
};

// An event: auto-reset (a wait consumes the signal and releases one waiter)
// or manual-reset (stays signalled). Events are never destroyed: a late
// signal, from a thread whose wait bound ran out after the waiter had gone,
// must never reach a closed or reused handle. nullptr when it cannot be made
// (last error set).
struct Event;
Event* createEvent(bool manualReset);
void signalEvent(Event* event);
// True when the event was signalled within timeoutMs (kWaitForever: no bound,
// for waits whose end is someone else's decision, such as a service's run).
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
bool waitForEvent(Event* event, uint32_t timeoutMs);

void sleepMilliseconds(uint32_t milliseconds);
// Milliseconds on a clock that only moves forward (GetTickCount64;
// CLOCK_MONOTONIC), for bounds that a change of the wall clock must not move.
uint64_t monotonicMilliseconds();

// ---- The capture pipe ------------------------------------------------------

// The pipe through which a service's System.out / System.err (and a stream
// whose file is rotated) reach the launcher. Its writer is Java's
// FileOutputStream over the name; the launcher reads the other end on a
// thread of its own.
//   Windows: "\\.\pipe\<process id>" followed by suffix, created as the
//   first and only instance of that name (a process that made the name first makes this
//   fail, so nobody else can receive the output; the instance count is
//   checked too, where the first-instance flag is not honoured), a byte
//   stream read with overlapped I/O so that a read can be woken.
//   POSIX: a FIFO in a new 0700 folder of temporaryDirectory(), its read end
//   opened non-blocking before any writer (opening a FIFO for writing blocks
//   until there is a reader).
// name receives the text a writer opens (capacity cap, refused when it does
// not fit). nullptr on failure, with last error set and nothing left behind.
struct CapturePipe;
CapturePipe* createCapturePipe(char* name, size_t cap, const char* suffix = "");
// Called once the writer has opened the name: POSIX removes the FIFO and its
// folder at once (both ends stay connected), so that nothing is left behind
// however the process ends; nothing to do on Windows.
void releaseCapturePipeName(CapturePipe* pipe);
// Reads up to size bytes, waiting until data arrives, the last writer has
// closed its end, or wakeCapturePipe was called. Returns the bytes read, 0 at
// the end (no writer left, or woken and what the pipe already held, up to
// 64 KB, has been read), -1 on failure (last error set).
long readCapturePipe(CapturePipe* pipe, void* buffer, size_t size);
// Ends the reader's wait from another thread (see readCapturePipe).
void wakeCapturePipe(CapturePipe* pipe);
// Closes the pipe and frees the record; only once no thread reads it.
void closeCapturePipe(CapturePipe* pipe);

// True when two paths name the same file: the same text, or on Windows the
// same full path without regard to case, or on POSIX two existing names of
// one device and inode. Never opens either path (one may name a pipe).
bool sameFile(const char* a, const char* b);
// True where text lines end with a carriage return before the line feed
// (Windows), so that text the launcher keeps for reports follows suit.
bool linesEndWithCarriageReturn();

// ---- Services ----------------------------------------------------------------
//
// Windows: the Service Control Manager, with the event-log source and the
// description in the registry. POSIX: systemd. A service is the unit file
// NAME.service in $VANTREL_SYSTEMD_DIR, else /etc/systemd/system; running,
// it reports its state with sd_notify datagrams to $NOTIFY_SOCKET, and
// SIGTERM / SIGINT are its stop control.

// What installServiceEntry enters. The caller has checked the texts: none
// holds a double quote or ends with a backslash, and the command line fits.
struct ServiceDefinition {
    const char* name;            // service and event-source name
    const char* displayName;     // Windows' display name; "" for the name
    const char* description;     // "" for none
    const char* executablePath;  // the event source's message file
    const char* commandLine;     // "\"path\" switch [...]", as the manager runs it
    const char* dependencies;    // names, each ended by a zero byte; an empty name ends the list
    const char* account;         // "" for LocalSystem (POSIX: no User=, root)
    const char* workingDirectory;  // absolute; POSIX: WorkingDirectory= (Windows has no such entry)
    uint32_t stopBudgetMs;       // Windows' pre-shutdown timeout; POSIX: TimeoutStopSec= (whole seconds, up)
    uint32_t restartDelayMs;     // with restartOnFailure
    bool restartOnFailure;       // the manager restarts the service after a failure
    bool manualStart;            // demand start; otherwise automatic
    bool delayedStart;           // Windows: delayed automatic start (automatic start only)
    bool interactive;            // Windows: SERVICE_INTERACTIVE_PROCESS
};
// Whether name can name a service. Windows: not empty, no '\\' or '/', and
// short enough for the registry key paths made from it (272 bytes). POSIX:
// a unit name: letters, digits, ':', '-', '_' and '.', with ".service" at
// most 255 characters. False with Failure::NotServiceName or NameTooLong.
bool checkServiceName(const char* name);
// 1 when a service of that name exists, 0 when not, -1 when there is no
// answer (last error set).
int queryServiceEntry(const char* name);
// Enters the service; false, last error set, when a step fails. The account
// must need no password (none is ever stored): Windows takes LocalSystem,
// LocalService and NetworkService (also as NT AUTHORITY\NAME) and the
// service's virtual account NT SERVICE\<name>, POSIX a user or user:group
// of letters, digits, '_', '-' and '.'; another is refused before anything is
// entered (Failure::NotServiceAccount). Windows: CreateServiceA (own process,
// the account), then through ChangeServiceConfig2A the pre-shutdown timeout,
// the failure actions (restart after the delay, reset after a day, also for
// a failure exit code) and the delayed start; each setting the manager did not
// keep in the service's key (Wine's accepts failure actions without keeping
// them and refuses the others) is written there as Windows' manager keeps it,
// for the manager to read at its next start; then the event-log source key
// with "EventMessageFile" and "TypesSupported" 7, and "Description" when
// there is one; a failing step after the creation leaves the service
// entered. POSIX: the unit (Type=notify, ExecStart the command line,
// WorkingDirectory=, User= and Group=, TimeoutStopSec=, Restart=on-failure
// and RestartSec=, After= and Requires= each dependency's unit (".service"
// added to a name without a unit type), WantedBy=multi-user.target) is
// checked whole before anything is written,
// then written under a temporary name and linked into place, so that no
// half-written unit and no replaced one can be seen. A dependency that is
// no unit name refuses it (Failure::NotServiceName); a line break in a text,
// or a command-line word that systemd would read otherwise (a quote outside
// the quoted texts, a lone ';'), refuses it (Failure::NotUnitText). In the
// system directory `systemctl daemon-reload` (where systemd runs) and, for
// automatic start, `systemctl enable` follow, each bounded; what systemctl
// says goes to the launcher's standard error, and when it fails the unit is
// taken out again (Failure::ManagerRefused).
bool installServiceEntry(const ServiceDefinition& service);
// Stops the service when it runs, and waits up to boundMs until it has
// stopped. True when it is stopped (or was); false, last error set, when it
// does not exist, refuses the stop, or has not stopped within the bound
// (Windows: ERROR_SERVICE_REQUEST_TIMEOUT). POSIX: in the system directory,
// where systemd runs, `systemctl stop` (Failure::ManagerRefused when it
// fails); elsewhere no manager runs the unit and there is nothing to stop.
bool stopServiceEntry(const char* name, uint32_t boundMs);
// Removes the service (Windows: DeleteService; the event-log source stays).
// POSIX: `systemctl disable` in the system directory (its failure keeps the
// unit: Failure::ManagerRefused), the unit file goes, then `systemctl
// daemon-reload` where systemd runs. False, last error set (NoSuchService
// when there is none).
bool removeServiceEntry(const char* name);

// Control codes and states, numbered as Windows numbers them.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlPreshutdown = 15;  // Windows: a shutdown that waits for the stop budget
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

using ServiceEntryProcedure = void (*)();
using ServiceControlProcedure = void (*)(uint32_t control);
// Runs the service and returns once entry has returned. Windows:
// StartServiceCtrlDispatcherA with the one entry (name, entry); entry runs on
// the dispatcher's service thread, controls reach the handler on this one.
// False, last error set, when the dispatcher cannot be reached (1063: the
// process was not started by the Service Control Manager). POSIX: entry runs
// on a thread of its own; SIGTERM and SIGINT become kServiceControlStop calls
// of the handler on this thread, and SIGHUP is ignored from the start (a
// service has no terminal to lose); the status reports go to the socket that
// $NOTIFY_SOCKET names, which is taken out of the environment (the
// application's own children are no part of the service's conversation).
bool startServiceDispatcher(const char* name, ServiceEntryProcedure entry);
// RegisterServiceCtrlHandlerExA. POSIX: keeps the handler; a stop that came
// before it reaches it now. False when it cannot be registered.
bool registerServiceControlHandler(const char* name, ServiceControlProcedure handler);

struct ServiceStatus {
    uint32_t state;            // one of the states above
    uint32_t waitHintMs;
    uint32_t checkPoint;       // advanced while a pending state makes progress
    uint32_t win32ExitCode;    // 0, or ERROR_SERVICE_SPECIFIC_ERROR
    uint32_t serviceExitCode;  // its service-specific code
};
// Reports the status. Windows: SetServiceStatus with type own process, stop,
// shutdown and pre-shutdown accepted (also while start is pending, so that a
// stop during a slow start is not refused). POSIX: READY=1 for running, STOPPING=1 and
// EXTEND_TIMEOUT_USEC (the wait hint) for stop pending, and STATUS= with
// text (line breaks made blanks) when text is given; a state already sent is
// not sent again. Failures are ignored.
void setServiceStatus(const ServiceStatus& status, const char* text);
// RegisterEventSourceA on the local machine; POSIX: a token (writeEventLog
// writes to standard error). nullptr on failure.
void* registerEventSource(const char* name);
// The VM option that service mode adds, or nullptr. POSIX: "-Xrs", so that
// HotSpot leaves SIGTERM and SIGINT to the launcher, which makes them the
// service's stop control; Windows: none, the log-off filter keeps the VM's
// console handler from ending the service.
const char* serviceVmOption();

// ---- Console and event log -----------------------------------------------

void hideConsoleWindow();
void attachServiceConsole();
// A report of a program that has no console to write it to: the windowed
// Windows launcher (an image of the GUI subsystem) shows the text in a
// message box with the title (nullptr: the system's) and an error or
// information icon, and returns true once the user has closed it. False,
// nothing shown, for a console program, on POSIX, and when no box can be
// shown (no desktop): the caller writes the report to its streams.
bool showReportWindow(bool error, const char* title, const char* text);
// Registers the handler that ignores the interactive user's log-off.
void installLogoffFilter();
// One event-log entry (type 4 information / 1 error) with the given id.
void writeEventLog(void* eventSource, uint16_t type, uint32_t eventId, const char* text);
// Test hook: entries go to the sink instead (nullptr restores the event log),
// so that a test program can read what a service would have logged.
using EventLogSink = void (*)(uint16_t type, uint32_t eventId, const char* text);
void overrideEventLog(EventLogSink sink);
// True when a sink took the entry (each platform's writeEventLog asks first).
bool eventLogOverridden(uint16_t type, uint32_t eventId, const char* text);

}  // namespace platform

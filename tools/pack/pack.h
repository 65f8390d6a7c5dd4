// vantrel-pack: writes an application's settings, messages and archives into
// a copy of a launcher stub (PE resources for Windows launchers, an appended
// bundle for ELF launchers). Standard C++ only, so the same sources build the
// Linux packer and the Windows packer and both give byte-identical output.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

struct SettingInfo;

namespace pack {

using Bytes = std::vector<uint8_t>;

// A failure that ends the packer: one line on stderr and this exit status
// (2 for a command line that cannot be understood, 1 for everything else).
struct PackError : std::runtime_error {
    int status;
    PackError(int exitStatus, const std::string& message) : std::runtime_error(message), status(exitStatus) {}
};

constexpr uint32_t kTypeString = 6;
constexpr uint32_t kTypeRcData = 10;
constexpr uint32_t kLanguageNeutral = 0;
constexpr uint32_t kDefaultMessageLanguage = 1028;
constexpr size_t kMaxMainClassBytes = 255;
constexpr int kMessageCount = 21;

// A resource type or name: a number, or a UTF-16 name.
struct ResourceId {
    bool named = false;
    uint32_t number = 0;
    std::u16string name;
};

bool operator==(const ResourceId& a, const ResourceId& b);
// Named entries first (ordered by code unit), then numbers ascending: the
// order an IMAGE_RESOURCE_DIRECTORY keeps its entries in.
bool operator<(const ResourceId& a, const ResourceId& b);

inline ResourceId numericId(uint32_t n) {
    ResourceId id;
    id.number = n;
    return id;
}

struct Resource {
    ResourceId type;
    ResourceId name;
    uint32_t language = 0;
    uint32_t codepage = 0;
    Bytes data;
};

// ---- Texts and string tables (text.cpp) ------------------------------------

// Strict UTF-8 to UTF-16; throws PackError naming `what` on invalid input.
std::u16string utf8ToUtf16(const std::string& text, const std::string& what);
// Upper-case hex pairs of the dotted name XOR-ed with the 17-byte key.
// Throws for a name over 255 bytes.
std::string scrambleMainClass(const std::string& dottedName);
// The dotted name back from its scrambled text; "" for a text that is not
// whole hex pairs.
std::string unscrambleMainClass(const std::string& scrambled);
// The text as a person is shown it: control characters (a zero byte
// included) as \xNN, the way the launcher's trace writes them.
std::string shownText(const std::string& text);
// One code point appended as UTF-8.
void appendUtf8(std::string& out, uint32_t codePoint);
// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string& text);
// The 16 texts of an RT_STRING block; entries that run past its end are cut there.
std::vector<std::u16string> readStringBlock(const Bytes& block);
// One RT_STRING block: 16 entries of u16 length + UTF-16 units. Entries
// missing from `texts` (keyed by id % 16) are empty. Throws for an entry over
// 65535 units.
Bytes buildStringBlock(const std::map<unsigned, std::u16string>& texts);

// The logical content the packer writes, in any stub format.
struct PackInput {
    std::map<unsigned, std::string> settings;  // id -> text as given (UTF-8); MainClass unscrambled
    std::map<int, std::string> messages;       // 1..21 -> text as given (UTF-8)
    uint32_t messageLanguage = kDefaultMessageLanguage;
    Bytes payload;                             // empty: no payload resource
};

// The RT_STRING blocks (settings under the neutral language, messages under
// the message language) and RCDATA 1 when there is a payload, sorted by
// type, name and language.
// The payload is moved out of `input`, not copied.
std::vector<Resource> buildResources(PackInput input);
// Checks a setting's text against its kind, as --set and the configuration
// file give it: flags 0/1/true/false (stored as 0/1), decimal 32-bit numbers
// (ExtractLocation and the stream modes 0 to 2), a non-empty main class of
// valid UTF-8. An empty flag or number stays allowed: the launcher reads it
// as documented. Returns "" when the value is sound (normalised in place),
// else what is wrong with it.
std::string settingValueProblem(const SettingInfo& setting, std::string& value);
// True for a resource the packer writes, whose stub copy it replaces.
bool isPackerResource(const Resource& resource);

// ---- Payload (payload.cpp) ---------------------------------------------------

// Throws unless the name is a plain, non-empty file name (no separators,
// no drive, not "." or "..", no characters Windows forbids in names).
void checkArchiveName(const std::string& name);
// The payload: u32 count, then per archive its plain name, 0, u64
// FILETIME, u32 size, bytes; the whole stays under kMaxPayloadBytes. Empty
// for no archives.
constexpr uint64_t kMaxPayloadBytes = 0x7FFFFFFF;
struct Archive {
    std::string name;       // plain file name stored in the payload
    uint64_t fileTime = 0;  // FILETIME: 100 ns units since 1601
    Bytes data;
};
Bytes buildPayload(const std::vector<Archive>& archives);
// The payload for these archive files, in order, each read in pieces
// straight into it and refused before it is read when it cannot fit. Names
// must be plain and distinct without case.
Bytes buildPayloadFromFiles(const std::vector<std::string>& paths);

// True when two archive names would unpack to one file on Windows (names
// compared without regard to case, beyond ASCII too). Both names checked.
bool sameArchiveName(const std::string& a, const std::string& b);

// ---- Re-packing (repack.cpp) -------------------------------------------------

// Texts of the string blocks by language, then by id.
using StringTable = std::map<uint32_t, std::map<unsigned, std::string>>;
StringTable readStringTables(const std::vector<Resource>& resources);
// The payload resource (RCDATA 1, the neutral language preferred), or null.
const Resource* findPayloadResource(const std::vector<Resource>& resources);

// An archive a packed stub carries: its bytes lie in the stub's payload.
struct StubArchive {
    std::string name;
    uint64_t fileTime = 0;
    size_t offset = 0;  // in the payload resource
    size_t size = 0;
};
// What a packed launcher used as the stub carries. Empty for a bare launcher.
struct StubContent {
    std::map<unsigned, std::string> settings;  // id -> text; MainClass unscrambled
    std::map<int, std::string> messages;       // 1..21 -> text
    uint32_t messageLanguage = kDefaultMessageLanguage;
    std::vector<StubArchive> archives;
    const Resource* payload = nullptr;  // the resource the archives lie in
};
// Reads the settings (neutral language), messages and archives of a stub's
// resources; throws when its payload is damaged.
StubContent readStubContent(const std::vector<Resource>& resources);
// The payload of the stub's archives followed by the archive files; a file
// whose name an archive of the stub has takes that archive's place (its
// name is added to `replaced`). Every file is checked and read as
// buildPayloadFromFiles does.
Bytes joinPayloads(const StubContent& stub, const std::vector<std::string>& paths, std::vector<std::string>* replaced);

// ---- Configuration file (config.cpp) -----------------------------------------

struct ConfigFile {
    std::map<std::string, std::string> values;  // setting name -> text
    std::map<int, std::string> messages;
    bool hasMessageLanguage = false;
    uint32_t messageLanguage = 0;
    std::vector<std::string> archives;  // paths, already joined to the config's directory
    std::string icon, manifest;         // Icon and Manifest, joined likewise; "" when not given
};

// Parses the TOML subset; `directory` is prefixed to relative archive paths
// (with a '/' when not empty). Errors name `fileName` and the line.
ConfigFile parseConfig(const std::string& text, const std::string& fileName, const std::string& directory);

// Why a key is not a setting the packer writes (unknown, or a key of the
// launcher's settings file).
std::string unknownKeyText(const std::string& key);

// Language ids and message numbers as the command line and config give them.
bool parseLanguage(const std::string& text, uint32_t* language);
bool parseMessageNumber(const std::string& text, int* number);

// ---- What Windows shows: icon, version information, manifest (desktop.cpp) ----

constexpr uint32_t kTypeIcon = 3;
constexpr uint32_t kTypeGroupIcon = 14;
constexpr uint32_t kTypeVersion = 16;
constexpr uint32_t kTypeManifest = 24;
constexpr uint32_t kLanguageUsEnglish = 1033;
// Far beyond any real icon (256 images of 256 x 256 pixels uncompressed take
// 64 MB, but real files with PNG images stay under 1 MB) or manifest.
constexpr uint64_t kMaxIconBytes = 16 << 20;
constexpr uint64_t kMaxManifestBytes = 1 << 20;
constexpr size_t kMaxIconImages = 256;

// The icon group (RT_GROUP_ICON 1) and its images (RT_ICON 1..n) of an .ico
// file: every image it holds, bitmaps and PNG images alike, each checked to be
// whole; the language is left for the caller. Throws PackError naming
// `path` and what is wrong.
std::vector<Resource> iconResources(const Bytes& ico, const std::string& path);
// "1.4.2" or "1.4.2.7" (one to four numbers 0..65535; missing ones are 0).
bool parseVersion(const std::string& text, uint16_t parts[4]);
// Why a setting's text is no value of it ("" when it is): the version
// numbers and the manifest's choices. Normalises a choice's case in place.
std::string desktopSettingProblem(const std::string& name, std::string& value);
// RT_VERSION 1: the fixed part and the strings, from the settings (id ->
// text as given); what is not given describes the executable `fileName`.
Resource versionResource(const std::map<unsigned, std::string>& settings, const std::string& fileName,
                         uint32_t language);
// The launcher's manifest asking for `level` with the elements of `dpi`
// (both already checked; "" takes the launcher's own).
std::string generatedManifest(const std::string& level, const std::string& dpi);
// Why a manifest file cannot serve a launcher ("" when it can): it must be
// UTF-8 text of an <assembly> that keeps the UTF-8 active code page.
std::string manifestProblem(const std::string& text);

// The files and settings of what Windows shows, checked before the stub is read.
struct DesktopInput {
    std::vector<Resource> icon;  // empty: the stub's icon stays
    std::string manifest;        // empty: the stub's stays
    std::string fileName;        // the packed executable's file name
};
// Reads and checks the icon and manifest files ("" for none) and the
// settings that choose the manifest.
DesktopInput readDesktopInput(const std::string& iconPath, const std::string& manifestPath,
                              const std::map<unsigned, std::string>& settings, const std::string& outPath);
// Replaces the stub's icon, version information and manifest in `resources`
// as `input` and the settings say; each under the language the stub used.
void applyDesktopResources(std::vector<Resource>& resources, DesktopInput input,
                           const std::map<unsigned, std::string>& settings);

// ---- Stub formats (pe.cpp, elf.cpp) -----------------------------------------

bool isPeImage(const Bytes& image);
bool isElfImage(const Bytes& image);
// Parses every resource of a PE image (an image without resources has none).
std::vector<Resource> readPeResources(const Bytes& image);
// The image with its resources replaced by `resources` (the stub's own, minus
// the packer's, plus the new ones), the resource section rebuilt.
Bytes writePeResources(const Bytes& image, const std::vector<Resource>& resources);
uint32_t peChecksum(const Bytes& image, size_t checksumOffset);
// True when the image carries an Authenticode signature (a certificate table),
// which writing resources drops: it cannot cover what the packer changes.
bool peIsSigned(const Bytes& image);

// The ELF part of an image, without a bundle a previous pack appended.
Bytes stripBundle(const Bytes& image);
// Throws unless the image is a whole, valid ELF executable: its header, its
// program headers and the file contents of its segments and sections all
// inside the file.
void checkElfImage(const Bytes& image);
// Appends the bundle of bundle_format.h for these resources, trailer
// included, to `image` (whose current size is the bundle's offset).
void appendBundle(Bytes& image, const std::vector<Resource>& resources);
// The same bundle on its own, for an image of `imageSize` bytes.
Bytes buildBundle(const std::vector<Resource>& resources, uint64_t imageSize);
// The resources of an ELF image's bundle (none without one); throws for a
// damaged bundle.
std::vector<Resource> readBundle(const Bytes& image);

// ---- Listing (list.cpp) -------------------------------------------------------

// Prints the settings, messages and payload entries of a packed launcher.
// Returns the exit status: 0, or 1 when the payload is damaged.
int listLauncher(const std::string& path);
// "YYYY-MM-DD hh:mm:ss.fffffff UTC" of a FILETIME.
std::string formatFileTime(uint64_t fileTime);

// ---- Host (host.cpp) -------------------------------------------------------------

// Bounds of what the packer reads: a PE image's offsets are 32 bits wide; a
// configuration of settings and messages needs far less than 16 MB.
constexpr uint64_t kMaxStubBytes = 0xFFFFFFFF;
constexpr uint64_t kMaxConfigBytes = 16 << 20;

// Reads a regular file in pieces, appending it to `out`; throws (with the
// `tooLarge` text once more than `limit` bytes were found) before reading
// what cannot be taken. `what` names the input in messages: "archive" ...
constexpr size_t kReadPiece = 1 << 20;
void appendFile(const std::string& path, const std::string& what, uint64_t limit, const std::string& tooLarge,
                Bytes& out);
Bytes readFile(const std::string& path, const std::string& what, uint64_t limit);
// Throws unless the output path is missing or a regular file.
void checkOutputPath(const std::string& path);
// Last-write time as a FILETIME.
uint64_t fileWriteTime(const std::string& path);
// Directory of the running packer, with a trailing separator.
std::string packerDirectory();
// Writes `data` to a temporary file beside `path`, with the mode of
// `modeFrom` where the platform has modes, and renames it over `path`.
// Leaves nothing behind on failure.
void writeFileAtomically(const std::string& path, const Bytes& data, const std::string& modeFrom);
// The last component of a path ('/' and, on Windows, '\\' separate).
std::string baseName(const std::string& path);
std::string directoryOf(const std::string& path);

// Little-endian helpers.
inline void putU16(Bytes& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
inline void putU32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void putU64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace pack

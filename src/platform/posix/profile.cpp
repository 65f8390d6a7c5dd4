// POSIX side: our own profile (INI) reader, built to give the same results as
// GetPrivateProfileStringA does on Windows for the same file (checked against
// Wine by the differential end-to-end test). The rules, all observed there:
//
// - Only a regular file is read (opened without blocking, so that a FIFO
//   cannot hang the reader), whole and once for all the keys asked for;
//   the launcher bounds its size. A UTF-8 byte-order mark selects UTF-8, FF FE and
//   FE FF select UTF-16 little and big endian; anything else is 8-bit text
//   in the active code page, which is UTF-8 for us. Text is decoded the way
//   the Windows side decodes it (malformed UTF-8 and lone surrogates become
//   U+FFFD), so values come back as the same bytes.
// - Lines end at CR or LF. Blanks (space, tab, VT, FF, CR, LF and Ctrl-Z, and
//   nothing else) around a line, a section name, a key name and a value are
//   dropped. ';' and '#' start nothing special: such lines are keys that no
//   one asks for.
// - "[name]" opens a section (up to the last ']' of the line). Keys before
//   the first section belong to a section with the empty name. Only the
//   first section of a name is searched, and its first key of a name
//   decides, even when that line has no '=' (then the default is returned).
// - Names are compared without case (ASCII letters only) and end at a NUL
//   character, as every text of the Windows side does; so do values.
// - A value (or the default) enclosed in one pair of the same quote
//   character, single or double, loses that pair. The default loses its
//   trailing spaces, but never its first character.
// - The result is cut to cap - 1 bytes, at a character boundary.
// - A missing file in an existing folder reads as an empty file; any other
//   failure to read it returns the default as given, without quote removal.
//
// Two things the Windows side does under Wine are deliberately not copied,
// because they are plain faults there: a quoted value whose text without
// the opening quote is exactly cap characters long loses one character too
// many, and a value whose UTF-8 form does not fit leaves bytes of the
// caller's buffer unwritten inside the returned length. Here the quotes are
// removed first and the text is then cut cleanly. Likewise the odd last byte
// of a UTF-16 file is ignored (Wine reads past the end of the file there).
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/profile.h"
#include "platform/posix/utf8.h"

namespace platform {

namespace {

// 8-bit text as the Windows side sees it after its round trip through
// UTF-16: well-formed UTF-8, NUL bytes kept.
std::string normalizeUtf8(const unsigned char* data, size_t size) {
    std::string out;
    out.reserve(size);
    const unsigned char* end = data + size;
    for (const unsigned char* p = data; p < end;) utf8::append(out, utf8::decode(&p, end));
    return out;
}

std::string normalizeUtf8(const char* text) {
    return normalizeUtf8(reinterpret_cast<const unsigned char*>(text), strlen(text));
}

std::string decodeUtf16(const unsigned char* data, size_t size, bool bigEndian) {
    std::string out;
    size_t units = size / 2;
    auto unit = [&](size_t i) -> uint32_t {
        return bigEndian ? (uint32_t(data[2 * i]) << 8) | data[2 * i + 1]
                         : (uint32_t(data[2 * i + 1]) << 8) | data[2 * i];
    };
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = utf8::kReplacement;
        }
        utf8::append(out, c);
    }
    return out;
}

std::string decodeFile(const std::string& raw) {
    const unsigned char* data = reinterpret_cast<const unsigned char*>(raw.data());
    size_t size = raw.size();
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) return normalizeUtf8(data + 3, size - 3);
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) return decodeUtf16(data + 2, size - 2, false);
    if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) return decodeUtf16(data + 2, size - 2, true);
    return normalizeUtf8(data, size);
}

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x1A; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The name between first and last without its surrounding blanks, up to a
// NUL, as a C string would end it.
std::string trimmedName(const char* first, const char* last) {
    while (first < last && isBlank(*first)) ++first;
    while (last > first && isBlank(last[-1])) --last;
    std::string name(first, last);
    return name.substr(0, strlen(name.c_str()));
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

enum class Lookup { Found, NoValue, Absent };

// One line of the file without the blanks around it; blank lines are
// passed over. A section header ("[name]", up to the line's last ']') says
// where its name ends.
struct Line {
    const char* start;
    const char* end;
    const char* nameEnd;  // header only: the last ']'
    bool header;
};

bool nextLine(const char** cursor, const char* end, Line* line) {
    const char* p = *cursor;
    while (p < end) {
        const char* lineStart = p;
        while (p < end && *p != '\n' && *p != '\r') ++p;
        const char* lineEnd = p;
        while (p < end && (*p == '\n' || *p == '\r')) ++p;
        while (lineStart < lineEnd && isBlank(*lineStart)) ++lineStart;
        while (lineEnd > lineStart && isBlank(lineEnd[-1])) --lineEnd;
        if (lineStart == lineEnd) continue;
        const char* close = lineEnd - 1;
        if (*lineStart == '[')
            while (close > lineStart && *close != ']') --close;
        *line = Line{lineStart, lineEnd, close, *lineStart == '[' && close > lineStart};
        *cursor = p;
        return true;
    }
    *cursor = p;
    return false;
}

// The end of a key line's name: its first '=', or the line's end.
const char* keyNameEnd(const Line& line) {
    const char* equals = line.start;
    while (equals < line.end && *equals != '=') ++equals;
    return equals;
}

// Finds the key in the first section of the name. The value is returned
// from the '=' on, without leading blanks, up to a NUL.
Lookup findValue(const std::string& text, const std::string& section, const std::string& key, std::string* value) {
    const char* p = text.data();
    const char* end = p + text.size();
    bool inSection = section.empty();  // keys before any section header
    Line line;
    while (nextLine(&p, end, &line)) {
        if (line.header) {
            // Only the first section of a name is searched.
            if (inSection) return Lookup::Absent;
            inSection = sameName(trimmedName(line.start + 1, line.nameEnd), section);
            continue;
        }
        if (!inSection) continue;
        const char* equals = keyNameEnd(line);
        if (!sameName(trimmedName(line.start, equals), key)) continue;
        if (equals == line.end) return Lookup::NoValue;
        const char* valueStart = equals + 1;
        while (valueStart < line.end && isBlank(*valueStart)) ++valueStart;
        value->assign(valueStart, line.end);
        value->resize(strlen(value->c_str()));
        return Lookup::Found;
    }
    return Lookup::Absent;
}

// The section names (section null) or the key names of the first section
// of that name, in file order, as findValue reads the file.
std::vector<std::string> listNames(const std::string& text, const std::string* section) {
    std::vector<std::string> names;
    const char* p = text.data();
    const char* end = p + text.size();
    bool inSection = section != nullptr && section->empty();
    bool seen = inSection;
    Line line;
    while (nextLine(&p, end, &line)) {
        if (line.header) {
            std::string name = trimmedName(line.start + 1, line.nameEnd);
            if (section == nullptr) {
                names.push_back(name);
                continue;
            }
            if (inSection) break;  // only the first section of a name is read
            inSection = !seen && sameName(name, *section);
            seen = seen || inSection;
            continue;
        }
        if (inSection) names.push_back(trimmedName(line.start, keyNameEnd(line)));
    }
    return names;
}

void stripQuotes(std::string* value) {
    size_t n = value->size();
    if (n >= 2 && ((*value)[0] == '"' || (*value)[0] == '\'') && (*value)[n - 1] == (*value)[0])
        *value = value->substr(1, n - 2);
}

// Copies text cut to cap - 1 bytes without splitting a UTF-8 character.
size_t copyResult(const std::string& text, char* buf, size_t cap) {
    size_t n = text.size();
    if (n > cap - 1) {
        n = cap - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return n;
}

// Reads a regular file whole, up to maxBytes. Opened without blocking, so
// that a FIFO or a device under the file's name is refused instead of read.
ProfileLoad readRegularFile(const char* path, uint64_t maxBytes, std::string* raw) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ProfileLoad::Missing : ProfileLoad::Failed;
    struct stat info;
    ProfileLoad result = ProfileLoad::Loaded;
    if (fstat(fd, &info) != 0) result = ProfileLoad::Failed;
    else if (!S_ISREG(info.st_mode)) result = ProfileLoad::NotAFile;
    else if (static_cast<uint64_t>(info.st_size) > maxBytes) result = ProfileLoad::TooLarge;
    char chunk[16384];
    while (result == ProfileLoad::Loaded) {
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) result = ProfileLoad::Failed;
        if (got <= 0) break;
        // A file that grows while it is read is held to the same bound.
        if (raw->size() + static_cast<size_t>(got) > maxBytes) result = ProfileLoad::TooLarge;
        else raw->append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return result;
}

std::string fallbackText(const char* defaultValue) {
    std::string fallback = normalizeUtf8(defaultValue != nullptr ? defaultValue : "");
    size_t keep = fallback.size();
    while (keep > 1 && fallback[keep - 1] == ' ') --keep;
    fallback.resize(keep);
    return fallback;
}

}  // namespace

struct ProfileFile {
    std::string text;  // decoded once
};

ProfileFile* parseProfileBytes(const unsigned char* data, size_t size) {
    return new ProfileFile{decodeFile(std::string(reinterpret_cast<const char*>(data), size))};
}

ProfileLoad loadProfileFile(const char* path, uint64_t maxBytes, ProfileFile** file) {
    *file = nullptr;
    std::string raw;
    ProfileLoad result = readRegularFile(path, maxBytes, &raw);
    if (result == ProfileLoad::Loaded) *file = new ProfileFile{decodeFile(raw)};
    return result;
}

void freeProfileFile(ProfileFile* file) { delete file; }

size_t readLoadedProfileString(const ProfileFile* file, const char* section, const char* key,
                               const char* defaultValue, char* buf, size_t cap) {
    if (buf == nullptr || cap == 0) return 0;
    buf[0] = '\0';
    // Section and key lists (null names) are not something the launcher asks for.
    if (file == nullptr || section == nullptr || key == nullptr) return 0;
    std::string sectionName = normalizeUtf8(section);
    std::string keyName = normalizeUtf8(key);
    sectionName = trimmedName(sectionName.data(), sectionName.data() + sectionName.size());
    keyName = trimmedName(keyName.data(), keyName.data() + keyName.size());

    std::string value;
    if (findValue(file->text, sectionName, keyName, &value) != Lookup::Found) value = fallbackText(defaultValue);
    stripQuotes(&value);
    return copyResult(value, buf, cap);
}

size_t listLoadedProfileNames(const ProfileFile* file, const char* section, char* buf, size_t cap) {
    if (cap < 2) return 0;
    buf[0] = buf[1] = '\0';
    if (file == nullptr) return 0;
    std::string wanted;
    if (section != nullptr) {
        wanted = normalizeUtf8(section);
        wanted = trimmedName(wanted.data(), wanted.data() + wanted.size());
    }
    size_t used = 0;
    for (const std::string& name : listNames(file->text, section != nullptr ? &wanted : nullptr)) {
        if (name.empty()) continue;               // it would end the list
        if (used + name.size() + 2 > cap) break;  // whole names only
        memcpy(buf + used, name.c_str(), name.size() + 1);
        used += name.size() + 1;
    }
    buf[used] = '\0';
    return used;
}

size_t readProfileString(const char* section, const char* key, const char* defaultValue, char* buf, size_t cap,
                         const char* path) {
    if (buf == nullptr || cap == 0) return 0;
    buf[0] = '\0';
    if (section == nullptr || key == nullptr || path == nullptr) return 0;

    ProfileFile* file = nullptr;
    ProfileLoad load = loadProfileFile(path, UINT64_MAX, &file);
    if (load == ProfileLoad::Missing) {
        // Only a missing file counts as empty; a missing folder is a failure.
        std::string folder(path);
        size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
        struct stat info;
        if (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) file = new ProfileFile{};
    }
    if (file == nullptr) return copyResult(fallbackText(defaultValue), buf, cap);
    size_t length = readLoadedProfileString(file, section, key, defaultValue, buf, cap);
    freeProfileFile(file);
    return length;
}

}  // namespace platform

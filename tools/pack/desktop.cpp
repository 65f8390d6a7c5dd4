// What Windows shows of a packed executable besides its settings: the icon
// (Explorer, the taskbar, Alt+Tab), the version information (the file's
// properties, Task Manager) and the manifest (the rights it asks for, its
// DPI awareness, and the UTF-8 active code page the launcher relies on).
// Icon and manifest files come from the user and are checked whole before
// anything is written.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/settings_table.h"
#include "manifest_template.h"
#include "pack.h"

namespace pack {

namespace {

// Icons larger than this are no icons any version of Windows draws.
constexpr uint32_t kMaxIconSide = 1024;
// An image that tells Windows "256 or more" in the one byte of a directory.
constexpr uint32_t kWideIconSide = 256;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]); }

struct ImageShape {
    uint32_t width = 0, height = 0;
    uint32_t bitCount = 0;
};

// A PNG image: its header chunk gives size and depth. "" or what is wrong.
std::string pngShape(const uint8_t* data, size_t size, ImageShape* shape) {
    if (size < 33 || be32(data + 8) != 13 || std::memcmp(data + 12, "IHDR", 4) != 0)
        return "a PNG image without its header";
    shape->width = be32(data + 16);
    shape->height = be32(data + 20);
    const uint8_t depth = data[24], colourType = data[25];
    static const uint8_t kChannels[] = {1, 0, 3, 1, 2, 0, 4};  // by colour type; 0: no such type
    const uint8_t channels = colourType < sizeof(kChannels) ? kChannels[colourType] : 0;
    if (channels == 0 || (depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16))
        return "a PNG image of an unknown colour type";
    shape->bitCount = uint32_t(channels) * depth;
    return "";
}

// A device-independent bitmap as icons hold it: a header, the colour table,
// the colour pixels and the transparency mask, each of the image's height
// (the header gives twice that, for the two). "" or what is wrong.
std::string bitmapShape(const uint8_t* data, size_t size, ImageShape* shape) {
    if (size < 40) return "a bitmap cut short";
    const uint32_t headerSize = le32(data);
    const int32_t width = int32_t(le32(data + 4)), doubleHeight = int32_t(le32(data + 8));
    const uint16_t planes = le16(data + 12), bits = le16(data + 14);
    const uint32_t compression = le32(data + 16), coloursUsed = le32(data + 32);
    if (headerSize < 40 || headerSize > size) return "neither a PNG image nor a bitmap";
    if (width <= 0 || uint32_t(width) > kMaxIconSide || doubleHeight <= 0 || doubleHeight % 2 != 0 ||
        uint32_t(doubleHeight / 2) > kMaxIconSide)
        return "a bitmap of " + std::to_string(width) + " x " + std::to_string(doubleHeight / 2) + " pixels";
    if (planes != 1) return "a bitmap of " + std::to_string(planes) + " planes";
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return "a bitmap of " + std::to_string(bits) + " bits per pixel";
    if (compression != 0 && !(compression == 3 && (bits == 16 || bits == 32))) return "a compressed bitmap";
    if (bits <= 8 && coloursUsed > (1u << bits)) return "a bitmap with more colours than its depth holds";
    if (coloursUsed > 256) return "a bitmap with a colour table of " + std::to_string(coloursUsed) + " entries";
    const uint64_t colours = bits <= 8 && coloursUsed == 0 ? (1u << bits) : coloursUsed;
    const uint64_t masks = compression == 3 && headerSize == 40 ? 12 : 0;
    const uint64_t height = uint64_t(doubleHeight) / 2;
    const uint64_t colourRow = (uint64_t(width) * bits + 31) / 32 * 4, maskRow = (uint64_t(width) + 31) / 32 * 4;
    if (headerSize + masks + 4 * colours + (colourRow + maskRow) * height > size) return "a bitmap cut short";
    shape->width = uint32_t(width);
    shape->height = uint32_t(height);
    shape->bitCount = bits;
    return "";
}

// Begins a node of the version tree (32-bit aligned: length, value length,
// type, key); closeNode fills in its length once its value and children
// follow. Lengths leave out the padding after a node.
size_t openNode(Bytes& out, const char16_t* key, uint32_t valueLength, bool text) {
    while (out.size() % 4 != 0) out.push_back(0);
    const size_t start = out.size();
    putU16(out, 0);
    putU16(out, valueLength);
    putU16(out, text ? 1 : 0);
    for (const char16_t* k = key; *k != 0; ++k) putU16(out, *k);
    putU16(out, 0);
    while (out.size() % 4 != 0) out.push_back(0);
    return start;
}

void closeNode(Bytes& out, size_t start) {
    const size_t length = out.size() - start;
    if (length > 0xFFFF)
        throw PackError(1, "the version information takes more than 65535 bytes; shorten its texts (Comments, ...)");
    out[start] = uint8_t(length);
    out[start + 1] = uint8_t(length >> 8);
}

// The setting's text as given, or its default when it is not given or empty.
std::string settingText(const std::map<unsigned, std::string>& settings, const char* name) {
    const SettingInfo* setting = findSettingByName(name);
    auto given = settings.find(setting->id);
    return given != settings.end() && !given->second.empty() ? given->second : setting->defaultValue;
}

bool equalsWithoutCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct Choices {
    const char* name;
    const char* words[3];
};
constexpr Choices kChoices[] = {
    {"ExecutionLevel", {"asInvoker", "highestAvailable", "requireAdministrator"}},
    {"DpiAwareness", {"unaware", "system", "permonitorv2"}},
};

// The manifest's elements for each DpiAwareness word, after the active code
// page in windowsSettings: older Windows read dpiAware, Windows 10 1607 and
// later dpiAwareness.
const char* dpiElements(const std::string& word) {
    if (word == "system")
        return "\n      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>";
    if (word == "permonitorv2")
        return "\n      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>"
               "\n      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
               "PerMonitorV2, PerMonitor</dpiAwareness>";
    return "";
}

void replaceMark(std::string& text, const char* mark, const std::string& value) {
    size_t at = text.find(mark);
    if (at != std::string::npos) text.replace(at, std::strlen(mark), value);
}

void removeType(std::vector<Resource>& resources, uint32_t type, bool nameOneOnly = false) {
    resources.erase(std::remove_if(resources.begin(), resources.end(),
                                   [&](const Resource& r) {
                                       return !r.type.named && r.type.number == type &&
                                              (!nameOneOnly || (!r.name.named && r.name.number == 1));
                                   }),
                    resources.end());
}

uint32_t languageOf(const std::vector<Resource>& resources, uint32_t type) {
    for (const Resource& r : resources)
        if (!r.type.named && r.type.number == type) return r.language;
    return kLanguageUsEnglish;
}

}  // namespace

std::vector<Resource> iconResources(const Bytes& ico, const std::string& path) {
    auto bad = [&](const std::string& why) { return PackError(1, "icon " + path + " is not a valid icon file: " + why); };
    if (ico.size() < 6 || le16(&ico[0]) != 0 || (le16(&ico[2]) != 1 && le16(&ico[2]) != 2))
        throw bad("no icon header");
    if (le16(&ico[2]) == 2) throw bad("it holds a cursor");
    const size_t count = le16(&ico[4]);
    if (count == 0) throw bad("it holds no image");
    if (count > kMaxIconImages) throw bad("more than " + std::to_string(kMaxIconImages) + " images");
    const size_t directoryEnd = 6 + 16 * count;
    if (directoryEnd > ico.size()) throw bad("its directory is cut short");

    std::vector<Resource> resources;
    Bytes group;
    putU16(group, 0);
    putU16(group, 1);
    putU16(group, uint32_t(count));
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* entry = &ico[6 + 16 * i];
        const uint64_t size = le32(entry + 8), offset = le32(entry + 12);
        const std::string which = "image " + std::to_string(i + 1) + " ";
        if (size == 0 || offset < directoryEnd || offset + size > ico.size()) throw bad(which + "lies outside the file");
        const uint8_t* data = &ico[size_t(offset)];
        ImageShape shape;
        static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
        std::string problem = size >= 8 && std::memcmp(data, kPngSignature, 8) == 0 ? pngShape(data, size_t(size), &shape)
                                                                                 : bitmapShape(data, size_t(size), &shape);
        if (problem.empty() && (shape.width == 0 || shape.height == 0 || shape.width > kMaxIconSide ||
                                shape.height > kMaxIconSide))
            problem = "an image of " + std::to_string(shape.width) + " x " + std::to_string(shape.height) + " pixels";
        if (!problem.empty()) throw bad(which + "is " + problem);
        // The group's entry describes the image as it is, whatever the
        // file's directory claimed: Windows picks the image by it.
        group.push_back(uint8_t(shape.width >= kWideIconSide ? 0 : shape.width));
        group.push_back(uint8_t(shape.height >= kWideIconSide ? 0 : shape.height));
        group.push_back(uint8_t(shape.bitCount < 8 ? 1u << shape.bitCount : 0));
        group.push_back(0);
        putU16(group, 1);
        putU16(group, std::min<uint32_t>(shape.bitCount, 0xFFFF));
        putU32(group, uint32_t(size));
        putU16(group, uint32_t(i + 1));
        Resource image;
        image.type = numericId(kTypeIcon);
        image.name = numericId(uint32_t(i + 1));
        image.data.assign(data, data + size);
        resources.push_back(std::move(image));
    }
    Resource groupResource;
    groupResource.type = numericId(kTypeGroupIcon);
    groupResource.name = numericId(1);
    groupResource.data = std::move(group);
    resources.push_back(std::move(groupResource));
    return resources;
}

bool parseVersion(const std::string& text, uint16_t parts[4]) {
    std::fill(parts, parts + 4, uint16_t(0));
    size_t i = 0;
    for (size_t count = 0; count < 4; ++count) {
        const size_t start = i;
        uint32_t value = 0;
        while (i < text.size() && i - start < 5 && text[i] >= '0' && text[i] <= '9') value = value * 10 + uint32_t(text[i++] - '0');
        if (i == start || value > 0xFFFF) return false;
        parts[count] = uint16_t(value);
        if (i == text.size()) return true;
        if (text[i++] != '.') return false;
    }
    return false;
}

std::string desktopSettingProblem(const std::string& name, std::string& value) {
    if (value.empty()) return "";
    if (name == "FileVersion" || name == "ProductVersion") {
        uint16_t parts[4];
        if (!parseVersion(value, parts))
            return name + " is one to four numbers from 0 to 65535 separated by dots, such as 1.4.2, got \"" + value +
                   "\"";
        return "";
    }
    for (const Choices& choices : kChoices) {
        if (name != choices.name) continue;
        for (const char* word : choices.words)
            if (equalsWithoutCase(value, word)) {
                value = word;
                return "";
            }
        return name + " is " + choices.words[0] + ", " + choices.words[1] + " or " + choices.words[2] + ", got \"" +
               value + "\"";
    }
    return "";
}

Resource versionResource(const std::map<unsigned, std::string>& settings, const std::string& fileName,
                         uint32_t language) {
    auto text = [&](const char* name) { return settingText(settings, name); };
    const std::string stem = fileName.substr(0, std::min(fileName.size(), fileName.rfind('.')));
    std::string fileVersion = text("FileVersion"), productVersion = text("ProductVersion");
    if (productVersion.empty()) productVersion = fileVersion;
    std::string productName = text("ProductName");
    if (productName.empty()) productName = stem;
    std::string description = text("FileDescription");
    if (description.empty()) description = productName;
    std::string original = text("OriginalFilename"), internal = text("InternalName");
    if (original.empty()) original = fileName;
    if (internal.empty()) internal = stem;
    // Texts given with --set-raw have not been checked yet.
    uint16_t file[4], product[4];
    if (!parseVersion(fileVersion, file)) throw PackError(1, desktopSettingProblem("FileVersion", fileVersion));
    if (!parseVersion(productVersion, product))
        throw PackError(1, desktopSettingProblem("ProductVersion", productVersion));

    const std::pair<const char16_t*, std::string> strings[] = {
        {u"CompanyName", text("CompanyName")},   {u"FileDescription", description}, {u"FileVersion", fileVersion},
        {u"InternalName", internal},             {u"LegalCopyright", text("LegalCopyright")},
        {u"OriginalFilename", original},         {u"ProductName", productName},     {u"ProductVersion", productVersion},
        {u"Comments", text("Comments")},
    };

    Bytes out;
    const size_t root = openNode(out, u"VS_VERSION_INFO", 52, false);
    for (uint32_t value : {0xFEEF04BDu, 0x00010000u, uint32_t(file[0]) << 16 | file[1], uint32_t(file[2]) << 16 | file[3],
                           uint32_t(product[0]) << 16 | product[1], uint32_t(product[2]) << 16 | product[3],
                           0x3Fu,        // the flags that are defined
                           0u,           // none of them set
                           0x00040004u,  // VOS_NT_WINDOWS32
                           1u,           // VFT_APP
                           0u, 0u, 0u})  // no subtype, no date
        putU32(out, value);
    const size_t fileInfo = openNode(out, u"StringFileInfo", 0, true);
    const size_t table = openNode(out, u"040904B0", 0, true);  // US English, UTF-16
    for (const auto& [key, value] : strings) {
        if (value.empty()) continue;
        std::u16string wide = utf8ToUtf16(value, std::string("the version text ") + utf16ToUtf8(key));
        const size_t node = openNode(out, key, uint32_t(std::min<size_t>(wide.size() + 1, 0xFFFF)), true);
        for (char16_t unit : wide) putU16(out, unit);
        putU16(out, 0);
        closeNode(out, node);
    }
    closeNode(out, table);
    closeNode(out, fileInfo);
    const size_t varInfo = openNode(out, u"VarFileInfo", 0, true);
    const size_t translation = openNode(out, u"Translation", 4, false);
    putU16(out, 0x0409);
    putU16(out, 1200);
    closeNode(out, translation);
    closeNode(out, varInfo);
    closeNode(out, root);

    Resource r;
    r.type = numericId(kTypeVersion);
    r.name = numericId(1);
    r.language = language;
    r.data = std::move(out);
    return r;
}

std::string generatedManifest(const std::string& level, const std::string& dpi) {
    std::string text = kManifestTemplate;
    replaceMark(text, "{level}", level.empty() ? "asInvoker" : level);
    replaceMark(text, "{dpi}", dpiElements(dpi));
    return text;
}

std::string manifestProblem(const std::string& given) {
    std::string text = given.compare(0, 3, "\xEF\xBB\xBF") == 0 ? given.substr(3) : given;
    if (text.find('\0') != std::string::npos) return "it is not UTF-8 text";
    try {
        utf8ToUtf16(text, "manifest");
    } catch (const PackError&) {
        return "it is not UTF-8 text";
    }
    // Comments say nothing: leave them out before looking for elements.
    std::string content;
    for (size_t at = 0; at < text.size();) {
        size_t open = text.find("<!--", at);
        content += text.substr(at, open - at);
        if (open == std::string::npos) break;
        size_t close = text.find("-->", open + 4);
        if (close == std::string::npos) return "a comment is not closed";
        at = close + 3;
    }
    if (content.find("<assembly") == std::string::npos || content.find("</assembly>") == std::string::npos)
        return "it holds no <assembly> element";
    // Every activeCodePage element (with or without a namespace prefix) says
    // UTF-8, and there is one.
    bool utf8 = false;
    const std::string element = "activeCodePage";
    for (size_t at = content.find(element); at != std::string::npos; at = content.find(element, at + 1)) {
        const size_t tag = content.rfind('<', at);
        const size_t after = at + element.size();
        if (tag == std::string::npos || after >= content.size()) continue;
        const std::string prefix = content.substr(tag + 1, at - tag - 1);  // "", "ns:", or a closing tag's "/"
        if (!(prefix.empty() || (prefix.back() == ':' && prefix.find_first_of(" \t\r\n/>") == std::string::npos)))
            continue;
        if (content[after] != '>' && content[after] != ' ' && content[after] != '\t' && content[after] != '\r' &&
            content[after] != '\n')
            continue;
        const size_t close = content.find('>', after), end = content.find('<', after);
        if (close == std::string::npos || end == std::string::npos || close > end)
            return "an activeCodePage element is not closed";
        std::string value = content.substr(close + 1, end - close - 1);
        value.erase(0, value.find_first_not_of(" \t\r\n"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        utf8 = equalsWithoutCase(value, "UTF-8");
        if (!utf8) break;
    }
    if (!utf8)
        return "it does not keep the UTF-8 active code page (<activeCodePage>UTF-8</activeCodePage> in its "
               "windowsSettings), which the launcher needs for non-ASCII paths and texts";
    return "";
}

DesktopInput readDesktopInput(const std::string& iconPath, const std::string& manifestPath,
                              const std::map<unsigned, std::string>& settings, const std::string& outPath) {
    DesktopInput input;
    input.fileName = baseName(outPath);
    if (!iconPath.empty()) input.icon = iconResources(readFile(iconPath, "icon", kMaxIconBytes), iconPath);
    std::string level = settingText(settings, "ExecutionLevel"), dpi = settingText(settings, "DpiAwareness");
    for (const auto& [name, value] : {std::pair{"ExecutionLevel", &level}, {"DpiAwareness", &dpi}}) {
        std::string problem = desktopSettingProblem(name, *value);
        if (!problem.empty()) throw PackError(1, problem);
    }
    if (!manifestPath.empty()) {
        if (!level.empty() || !dpi.empty())
            throw PackError(1, "ExecutionLevel and DpiAwareness shape the manifest the packer writes; with the "
                               "manifest file " + manifestPath + ", set them in that file");
        Bytes file = readFile(manifestPath, "manifest", kMaxManifestBytes);
        input.manifest.assign(file.begin(), file.end());
        std::string problem = manifestProblem(input.manifest);
        if (!problem.empty()) throw PackError(1, "manifest " + manifestPath + " cannot be used: " + problem);
    } else if (!level.empty() || !dpi.empty()) {
        input.manifest = generatedManifest(level, dpi);
    }
    return input;
}

void applyDesktopResources(std::vector<Resource>& resources, DesktopInput input,
                           const std::map<unsigned, std::string>& settings) {
    const uint32_t versionLanguage = languageOf(resources, kTypeVersion);
    removeType(resources, kTypeVersion);
    resources.push_back(versionResource(settings, input.fileName, versionLanguage));
    if (!input.icon.empty()) {
        const uint32_t language = languageOf(resources, kTypeGroupIcon);
        removeType(resources, kTypeGroupIcon);
        removeType(resources, kTypeIcon);
        for (Resource& r : input.icon) {
            r.language = language;
            resources.push_back(std::move(r));
        }
    }
    if (!input.manifest.empty()) {
        Resource manifest;
        manifest.type = numericId(kTypeManifest);
        manifest.name = numericId(1);
        manifest.language = languageOf(resources, kTypeManifest);
        manifest.data.assign(input.manifest.begin(), input.manifest.end());
        removeType(resources, kTypeManifest, true);
        resources.push_back(std::move(manifest));
    }
}

}  // namespace pack

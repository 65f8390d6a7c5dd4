// The packer's parts at their edges: texts and string-table blocks, archive
// names, the configuration file, and the PE resource tree (written, read
// back, rewritten in place) on small synthetic images. What a packed
// launcher holds as a whole is checked end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "core/launcher_config.h"
#include "pack.h"
#include "platform/bundle_format.h"

using namespace pack;

namespace {

std::string expectError(const std::function<void()>& f, int status = 1) {
    try {
        f();
    } catch (const PackError& e) {
        EXPECT_EQ(e.status, status);
        return e.what();
    }
    ADD_FAILURE() << "no error";
    return "";
}

TEST(PackText, Utf8BecomesUtf16AndInvalidUtf8IsRefused) {
    EXPECT_EQ(utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", "t"), std::u16string(u"a\u00E9\u20AC\U0001D11E"));
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\xFF", "\x80"})
        EXPECT_NE(expectError([&] { utf8ToUtf16(bad, "setting X"); }).find("setting X"), std::string::npos) << bad;
}

TEST(PackText, StringBlocksAndTheirLimits) {
    Bytes block = buildStringBlock({{1, u"ab"}, {15, u"\u00E9"}});
    Bytes expected = {0, 0, 2, 0, 'a', 0, 'b', 0};
    for (int i = 2; i < 15; ++i) expected.insert(expected.end(), {0, 0});
    expected.insert(expected.end(), {1, 0, 0xE9, 0});
    EXPECT_EQ(block, expected);
    EXPECT_EQ(buildStringBlock({{0, std::u16string(65535, u'x')}}).size(), 2 + 65535 * 2 + 15 * 2u);
    // A text too long for an entry names its setting; UTF-16 units count, not bytes.
    PackInput input;
    input.settings[1018] = std::string(70000, 'd');
    EXPECT_NE(expectError([&] { buildResources(input); }).find("ServiceDescription"), std::string::npos);
    std::string wide;
    for (int i = 0; i < 30000; ++i) wide += "\xE2\x82\xAC";
    input.settings[1018] = wide;
    EXPECT_NO_THROW(buildResources(input));
}

TEST(PackPayload, ArchiveNamesMustBePlain) {
    for (const char* good : {"app.jar", "a b.zip", "\xC3\xA9.jar", "..jar"}) EXPECT_NO_THROW(checkArchiveName(good));
    for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b.jar", "a\\b.jar", "c:x.jar", "a?.jar",
                                                           "a\tb", std::string(256, 'a'), "NUL.jar", "lib.jar.",
                                                           "v;t.jar", "\xff.jar"})
        expectError([&] { checkArchiveName(bad); });
}

TEST(PackConfig, ValuesEscapesTablesAndArchives) {
    ConfigFile c = parseConfig(
        "# settings\n"
        "MainClass = \"com.example.Main\"  # trailing comment\n"
        "JvmOptions = \"-Da=\\\"q\\\" \\\\ \\t\\u00e9\\U0001D11E\"\n"
        "AppOptions = 'C:\\raw\\n'\n"
        "ProcessPriority = -1\n"
        "RemoveExtractedFiles = true\n"
        "ServiceOnly=false\r\n"
        "Archives = [\"a.jar\", 'lib/b.jar', \"/abs/c.jar\",]\n"
        "MessageLanguage = 0x407\n"
        "\n"
        "[Messages]\n"
        "1 = \"Two\\nlines\"\n"
        "\"21\" = \"x # not a comment\"\n",
        "app.toml", "cfg");
    EXPECT_EQ(c.values.at("MainClass"), "com.example.Main");
    EXPECT_EQ(c.values.at("JvmOptions"), "-Da=\"q\" \\ \t\xC3\xA9\xF0\x9D\x84\x9E");
    EXPECT_EQ(c.values.at("AppOptions"), "C:\\raw\\n");
    EXPECT_EQ(c.values.at("ProcessPriority"), "-1");
    EXPECT_EQ(c.values.at("RemoveExtractedFiles"), "1");
    EXPECT_EQ(c.values.at("ServiceOnly"), "0");
    EXPECT_EQ(c.archives, (std::vector<std::string>{"cfg/a.jar", "cfg/lib/b.jar", "/abs/c.jar"}));
    EXPECT_TRUE(c.hasMessageLanguage);
    EXPECT_EQ(c.messageLanguage, 0x407u);
    EXPECT_EQ(c.messages.at(1), "Two\nlines");
    EXPECT_EQ(c.messages.at(21), "x # not a comment");
}

TEST(PackConfig, ErrorsNameFileAndLine) {
    struct Case {
        std::string text;
        const char* expected;
    } cases[] = {
        {"MainClass = \"a\"\nmainclass = \"b\"\n", "app.toml:2: unknown key mainclass"},
        {"AppMutex = \"m\"", "app.toml:1: AppMutex cannot be packed: it is read from the settings file"},
        {"\n\nJvmOptions = \"open\n", "app.toml:3: unterminated string"},
        {"JvmOptions = \"\\q\"", "app.toml:1: unknown escape"},
        {"JvmOptions = bare", "app.toml:1: cannot read value"},
        {"JvmOptions = \"a\" \"b\"", "app.toml:1: unexpected text"},
        {"JvmOptions", "app.toml:1: expected '='"},
        {"JvmOptions = \"a\"\nJvmOptions = \"b\"", "app.toml:2: JvmOptions given twice"},
        {"[Other]", "app.toml:1: unknown table"},
        {"[Messages]\n22 = \"x\"", "app.toml:2: message number 22"},
        {"[Messages]\nMainClass = \"x\"", "app.toml:2: message number MainClass"},
        {"Archives = \"a.jar\"", "app.toml:1: Archives must be an array"},
        {"Archives = [\"a.jar\"", "app.toml:1: unterminated array"},
        {"MessageLanguage = 70000", "app.toml:1: MessageLanguage"},
        {"ExtractLocation = 99999999999", "app.toml:1: "},
        {"JvmOptions = \"\"\"x\"\"\"", "app.toml:1: multi-line"},
        {"JvmOptions = \"\\u0000\"", "app.toml:1: "},
        {std::string("JvmOptions = \"a\0b\"", 18), "app.toml:1: a text cannot hold a zero"},
        {std::string("JvmOptions = 'a\0b'", 18), "app.toml:1: a text cannot hold a zero"},
        {"ExtractLocation = 3", "app.toml:1: ExtractLocation is a number from 0 to 2, got 3"},
        {"StdErrMode = \"x\"", "app.toml:1: StdErrMode is a decimal"},
        {"ServiceOnly = \"yes\"", "app.toml:1: ServiceOnly is a flag"},
        {"ProcessPriority = true", "app.toml:1: ProcessPriority is not a flag"},
        {"MainClass = \"\\u00e9\xff\"", "app.toml:1: MainClass is not valid UTF-8"},
    };
    for (const Case& c : cases) {
        std::string message = expectError([&] { parseConfig(c.text, "app.toml", ""); });
        EXPECT_EQ(message.rfind(c.expected, 0), 0u) << c.text << " -> " << message;
    }
}

TEST(PackConfig, LanguageAndMessageNumbers) {
    uint32_t language = 7;
    EXPECT_TRUE(parseLanguage("0", &language));
    EXPECT_EQ(language, 0u);
    EXPECT_TRUE(parseLanguage("65535", &language));
    EXPECT_TRUE(parseLanguage("0x0409", &language));
    EXPECT_EQ(language, 0x409u);
    for (const char* bad : {"", "65536", "-1", "1031x", "0x", "de"}) EXPECT_FALSE(parseLanguage(bad, &language)) << bad;
    int number = 0;
    EXPECT_TRUE(parseMessageNumber("21", &number));
    EXPECT_EQ(number, 21);
    for (const char* bad : {"0", "22", "", "1a", "+1", "001"}) EXPECT_FALSE(parseMessageNumber(bad, &number)) << bad;
}

// ---- PE images ---------------------------------------------------------------

void set16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void set32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// A PE32+ image with one .text section and no resources; the PE header at
// `peOffset` (a late header leaves no room for another section header).
Bytes makeImage(size_t peOffset = 0x40) {
    Bytes b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    set32(b, 0x3C, uint32_t(peOffset));
    std::memcpy(&b[peOffset], "PE\0\0", 4);
    size_t coff = peOffset + 4, opt = coff + 20, section = opt + 240;
    // COFF header: machine, one section, optional header size, flags; PE32+ magic.
    for (auto [at, value] : {std::pair{coff, 0x8664u}, {coff + 2, 1u}, {coff + 16, 240u}, {coff + 18, 0x22u}, {opt, 0x20Bu}})
        set16(b, at, value);
    // Alignments, SizeOfImage, SizeOfHeaders, 16 data directories; the .text header.
    for (auto [at, value] : {std::pair{opt + 32, 0x1000u}, {opt + 36, 0x200u}, {opt + 56, 0x2000u}, {opt + 60, 0x200u},
                             {opt + 108, 16u}, {section + 8, 0x10u}, {section + 12, 0x1000u}, {section + 16, 0x200u},
                             {section + 20, 0x200u}, {section + 36, 0x60000020u}})
        set32(b, at, value);
    std::memcpy(&b[section], ".text", 5);
    for (int i = 0; i < 16; ++i) b[0x200 + i] = uint8_t(0xC0 + i);
    return b;
}

Resource resource(ResourceId type, ResourceId name, uint32_t language, Bytes data) {
    return Resource{std::move(type), std::move(name), language, 1252, std::move(data)};
}
ResourceId named(const char16_t* text) { return ResourceId{true, 0, text}; }

// The reader gives resources in the tree's order: types, names, languages.
void expectSameResources(const std::vector<Resource>& got, std::vector<Resource> want) {
    auto id = [](const Resource& r) { return std::tie(r.type, r.name, r.language); };
    std::sort(want.begin(), want.end(), [&](const Resource& a, const Resource& b) { return id(a) < id(b); });
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(std::tie(got[i].type, got[i].name, got[i].language, got[i].codepage, got[i].data) ==
                    std::tie(want[i].type, want[i].name, want[i].language, want[i].codepage, want[i].data))
            << i;
}

TEST(PackPe, TreeIsWrittenSortedAndReadBack) {
    Bytes image = makeImage();
    ASSERT_TRUE(isPeImage(image));
    std::vector<Resource> stub = {
        resource(numericId(24), numericId(1), 1033, Bytes(989, 'm')),
        resource(named(u"ZETA"), numericId(5), 0, {1, 2, 3}),
        resource(numericId(3), named(u"APPICON"), 1033, {4}),
        resource(named(u"ALPHA"), named(u"X"), 7, {}),
        resource(numericId(3), numericId(2), 1033, Bytes(17, 9)),
        resource(numericId(3), numericId(2), 1031, Bytes(3, 8)),
    };
    Bytes packed = writePeResources(image, stub);
    // No resource section before: a new one is appended.
    EXPECT_EQ(packed[0x40 + 4 + 2], 2);
    size_t rsrcHeader = 0x40 + 24 + 240 + 40;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&packed[rsrcHeader])), ".rsrc");
    EXPECT_EQ(get32(packed, rsrcHeader + 12), 0x2000u);
    EXPECT_EQ(get32(packed, rsrcHeader + 20), 0x400u);
    EXPECT_EQ(get32(packed, 0x40 + 24 + 112 + 16), 0x2000u);  // data directory 2
    EXPECT_EQ(std::memcmp(&packed[0x200], &image[0x200], 0x200), 0);  // .text untouched
    uint32_t sizeOfImage = get32(packed, 0x40 + 24 + 56);
    EXPECT_EQ(sizeOfImage, 0x2000u + ((get32(packed, rsrcHeader + 8) + 0xFFF) & ~0xFFFu));
    // Root directory: two named types before the numbered ones, in order.
    size_t root = 0x400;
    EXPECT_EQ(packed[root + 12], 2);
    EXPECT_EQ(packed[root + 14], 2);
    EXPECT_EQ(get32(packed, root + 16 + 16), 3u);
    EXPECT_EQ(get32(packed, root + 16 + 24), 24u);
    expectSameResources(readPeResources(packed), stub);

    // The resource section is now the last one: packing again rewrites it in
    // place, whatever size the tree has.
    std::vector<Resource> more = stub;
    more.push_back(resource(numericId(10), numericId(1), 0, Bytes(5000, 'j')));
    Bytes repacked = writePeResources(packed, more);
    EXPECT_EQ(repacked[0x40 + 4 + 2], 2);
    EXPECT_EQ(get32(repacked, rsrcHeader + 12), 0x2000u);
    EXPECT_EQ(get32(repacked, rsrcHeader + 16) % 0x200, 0u);
    EXPECT_EQ(repacked.size(), 0x400u + get32(repacked, rsrcHeader + 16));
    EXPECT_GE(get32(repacked, 0x40 + 24 + 56), 0x2000u + get32(repacked, rsrcHeader + 8));
    expectSameResources(readPeResources(repacked), more);
    Bytes shrunk = writePeResources(repacked, {});
    EXPECT_TRUE(readPeResources(shrunk).empty());
    EXPECT_EQ(shrunk.size(), 0x600u);
}

TEST(PackPe, AppendingNeedsRoomForASectionHeader) {
    Bytes image = makeImage(0x200 - (24 + 240 + 40));
    ASSERT_TRUE(isPeImage(image));
    std::string message = expectError([&] { writePeResources(image, {}); });
    EXPECT_NE(message.find("no room"), std::string::npos);
}

TEST(PackPe, DamagedImagesAreRefused) {
    Bytes image = makeImage();
    set32(image, 0x40 + 24 + 112 + 16, 0x5000);  // resource directory outside every section
    set32(image, 0x40 + 24 + 112 + 20, 0x100);
    expectError([&] { readPeResources(image); });
    Bytes truncated = makeImage();
    truncated.resize(0x150);
    expectError([&] { readPeResources(truncated); });
    EXPECT_FALSE(isPeImage(Bytes(10, 'M')));
}

// Stubs that once overran a buffer, dereferenced null, placed the resource
// section over code or at address 0, multiplied shared resource directories
// or grew without bound: each is refused as a whole before anything is read
// or written.
TEST(PackPe, HostileStubsAreRefused) {
    const size_t opt = 0x40 + 24, text = opt + 240;
    const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
        {"headers end before the data directories", [&](Bytes& b) { set32(b, opt + 60, 0x80); }},
        {"no headers and no raw data", [&](Bytes& b) { set32(b, opt + 60, 0), set32(b, text + 16, 0); }},
        {"a section at address 0", [&](Bytes& b) { set32(b, text + 12, 0); }},
        {"no sections", [&](Bytes& b) { set16(b, 0x40 + 6, 0); }},
        {"a section wrapping 32 bits", [&](Bytes& b) { set32(b, text + 12, 0xFFFFF000), set32(b, text + 8, 0x2000); }},
        {"a huge file alignment", [&](Bytes& b) { set32(b, opt + 36, 0x20000000), set32(b, opt + 32, 0x20000000); }},
        {"a file alignment below 512", [&](Bytes& b) { set32(b, opt + 36, 0x10); }},
        {"raw data inside the headers", [&](Bytes& b) { set32(b, text + 20, 0x100); }},
    };
    for (const auto& [name, damage] : cases) {
        Bytes image = makeImage();
        damage(image);
        std::string message = expectError([&] { writePeResources(image, {}); });
        EXPECT_NE(message.find("not a valid PE image"), std::string::npos) << name << ": " << message;
    }

    // A resource tree whose directories share their entries: two types, each
    // naming the same directory of two names, each naming the same language
    // directory of two languages, would read as eight resources.
    Bytes image = makeImage();
    image.resize(0x600, 0);
    set32(image, text + 40 + 8, 0x200), set32(image, text + 40 + 12, 0x2000), set32(image, text + 40 + 16, 0x200);
    set32(image, text + 40 + 20, 0x400), std::memcpy(&image[text + 40], ".rsrc", 5), set16(image, 0x40 + 6, 2);
    set32(image, opt + 112 + 16, 0x2000), set32(image, opt + 112 + 20, 0x100);
    for (uint32_t dir : {0u, 0x20u, 0x40u}) {
        set16(image, 0x400 + dir + 14, 2);
        uint32_t target = dir == 0x40 ? 0x60 : (0x80000000u | (dir + 0x20));
        for (uint32_t k = 0; k < 2; ++k) set32(image, 0x400 + dir + 16 + 8 * k, k + 1), set32(image, 0x400 + dir + 20 + 8 * k, target);
    }
    set32(image, 0x400 + 0x60, 0x2080), set32(image, 0x400 + 0x64, 4);
    EXPECT_NE(expectError([&] { readPeResources(image); }).find("shared"), std::string::npos);
}

// ---- What Windows shows: icon, version information, manifest ---------------------

// An icon's bitmap (header with twice the height, colour table, pixels, mask).
Bytes bitmapImage(int side, int bits, uint32_t coloursUsed = 0) {
    Bytes b(40, 0);
    set32(b, 0, 40), set32(b, 4, side), set32(b, 8, 2 * side), set16(b, 12, 1), set16(b, 14, bits);
    set32(b, 32, coloursUsed);
    size_t colours = bits <= 8 ? (coloursUsed != 0 ? coloursUsed : 1u << bits) : 0;
    b.resize(40 + 4 * colours + ((side * bits + 31) / 32 * 4 + (side + 31) / 32 * 4) * side, 0x55);
    return b;
}

// A PNG signature and header chunk (what the reader looks at).
Bytes pngImage(uint32_t side, uint8_t depth = 8, uint8_t colourType = 6) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t v : {side, side}) b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    b.insert(b.end(), {depth, colourType, 0, 0, 0, 0, 0, 0, 0});
    return b;
}

Bytes cut(Bytes b, size_t size) {
    b.resize(size);
    return b;
}

Bytes icoFile(const std::vector<Bytes>& images, uint16_t kind = 1) {
    Bytes out = {0, 0, uint8_t(kind), 0, uint8_t(images.size()), uint8_t(images.size() >> 8)};
    size_t offset = 6 + 16 * images.size();
    for (const Bytes& image : images) {
        out.insert(out.end(), 8, 0);  // the directory's claims: the reader takes the images' own
        putU32(out, uint32_t(image.size()));
        putU32(out, uint32_t(offset));
        offset += image.size();
    }
    for (const Bytes& image : images) out.insert(out.end(), image.begin(), image.end());
    return out;
}

TEST(PackDesktop, IconsAreCheckedWholeAndDescribedByTheirImages) {
    std::vector<Resource> icon = iconResources(icoFile({bitmapImage(16, 32), bitmapImage(48, 4, 3), pngImage(300)}), "a.ico");
    ASSERT_EQ(icon.size(), 4u);
    const Bytes& group = icon[3].data;
    EXPECT_EQ(icon[3].type.number, kTypeGroupIcon);
    // Per image: width, height, colours, 0, planes, bits, size, id.
    const Bytes entries[] = {{16, 16, 0, 0, 1, 0, 32, 0}, {48, 48, 16, 0, 1, 0, 4, 0}, {0, 0, 0, 0, 1, 0, 32, 0}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Bytes(group.begin() + 6 + 14 * i, group.begin() + 14 + 14 * i), entries[i]) << i;
        EXPECT_EQ(get32(group, 6 + 14 * i + 8), icon[i].data.size());
        EXPECT_EQ(group[6 + 14 * i + 12], i + 1);
    }

    Bytes huge = icoFile({bitmapImage(16, 32)});
    set16(huge, 4, kMaxIconImages + 1);
    Bytes compressed = bitmapImage(16, 8), planes = bitmapImage(16, 8), colours = bitmapImage(16, 4, 17);
    set32(compressed, 16, 1), set16(planes, 12, 2);
    const std::pair<Bytes, const char*> bad[] = {
        {Bytes{0, 0, 1}, "no icon header"},
        {icoFile({bitmapImage(16, 32)}, 2), "holds a cursor"},
        {icoFile({}), "holds no image"},
        {huge, "more than 256 images"},
        {cut(icoFile({bitmapImage(16, 32)}), 20), "directory is cut short"},
        {icoFile({Bytes()}), "image 1 lies outside the file"},
        {icoFile({pngImage(16), cut(pngImage(16), 20)}), "image 2 is a PNG image without its header"},
        {icoFile({pngImage(16, 8, 5)}), "an unknown colour type"},
        {icoFile({pngImage(2000)}), "an image of 2000 x 2000 pixels"},
        {icoFile({cut(bitmapImage(16, 32), bitmapImage(16, 32).size() - 1)}), "a bitmap cut short"},
        {icoFile({compressed}), "a compressed bitmap"},
        {icoFile({planes}), "a bitmap of 2 planes"},
        {icoFile({colours}), "more colours than its depth holds"},
        {icoFile({bitmapImage(2048, 1)}), "a bitmap of 2048 x 2048 pixels"},
    };
    for (const auto& [file, expected] : bad)
        EXPECT_NE(expectError([&] { iconResources(file, "a.ico"); }).find(expected), std::string::npos) << expected;
}

TEST(PackDesktop, VersionsAndChoices) {
    const std::pair<const char*, std::array<uint16_t, 4>> good[] = {
        {"1", {1, 0, 0, 0}}, {"1.4.2", {1, 4, 2, 0}}, {"1.4.2.7", {1, 4, 2, 7}}, {"65535.0.00007.0", {65535, 0, 7, 0}}};
    for (const auto& [text, parts] : good) {
        uint16_t got[4];
        EXPECT_TRUE(parseVersion(text, got)) << text;
        EXPECT_EQ((std::array<uint16_t, 4>{got[0], got[1], got[2], got[3]}), parts) << text;
    }
    for (const char* bad : {"", ".", "1.", ".1", "1..2", "1.2.3.4.5", "65536", "123456", "1.x", " 1", "-1", "1.2-beta"}) {
        uint16_t got[4];
        EXPECT_FALSE(parseVersion(bad, got)) << bad;
    }
    const std::tuple<const char*, const char*, const char*> choices[] = {
        {"ExecutionLevel", "REQUIREadministrator", "requireAdministrator"}, {"DpiAwareness", "PerMonitorV2", "permonitorv2"},
        {"FileVersion", "1.2", "1.2"}, {"CompanyName", "anything at all", "anything at all"}};
    for (const auto& [name, given, stored] : choices) {
        std::string value = given;
        EXPECT_EQ(desktopSettingProblem(name, value), "") << name;
        EXPECT_EQ(value, stored);
    }
    std::string admin = "admin";
    EXPECT_EQ(desktopSettingProblem("ExecutionLevel", admin),
              "ExecutionLevel is asInvoker, highestAvailable or requireAdministrator, got \"admin\"");
    // All texts together must fit the 16-bit lengths of the version tree.
    EXPECT_NE(expectError([&] { versionResource({{1133, std::string(40000, 'c')}}, "a.exe", 1033); }).find("65535"),
              std::string::npos);
}

TEST(PackDesktop, ManifestsMustKeepTheUtf8CodePage) {
    const std::string assembly = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">";
    const std::string page = "<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">";
    const std::pair<std::string, const char*> cases[] = {  // text, start of the problem ("" none)
        {generatedManifest("", ""), ""},
        {generatedManifest("requireAdministrator", "permonitorv2"), ""},
        {"\xEF\xBB\xBF" + assembly + page + " utf-8 </activeCodePage></assembly>", ""},
        {assembly + "<ws:activeCodePage xmlns:ws=\"x\">UTF-8</ws:activeCodePage></assembly>", ""},
        {assembly + "<!-- " + page + "UTF-8</activeCodePage> --></assembly>", "it does not keep"},
        {assembly + page + "Windows-1252</activeCodePage></assembly>", "it does not keep"},
        {assembly + page + "UTF-8</activeCodePage>" + page + "Legacy</activeCodePage></assembly>", "it does not keep"},
        {assembly + "</assembly>", "it does not keep"},
        {assembly + page + "UTF-8</activeCodePage><!-- open </assembly>", "a comment is not closed"},
        {page + "UTF-8</activeCodePage>", "it holds no <assembly>"},
        {assembly + page + "UTF-8\xFF</activeCodePage></assembly>", "it is not UTF-8 text"},
        {std::string("<assembly\0", 10) + page + "UTF-8</activeCodePage></assembly>", "it is not UTF-8 text"},
    };
    for (const auto& [text, problem] : cases)
        EXPECT_EQ(manifestProblem(text).rfind(problem, 0), 0u) << text << " -> " << manifestProblem(text);
    std::string dpi = generatedManifest("highestAvailable", "permonitorv2");
    EXPECT_NE(dpi.find("level=\"highestAvailable\""), std::string::npos);
    EXPECT_NE(dpi.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
    EXPECT_EQ(generatedManifest("", "system").find("{"), generatedManifest("", "").find("{"));  // no mark is left
}

TEST(PackElf, BundleIsAppendedAndStrippedAgain) {
    Bytes elf(100, 0);
    std::memcpy(elf.data(), "\x7F" "ELF\x02\x01", 6);
    elf[16] = 3;
    ASSERT_TRUE(isElfImage(elf));
    std::vector<Resource> resources = {resource(numericId(6), numericId(63), 0, {1, 2}),
                                       resource(numericId(10), numericId(1), 0, {3})};
    Bytes bundle = buildBundle(resources, elf.size());
    ASSERT_EQ(bundle.size(), 4 + 18 + 17 + 16u);
    EXPECT_EQ(std::memcmp(&bundle[bundle.size() - 8], bundle::kBundleMagic, 8), 0);
    EXPECT_EQ(get32(bundle, bundle.size() - 16), 100u);
    Bytes packed = elf;
    packed.insert(packed.end(), bundle.begin(), bundle.end());
    EXPECT_EQ(stripBundle(packed), elf);
    EXPECT_EQ(stripBundle(elf), elf);
    set32(packed, packed.size() - 16, 0x7FFFFFFF);  // trailer pointing past the end
    expectError([&] { stripBundle(packed); });
}

}  // namespace

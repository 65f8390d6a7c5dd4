// vantrel-pack: the command line. Reads the options and the configuration
// file, loads the stub and the archives, and writes the packed launcher.
#include <cstdio>
#include <cstring>
#include <new>

#include "core/settings_table.h"
#include "pack.h"
#include "vantrel_version.h"

using namespace pack;

namespace {

void printHelp() {
    std::printf(
        "usage: vantrel-pack [--config FILE] [--stub PATH [--reset]] --out PATH [--set KEY=VALUE]...\n"
        "                    [--archive FILE]... [--message-language ID] [--message N=TEXT]...\n"
        "                    [--icon FILE] [--manifest FILE]\n"
        "       vantrel-pack --list LAUNCHER\n"
        "       vantrel-pack --help | --version\n"
        "\n"
        "Copies a launcher stub to PATH and writes the application's settings, messages\n"
        "and archives into the copy (PE resources for a Windows stub, an appended\n"
        "bundle for an ELF stub). An already packed launcher may serve as the stub: its\n"
        "settings, messages and archives are kept, and what is given here goes on top\n"
        "(an archive of the same name replaces the stub's). Packing removes a stub's\n"
        "signature: sign the packed launcher afterwards.\n"
        "\n"
        "  --stub PATH            launcher to copy (default: vantrel.exe beside the packer)\n"
        "  --reset                start from the bare launcher: drop what the stub carries\n"
        "  --out PATH             packed launcher to write (replaced only on success)\n"
        "  --config FILE          settings file, see below\n"
        "  --set KEY=VALUE        one setting; overrides the configuration file\n"
        "  --set-raw KEY=TEXT     one setting stored as TEXT exactly, without the check\n"
        "                         of its kind (to try how a launcher reads odd texts)\n"
        "  --archive FILE         an archive (JAR/ZIP) for the payload, in order; stored\n"
        "                         under its file name with its modification time\n"
        "  --message N=TEXT       text of message N (1-21); a backslash followed by n\n"
        "                         in TEXT becomes a line break when shown\n"
        "  --message-language ID  language id of the messages (default 1028; 0 neutral)\n"
        "  --icon FILE            a Windows launcher's icon: every image of the .ico file\n"
        "                         replaces the stub's icon\n"
        "  --manifest FILE        a Windows launcher's manifest instead of the one the\n"
        "                         packer writes; it must keep <activeCodePage>UTF-8\n"
        "                         (see ExecutionLevel and DpiAwareness for the usual needs)\n"
        "  --list LAUNCHER        print the settings, messages and archives (name, size,\n"
        "                         time) that a packed launcher carries\n"
        "\n"
        "Configuration file (a TOML subset, one value per line):\n"
        "  # comment\n"
        "  MainClass = \"com.example.Main\"     strings: \"...\" with \\\\ \\\" \\n \\t \\uXXXX, or '...'\n"
        "  ExtractLocation = 1                numbers\n"
        "  RemoveExtractedFiles = true        flags: true/false are stored as 1/0\n"
        "  Archives = [\"app.jar\", \"lib/b.jar\"]  relative to the file's directory;\n"
        "                                     --archive adds to this list\n"
        "  MessageLanguage = 1031\n"
        "  Icon = \"app.ico\"                   as --icon and --manifest, relative to the\n"
        "  Manifest = \"app.manifest\"          file's directory; the options win\n"
        "  [Messages]\n"
        "  1 = \"Already running.\"             message texts by number\n"
        "\n"
        "Keys (case-sensitive), id, kind and default:\n");
    for (unsigned i = 0; i < kSettingCount; ++i) {
        const SettingInfo& s = kSettings[i];
        std::printf("  %-27s %4u  %-7s  %s\n", s.name, s.id, settingKindName(s.kind),
                    s.defaultValue[0] != '\0' ? s.defaultValue : "(empty)");
    }
    std::printf("  %-27s %4s  %-7s  %s\n", "Archives", "-", "list", "(none: no payload resource)");
    std::printf("\nWhat each setting does, the settings file beside the launcher, placeholders and\n"
                "messages: docs/reference.md (in the release and in the sources).\n"
                "\nExit status: 0 done, 1 failed, 2 bad command line.\n");
}

struct Options {
    std::string config, stub, out, messageLanguage, list, icon, manifest;
    std::vector<std::pair<std::string, std::string>> sets;  // in order
    std::vector<bool> raw;                                   // per set: given by --set-raw
    std::vector<std::string> archives;
    std::vector<std::string> messages;
    bool help = false;
    bool version = false;
    bool reset = false;
};

Options parseCommandLine(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
            continue;
        }
        if (arg == "--version") {
            o.version = true;
            continue;
        }
        if (arg == "--reset") {
            o.reset = true;
            continue;
        }
        std::string value;
        size_t equals = arg.find('=');
        std::string name = arg.compare(0, 2, "--") == 0 && equals != std::string::npos ? arg.substr(0, equals) : arg;
        static const char* const withValue[] = {"--config", "--stub", "--out", "--set", "--set-raw", "--archive",
                                                "--message-language", "--message", "--list", "--icon",
                                                "--manifest"};
        bool known = false;
        for (const char* candidate : withValue) known = known || name == candidate;
        if (!known) throw PackError(2, "unknown option " + arg + " (see --help)");
        if (name != arg) {
            value = arg.substr(equals + 1);
        } else {
            if (i + 1 >= argc) throw PackError(2, "option " + arg + " needs a value");
            value = argv[++i];
        }
        if (name == "--config") o.config = value;
        else if (name == "--stub") o.stub = value;
        else if (name == "--out") o.out = value;
        else if (name == "--message-language") o.messageLanguage = value;
        else if (name == "--archive") o.archives.push_back(value);
        else if (name == "--message") o.messages.push_back(value);
        else if (name == "--list") o.list = value;
        else if (name == "--icon") o.icon = value;
        else if (name == "--manifest") o.manifest = value;
        else {
            size_t cut = value.find('=');
            if (cut == std::string::npos) throw PackError(2, name + " needs KEY=VALUE, got " + value);
            o.sets.emplace_back(value.substr(0, cut), value.substr(cut + 1));
            o.raw.push_back(name == "--set-raw");
        }
    }
    return o;
}

int run(int argc, char** argv) {
    Options options = parseCommandLine(argc, argv);
    if (options.help) {
        printHelp();
        return 0;
    }
    if (options.version) {
        std::printf("vantrel-pack %s\n", VANTREL_VERSION);
        return 0;
    }
    if (!options.list.empty()) return listLauncher(options.list);
    if (options.out.empty()) throw PackError(2, "--out PATH is required (see --help)");

    // Command-line values are checked before any file is read, so that a
    // usage error is reported as such.
    PackInput input;
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> sets;
    for (size_t i = 0; i < options.sets.size(); ++i) {
        const auto& [key, given] = options.sets[i];
        const SettingInfo* setting = findSettingByName(key.c_str());
        if (setting == nullptr) throw PackError(2, unknownKeyText(key) + " (see --help)");
        std::string value = given;
        std::string problem = options.raw[i] ? "" : settingValueProblem(*setting, value);
        if (!problem.empty()) throw PackError(2, "--set " + problem);
        sets[key] = value;
    }
    std::map<int, std::string> messages;
    for (const std::string& spec : options.messages) {
        size_t cut = spec.find('=');
        int number = 0;
        if (cut == std::string::npos || !parseMessageNumber(spec.substr(0, cut), &number))
            throw PackError(2, "--message needs N=TEXT with N from 1 to 21, got " + spec);
        messages[number] = spec.substr(cut + 1);
    }
    bool languageGiven = !options.messageLanguage.empty();
    uint32_t language = kDefaultMessageLanguage;
    if (languageGiven && !parseLanguage(options.messageLanguage, &language))
        throw PackError(2, "--message-language needs a language id from 0 to 65535, got " + options.messageLanguage);
    // Nothing is read or built for an output that could not be written.
    checkOutputPath(options.out);

    std::vector<std::string> archivePaths;
    if (!options.config.empty()) {
        Bytes text = readFile(options.config, "configuration file", kMaxConfigBytes);
        ConfigFile config = parseConfig(std::string(text.begin(), text.end()), options.config,
                                        directoryOf(options.config));
        values = config.values;
        for (const auto& [number, message] : config.messages) messages.emplace(number, message);
        if (config.hasMessageLanguage && !languageGiven) {
            language = config.messageLanguage;
            languageGiven = true;
        }
        archivePaths = config.archives;
        if (options.icon.empty()) options.icon = config.icon;
        if (options.manifest.empty()) options.manifest = config.manifest;
    }
    for (const auto& [key, value] : sets) values[key] = value;
    archivePaths.insert(archivePaths.end(), options.archives.begin(), options.archives.end());

    // The stub is read and checked before the archives, which may be large.
    std::string stubPath = options.stub.empty() ? packerDirectory() + "vantrel.exe" : options.stub;
    Bytes stub = readFile(stubPath, "stub", kMaxStubBytes);
    bool pe = isPeImage(stub);
    const bool signedStub = pe && peIsSigned(stub);
    std::vector<Resource> resources;
    std::vector<Resource> packerResources;  // what an earlier pack wrote
    if (pe) {
        for (Resource& r : readPeResources(stub))
            (isPackerResource(r) ? packerResources : resources).push_back(std::move(r));
    } else if (isElfImage(stub)) {
        packerResources = readBundle(stub);
        stub = stripBundle(stub);
        checkElfImage(stub);
    } else {
        throw PackError(1, "stub is neither a PE nor an ELF executable: " + stubPath);
    }

    // A packed stub's own settings, messages and archives come first; what
    // is given here goes on top of them.
    StubContent carried = options.reset ? StubContent{} : readStubContent(packerResources);
    input.settings = carried.settings;
    for (const auto& [key, value] : values) input.settings[findSettingByName(key.c_str())->id] = value;
    for (const auto& [number, message] : carried.messages) messages.emplace(number, message);
    input.messages = messages;
    input.messageLanguage = languageGiven || carried.messages.empty() ? language : carried.messageLanguage;
    std::vector<std::string> replaced;
    input.payload = joinPayloads(carried, archivePaths, &replaced);
    if (!carried.settings.empty() || !carried.messages.empty() || !carried.archives.empty())
        std::printf("vantrel-pack: kept what %s carries (%zu settings, %zu messages, %zu archives); --reset "
                    "starts from the bare launcher\n",
                    shownText(stubPath).c_str(), carried.settings.size(), carried.messages.size(),
                    carried.archives.size());
    for (const std::string& name : replaced)
        std::printf("vantrel-pack: archive %s replaces the one the stub carries\n", shownText(name).c_str());
    packerResources.clear();
    // Checked for every stub, so that a bad icon or manifest is refused alike.
    DesktopInput desktop = readDesktopInput(options.icon, options.manifest, input.settings, options.out);
    if (pe) applyDesktopResources(resources, std::move(desktop), input.settings);

    for (Resource& r : buildResources(std::move(input))) resources.push_back(std::move(r));
    Bytes packed;
    if (pe) {
        packed = writePeResources(stub, resources);
    } else {
        packed = std::move(stub);
        appendBundle(packed, resources);
    }
    resources.clear();
    resources.shrink_to_fit();
    writeFileAtomically(options.out, packed, stubPath);
    if (signedStub)
        std::fprintf(stderr,
                     "vantrel-pack: note: the stub %s is signed; the signature is removed, as none can cover what "
                     "packing changes: sign %s now (see \"Signing\" in docs/reference.md)\n",
                     shownText(stubPath).c_str(), shownText(options.out).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const PackError& e) {
        // Messages name files and values from outside: shown escaped.
        std::fprintf(stderr, "vantrel-pack: %s\n", shownText(e.what()).c_str());
        return e.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vantrel-pack: out of memory\n");
        return 1;
    }
}

// The packer's PE reader and writer on hostile stubs: an image the reader
// accepts must be written with the packer's resources and read back to
// exactly the resources written, the written image must itself be valid and
// packing it again must change nothing (the resource section is rewritten in
// place), and the output may grow only by the resources and alignment. The
// same input read as an icon file exercises the icon reader.
#include <algorithm>
#include <tuple>
#include <vector>

#include "fuzz_check.h"
#include "pack.h"

using namespace pack;

namespace {

auto key(const Resource& r) { return std::tie(r.type, r.name, r.language); }

void sortResources(std::vector<Resource>& resources) {
    std::sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) { return key(a) < key(b); });
}

bool same(const std::vector<Resource>& a, const std::vector<Resource>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!(key(a[i]) == key(b[i])) || a[i].codepage != b[i].codepage || a[i].data != b[i].data) return false;
    return true;
}

// The same bytes as an icon file: an icon the packer accepts becomes a group
// that names each of its images once, every image a piece of the file.
void checkIcon(const Bytes& ico) {
    std::vector<Resource> icon;
    try {
        icon = iconResources(ico, "fuzz.ico");
    } catch (const PackError&) {
        return;
    }
    FUZZ_CHECK(icon.size() >= 2 && icon.back().type.number == kTypeGroupIcon);
    const Bytes& group = icon.back().data;
    FUZZ_CHECK(group.size() == 6 + 14 * (icon.size() - 1));
    for (size_t i = 0; i + 1 < icon.size(); ++i) {
        const Bytes& image = icon[i].data;
        FUZZ_CHECK(icon[i].type.number == kTypeIcon && icon[i].name.number == i + 1);
        FUZZ_CHECK(!image.empty() && std::search(ico.begin(), ico.end(), image.begin(), image.end()) != ico.end());
        FUZZ_CHECK(size_t(group[6 + 14 * i + 8] | group[6 + 14 * i + 9] << 8) == image.size() % 0x10000);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes image(data, data + size);
    checkIcon(image);
    if (!isPeImage(image)) return 0;
    std::vector<Resource> resources;
    try {
        for (Resource& r : readPeResources(image))
            if (!isPackerResource(r)) resources.push_back(std::move(r));
    } catch (const PackError&) {
        return 0;
    }
    PackInput input;
    input.settings[1012] = "com.example.Main";
    input.messages[1] = "Already running \u00e9";
    input.payload = Bytes(300, 0x5A);
    uint64_t added = 0;
    for (Resource& r : buildResources(input)) {
        added += r.data.size() + 64;
        resources.push_back(std::move(r));
    }
    for (const Resource& r : resources) added += 2 * (r.type.name.size() + r.name.name.size()) + 64;
    sortResources(resources);

    Bytes packed;
    try {
        packed = writePeResources(image, resources);
    } catch (const PackError&) {
        return 0;  // e.g. no room for another section header, or two resources of one name
    }
    FUZZ_CHECK(packed.size() <= image.size() + added + 2 * 0x10000);
    std::vector<Resource> back = readPeResources(packed);  // throws (and so fails) if the output is not valid
    sortResources(back);
    FUZZ_CHECK(same(back, resources));
    FUZZ_CHECK(writePeResources(packed, resources) == packed);
    return 0;
}

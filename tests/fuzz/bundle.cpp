// The resource bundle, read as the launcher reads it (trailer, offset,
// entries that must fill the bundle exactly) and as the packer strips it
// from a stub; both must agree, and a bundle they accept must be exactly
// what the packer writes for the resources read from it.
#include <vector>

#include "fuzz_check.h"
#include "pack.h"
#include "platform/bundle_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pack::Bytes image(data, data + size);
    bool trailer = size >= bundle::kTrailerSize && bundle::hasTrailer(data + size - bundle::kTrailerSize);
    uint64_t offset = 0;
    std::vector<bundle::Entry> entries;
    bool accepted = trailer && bundle::bundleOffset(data + size - bundle::kTrailerSize, size, &offset) &&
                    bundle::parseEntries(image.data() + offset, size - bundle::kTrailerSize - size_t(offset), &entries);
    FUZZ_CHECK(accepted || entries.empty());

    pack::Bytes stripped;
    bool stripThrew = false;
    try {
        stripped = pack::stripBundle(image);
    } catch (const pack::PackError&) {
        stripThrew = true;
    }
    if (!trailer) {
        FUZZ_CHECK(!stripThrew && stripped == image);
        return 0;
    }
    FUZZ_CHECK(stripThrew == !accepted);
    if (!accepted) return 0;
    FUZZ_CHECK(stripped == pack::Bytes(image.begin(), image.begin() + size_t(offset)));

    std::vector<pack::Resource> resources;
    for (const bundle::Entry& e : entries) {
        pack::Resource r;
        r.type = pack::numericId(e.type);
        r.name = pack::numericId(e.id);
        r.language = e.language;
        r.data.assign(e.data, e.data + e.size);
        resources.push_back(std::move(r));
    }
    pack::Bytes rebuilt = pack::buildBundle(resources, offset);
    FUZZ_CHECK(rebuilt == pack::Bytes(image.begin() + size_t(offset), image.end()));
    return 0;
}

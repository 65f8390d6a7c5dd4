// Test tool: converts byte strings given in hexadecimal with the platform's
// 8-bit to UTF-16 conversion and prints the UTF-16 units of each, one line
// per argument ("hex: units"), so that the end-to-end tests can compare the
// two sides.
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::vector<char> bytes;
        for (const char* p = argv[i]; p[0] != '\0' && p[1] != '\0'; p += 2) {
            unsigned value = 0;
            std::sscanf(p, "%2x", &value);
            bytes.push_back(static_cast<char>(value));
        }
        size_t count = bytes.empty() ? 0 : platform::narrowToWide(bytes.data(), bytes.size(), nullptr, 0);
        std::vector<uint16_t> units(count + 1);
        if (count > 0) platform::narrowToWide(bytes.data(), bytes.size(), units.data(), count);
        std::printf("%s:", argv[i]);
        for (size_t k = 0; k < count; ++k) std::printf(" %04X", units[k]);
        std::printf("\n");
    }
    return 0;
}

// Test tool: reads keys of a profile (INI) file through the platform's
// profile reader and prints one line per key, so that the end-to-end tests
// can compare what Windows (under Wine) and our POSIX reader make of the same
// file.
//
//   profile_dump [--default TEXT] [--cap N] FILE SECTION KEY [KEY...]
//
// Each line is "KEY<TAB>length<TAB>value". The value is escaped so that the
// line survives any console encoding: backslash, tab, CR and LF as \\ \t \r
// \n, every other byte outside 0x20..0x7E as \xHH. The buffer holds 4096
// bytes unless --cap asks for fewer (at most 4096); the bytes after the
// returned length are checked to be untouched beyond the terminator.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t kBufferSize = 4096;
constexpr unsigned char kFill = 0xA5;

void printEscaped(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') std::fputs("\\\\", stdout);
        else if (c == '\t') std::fputs("\\t", stdout);
        else if (c == '\r') std::fputs("\\r", stdout);
        else if (c == '\n') std::fputs("\\n", stdout);
        else if (c < 0x20 || c > 0x7E) std::printf("\\x%02X", c);
        else std::putchar(c);
    }
}

int usage() {
    std::fputs("usage: profile_dump [--default TEXT] [--cap N] FILE SECTION KEY [KEY...]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* defaultValue = "";
    size_t cap = kBufferSize;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--default") == 0) {
            defaultValue = argv[i + 1];
        } else if (std::strcmp(argv[i], "--cap") == 0) {
            long value = std::atol(argv[i + 1]);
            if (value < 1 || value > static_cast<long>(kBufferSize)) return usage();
            cap = static_cast<size_t>(value);
        } else {
            break;
        }
    }
    if (argc - i < 3) return usage();
    const char* file = argv[i];
    const char* section = argv[i + 1];

    // One spare byte beyond the capacity shows any write past it.
    static unsigned char buffer[kBufferSize + 1];
    int status = 0;
    for (int k = i + 2; k < argc; ++k) {
        std::memset(buffer, kFill, sizeof(buffer));
        char* text = reinterpret_cast<char*>(buffer);
        size_t length = platform::readProfileString(section, argv[k], defaultValue, text, cap, file);
        std::printf("%s\t%lu\t", argv[k], static_cast<unsigned long>(length));
        if (length >= cap || text[length] != '\0' || std::strlen(text) != length) {
            std::printf("!bad-termination");
            status = 1;
        } else {
            printEscaped(text, length);
        }
        if (buffer[cap] != kFill) {
            std::printf("\t!overrun");
            status = 1;
        }
        std::putchar('\n');
    }
    return status;
}

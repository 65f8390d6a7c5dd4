// POSIX side: resources come from the bundle the packer appends to the
// executable. (Placeholder until the bundle reader lands: no resources.)
#include "platform/platform.h"

namespace platform {

bool findStringBlock(unsigned, const uint8_t**, size_t*) { return false; }
bool findPayload(const uint8_t**, size_t*) { return false; }
int loadString(unsigned, char* buf, int cap) {
    if (cap > 0) buf[0] = '\0';
    return 0;
}

}  // namespace platform

// Test helper: takes the single-instance mutex of a given name the way the
// launcher does, says "held", and keeps it until it is killed.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hold_mutex NAME\n");
        return 2;
    }
    if (!platform::createNamedMutex(argv[1])) {
        std::fprintf(stderr, "hold_mutex: cannot create %s\n", argv[1]);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}

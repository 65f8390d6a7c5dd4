#include "core/placeholders.h"

#include <cstdlib>
#include <cstring>

#include "core/config.h"

char RegistryJavaHome[260];

// Values pass through unchanged until the expansion rules land.
char* expandPlaceholders(const char* text) { return duplicateText(text); }

ArgumentVector splitArguments(const char*) { return ArgumentVector{0, nullptr}; }

void freeArgumentVector(ArgumentVector* vector) {
    for (int32_t i = 0; i < vector->count; ++i) std::free(vector->items[i]);
    std::free(vector->items);
    *vector = ArgumentVector{0, nullptr};
}

char* prepareOutputFile(const char* path) { return expandPlaceholders(path); }

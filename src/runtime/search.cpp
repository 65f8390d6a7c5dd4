#include "runtime/jvm.h"

#include "report/report.h"

bool findJavaRuntime() {
    reportError("This launcher build cannot search for a Java runtime yet.");
    return false;
}

char* nextToken(char*, const char*, char**) { return nullptr; }

bool joinPath(char* out, size_t capacity, const char*, const char*) {
    if (capacity > 0) out[0] = '\0';
    return false;
}

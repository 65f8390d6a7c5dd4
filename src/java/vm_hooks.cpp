// Minimal hooks: they do what the VM would have done without them. The
// service's capture of the VM's output and the wait for the service's
// stopped report build on these names.
#include "java/vm_hooks.h"

#include <cstdlib>

extern "C" {

// The stream the VM hands in belongs to the VM's own C runtime, which on
// Windows need not be the launcher's; it is never touched. The VM's own
// messages are diagnostics, so they go to the launcher's standard error.
jint JNICALL vmOutputHook(FILE*, const char* format, va_list args) {
    return static_cast<jint>(std::vfprintf(stderr, format, args));
}

void JNICALL vmAbortHook() { std::abort(); }

void JNICALL vmExitHook(jint status) { std::exit(static_cast<int>(status)); }

}

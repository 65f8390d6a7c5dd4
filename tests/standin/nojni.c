/* A real DLL that is no Java runtime: it loads, but offers neither of the
   Invocation API entry points (or, built with VANTREL_CREATE_ONLY, only
   JNI_CreateJavaVM). The launcher must refuse it with message 6. */
#include <windows.h>

__declspec(dllexport) int vantrel_not_a_runtime(void) { return 1; }

#ifdef VANTREL_CREATE_ONLY
/* Never called: the launcher checks both entry points before it calls one. */
__declspec(dllexport) int JNI_CreateJavaVM(void** vm, void** env, void* args) {
    (void)vm;
    (void)env;
    (void)args;
    return -1;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

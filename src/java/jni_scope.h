// Small owners for JNI resources: a local reference deleted at the end of
// its scope, and a thread attached to the VM for the length of a scope.
#pragma once

#include <jni.h>

// A JNI local reference, deleted when it goes out of scope: the primary
// invocation runs in the creating thread's only frame, which never ends
// before the VM is destroyed.
template <typename T>
struct LocalRef {
    JNIEnv* env;
    T ref;
    LocalRef(JNIEnv* e, T r) : env(e), ref(r) {}
    ~LocalRef() {
        if (ref != nullptr) env->DeleteLocalRef(ref);
    }
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;
};

// Attaches the calling thread under a name; detaches again when the scope
// ends, if the attach succeeded (env is null when it did not).
struct AttachedThread {
    JavaVM* vm;
    JNIEnv* env = nullptr;
    AttachedThread(JavaVM* machine, const char* name) : vm(machine) {
        JavaVMAttachArgs attach{JNI_VERSION_1_2, const_cast<char*>(name), nullptr};
        if (vm->AttachCurrentThread(reinterpret_cast<void**>(&env), &attach) != JNI_OK) env = nullptr;
    }
    ~AttachedThread() {
        if (env != nullptr) vm->DetachCurrentThread();
    }
    AttachedThread(const AttachedThread&) = delete;
    AttachedThread& operator=(const AttachedThread&) = delete;
};

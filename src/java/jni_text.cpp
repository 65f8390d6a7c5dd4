#include "java/jni_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/launcher_config.h"
#include "java/jni_scope.h"
#include "platform/platform.h"
#include "report/report.h"

bool setSystemProperty(JNIEnv* env, const char* name, const char* value) {
    LocalRef<jstring> javaName(env, newJavaString(env, name));
    if (checkJavaException(env) || javaName.ref == nullptr) {
        reportError("%s", formatMessage(MsgInstantiate, "java/lang/String").text);
        return false;
    }
    LocalRef<jstring> javaValue(env, newJavaString(env, value));
    if (checkJavaException(env) || javaValue.ref == nullptr) {
        reportError("%s", formatMessage(MsgInstantiate, "java/lang/String").text);
        return false;
    }
    LocalRef<jclass> system(env, env->FindClass("java/lang/System"));
    if (checkJavaException(env) || system.ref == nullptr) {
        reportError("%s", formatMessage(MsgLocateClass, "java/lang/System").text);
        return false;
    }
    jmethodID setProperty =
        env->GetStaticMethodID(system.ref, "setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;");
    if (checkJavaException(env) || setProperty == nullptr) {
        reportError("%s", formatMessage(MsgLocateMethod, "setProperty").text);
        return false;
    }
    LocalRef<jobject> previous(env, env->CallStaticObjectMethod(system.ref, setProperty, javaName.ref, javaValue.ref));
    if (checkJavaException(env)) {
        reportError("%s", formatMessage(MsgInvokeMethod, "setProperty").text);
        return false;
    }
    return true;
}

jstring newJavaString(JNIEnv* env, const char* text) {
    if (text == nullptr) text = "";
    // Measured with the terminator, as the conversion of the active code
    // page does it; the Java string is made of the units before it.
    size_t length = std::strlen(text) + 1;
    size_t units = platform::narrowToWide(text, length, nullptr, 0);
    if (units == 0 || units - 1 > size_t(INT32_MAX)) return nullptr;
    auto* wide = static_cast<uint16_t*>(std::malloc(units * sizeof(uint16_t)));
    if (wide == nullptr) return nullptr;
    jstring result = nullptr;
    if (platform::narrowToWide(text, length, wide, units) == units)
        result = env->NewString(reinterpret_cast<const jchar*>(wide), static_cast<jsize>(units - 1));
    std::free(wide);
    return result;
}

char* throwableText(JNIEnv* env, jthrowable thrown) {
    if (thrown == nullptr) return nullptr;
    LocalRef<jclass> type(env, env->GetObjectClass(thrown));
    jmethodID toString = type.ref != nullptr ? env->GetMethodID(type.ref, "toString", "()Ljava/lang/String;") : nullptr;
    LocalRef<jstring> text(env, toString != nullptr ? static_cast<jstring>(env->CallObjectMethod(thrown, toString))
                                                    : nullptr);
    if (env->ExceptionCheck() || text.ref == nullptr) {
        env->ExceptionClear();  // a second failure is not worth a report of its own
        return nullptr;
    }
    const jsize units = env->GetStringLength(text.ref);
    auto* wide = static_cast<uint16_t*>(std::malloc((size_t(units) + 1) * sizeof(uint16_t)));
    if (wide == nullptr) std::abort();
    env->GetStringRegion(text.ref, 0, units, reinterpret_cast<jchar*>(wide));
    size_t bytes = platform::wideToNarrow(wide, size_t(units), nullptr, 0);
    char* narrow = static_cast<char*>(std::malloc(bytes + 1));
    if (narrow == nullptr) std::abort();
    if (bytes == 0 || platform::wideToNarrow(wide, size_t(units), narrow, bytes) != bytes) bytes = 0;
    narrow[bytes] = '\0';
    std::free(wide);
    return narrow;
}

bool checkJavaException(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionDescribe();  // the VM prints it with its stack trace on System.err
    env->ExceptionClear();
    return true;
}

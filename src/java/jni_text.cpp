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

bool checkJavaException(JNIEnv* env) {
    if (!env->ExceptionCheck()) return false;
    env->ExceptionDescribe();  // the VM prints it with its stack trace on System.err
    env->ExceptionClear();
    return true;
}

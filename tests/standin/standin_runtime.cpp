// Vantrel test stand-in runtime: a DLL with the two Invocation API exports
// and the JNI function-table entries the launcher calls, over small fake
// objects. It is not a Java VM and says so on its first line. It lets the
// Windows lane check what the launcher hands to a runtime (options, system
// properties, the String[] of main) and how it reacts to what a runtime
// answers (missing class or method, exceptions, refused options, exit).
//
// Everything it observes is printed on stdout, one line each, with the
// prefix "standin ". Its behaviour comes from the VM options:
//   -Dstandin.script=STEP,STEP,...   what main does, in order:
//       args          print "standin main arg[i]=..." for each argument
//       throw         leave a pending exception (ExceptionDescribe prints it)
//       exit=N        System.exit(N): the "exit" hook, or the process ends
//       hold          when arguments 0 and 1 are "--hold" FILE, wait until
//                     FILE exists (or a stop arrives), then go on
//       noclass       FindClass of the main class fails
//       nomain        the main class has no main method
//       noattach      AttachCurrentThread fails
//       failprop=NAME System.setProperty(NAME, ...) throws
//   Without a script, main prints its arguments.
// Options it does not know (for example -Xbogus) are refused with
// JNI_EINVAL unless ignoreUnrecognized is set, as a real runtime does.
// Like a real runtime it keeps the archives of its class path open for the
// rest of its life, shared for reading and writing but not for deleting.
#define _JNI_IMPLEMENTATION_
#include <jni.h>
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Object {
    enum class Kind { Class, String, Array, Throwable } kind;
    std::string text;  // class name, string value (UTF-8) or exception text
    std::vector<Object*> elements;
};

enum class Method { Main, SetProperty, Exit };

Method kMainMethod = Method::Main;
Method kSetPropertyMethod = Method::SetProperty;
Method kExitMethod = Method::Exit;

std::vector<std::string> Script;
std::vector<std::pair<std::string, std::string>> Properties;
thread_local Object* Pending = nullptr;
std::atomic<long> LocalReferences{0};
std::atomic<int> MainCalls{0};
std::atomic<bool> StopRequested{false};

jint(JNICALL* VfprintfHook)(FILE*, const char*, va_list) = nullptr;
void(JNICALL* ExitHook)(jint) = nullptr;

JNINativeInterface_ Functions;
JNIEnv_ Env;
JNIInvokeInterface_ InvokeFunctions;
JavaVM_ Vm;

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("standin ", stdout);
    std::vfprintf(stdout, format, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(args);
}

// A runtime's own diagnostics go through the "vfprintf" hook when one is set.
void diagnostic(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (VfprintfHook != nullptr) {
        VfprintfHook(stderr, format, args);
    } else {
        std::vfprintf(stderr, format, args);
        std::fflush(stderr);
    }
    va_end(args);
}

bool scriptHas(const char* step) {
    for (const std::string& s : Script)
        if (s == step) return true;
    return false;
}

std::string scriptValue(const char* key) {
    std::string prefix = std::string(key) + "=";
    for (const std::string& s : Script)
        if (s.compare(0, prefix.size(), prefix) == 0) return s.substr(prefix.size());
    return {};
}

jobject local(Object* object) {
    if (object != nullptr) ++LocalReferences;
    return reinterpret_cast<jobject>(object);
}

Object* object(jobject ref) { return reinterpret_cast<Object*>(ref); }

void raise(const char* throwable, const std::string& message) {
    Pending = new Object{Object::Kind::Throwable, std::string(throwable) + ": " + message, {}};
}

std::string toUtf8(const jchar* units, jsize length) {
    if (length <= 0) return {};
    const wchar_t* wide = reinterpret_cast<const wchar_t*>(units);
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), n, nullptr, nullptr);
    return text;
}

[[noreturn]] void systemExit(jint status) {
    say("exit %ld", static_cast<long>(status));
    if (ExitHook != nullptr) ExitHook(status);
    std::exit(static_cast<int>(status));
}

// ---- JNI functions -------------------------------------------------------

jclass JNICALL findClass(JNIEnv*, const char* name) {
    std::string text = name;
    bool builtIn = text == "java/lang/String" || text == "java/lang/System";
    if (!builtIn && scriptHas("noclass")) {
        raise("java.lang.NoClassDefFoundError", text);
        return nullptr;
    }
    say("class %s", name);
    return static_cast<jclass>(local(new Object{Object::Kind::Class, text, {}}));
}

jmethodID JNICALL getStaticMethodID(JNIEnv*, jclass cls, const char* name, const char* signature) {
    const std::string& owner = object(cls)->text;
    std::string method = name;
    std::string sig = signature;
    if (owner == "java/lang/System") {
        if (method == "setProperty" && sig == "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;")
            return reinterpret_cast<jmethodID>(&kSetPropertyMethod);
        if (method == "exit" && sig == "(I)V") return reinterpret_cast<jmethodID>(&kExitMethod);
    } else if (method == "main" && sig == "([Ljava/lang/String;)V" && !scriptHas("nomain")) {
        return reinterpret_cast<jmethodID>(&kMainMethod);
    }
    raise("java.lang.NoSuchMethodError", method + sig);
    return nullptr;
}

jboolean JNICALL exceptionCheck(JNIEnv*) { return Pending != nullptr ? JNI_TRUE : JNI_FALSE; }

void JNICALL exceptionDescribe(JNIEnv*) {
    if (Pending == nullptr) return;
    // Not a Java stack trace: the stand-in has no Java code to trace.
    std::fprintf(stderr, "standin exception: %s\nstandin exception: (raised by the stand-in script)\n",
                 Pending->text.c_str());
    std::fflush(stderr);
    Pending = nullptr;  // describing clears the exception, as a real runtime does
}

void JNICALL exceptionClear(JNIEnv*) { Pending = nullptr; }

void JNICALL deleteLocalRef(JNIEnv*, jobject ref) {
    if (ref != nullptr) --LocalReferences;
}

jstring JNICALL newString(JNIEnv*, const jchar* units, jsize length) {
    return static_cast<jstring>(local(new Object{Object::Kind::String, toUtf8(units, length), {}}));
}

jobjectArray JNICALL newObjectArray(JNIEnv*, jsize length, jclass, jobject initial) {
    if (length < 0) {
        raise("java.lang.NegativeArraySizeException", std::to_string(length));
        return nullptr;
    }
    auto* array = new Object{Object::Kind::Array, {}, {}};
    array->elements.assign(static_cast<size_t>(length), object(initial));
    return static_cast<jobjectArray>(local(array));
}

void JNICALL setObjectArrayElement(JNIEnv*, jobjectArray array, jsize index, jobject value) {
    Object* target = object(array);
    if (index < 0 || static_cast<size_t>(index) >= target->elements.size()) {
        raise("java.lang.ArrayIndexOutOfBoundsException", std::to_string(index));
        return;
    }
    target->elements[static_cast<size_t>(index)] = object(value);
}

jobject setProperty(jstring name, jstring value) {
    std::string key = object(name)->text;
    std::string text = object(value)->text;
    if (!scriptValue("failprop").empty() && scriptValue("failprop") == key) {
        raise("java.lang.SecurityException", "setProperty " + key);
        return nullptr;
    }
    say("property %s=%s", key.c_str(), text.c_str());
    for (auto& property : Properties) {
        if (property.first == key) {
            std::string previous = property.second;
            property.second = text;
            return local(new Object{Object::Kind::String, previous, {}});
        }
    }
    Properties.emplace_back(key, text);
    return nullptr;
}

void holdUntilReleased(Object* arguments) {
    if (arguments->elements.size() < 2 || arguments->elements[0] == nullptr ||
        arguments->elements[0]->text != "--hold" || arguments->elements[1] == nullptr)
        return;
    std::string file = arguments->elements[1]->text;
    say("main holding until %s exists", file.c_str());
    for (int i = 0; i < 1200 && !StopRequested; ++i) {
        if (GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(50);
    }
    say("main released");
}

void runMain(Object* arguments) {
    int call = ++MainCalls;
    if (call > 1) StopRequested = true;  // a second call (stop arguments) releases a holding main
    say("main call %d on thread %lu", call, static_cast<unsigned long>(GetCurrentThreadId()));
    std::vector<std::string> steps = Script;
    if (steps.empty()) steps.push_back("args");
    for (const std::string& step : steps) {
        if (step == "args") {
            say("main argc=%zu", arguments->elements.size());
            for (size_t i = 0; i < arguments->elements.size(); ++i) {
                Object* element = arguments->elements[i];
                say("main arg[%zu]=%s", i, element != nullptr ? element->text.c_str() : "<null>");
            }
        } else if (step == "throw") {
            raise("java.lang.IllegalStateException", "scripted failure");
            return;
        } else if (step.compare(0, 5, "exit=") == 0) {
            systemExit(static_cast<jint>(std::atoi(step.c_str() + 5)));
        } else if (step == "hold") {
            holdUntilReleased(arguments);
        }
    }
}

void JNICALL callStaticVoidMethodV(JNIEnv*, jclass, jmethodID method, va_list args) {
    Method* which = reinterpret_cast<Method*>(method);
    if (*which == Method::Main) {
        runMain(object(va_arg(args, jobjectArray)));
    } else if (*which == Method::Exit) {
        systemExit(va_arg(args, jint));
    }
}

jobject JNICALL callStaticObjectMethodV(JNIEnv*, jclass, jmethodID method, va_list args) {
    if (*reinterpret_cast<Method*>(method) != Method::SetProperty) {
        raise("java.lang.IllegalArgumentException", "not an object method");
        return nullptr;
    }
    jstring name = va_arg(args, jstring);
    jstring value = va_arg(args, jstring);
    return setProperty(name, value);
}

// Every entry the launcher has no business calling stops the process with
// the entry's number, so that a test shows at once what is missing. (The
// C++ call wrappers of jni.h reach only the ...V forms.)
template <size_t N>
void JNICALL unsupported() {
    std::fprintf(stderr, "standin: JNI function table entry %zu is not implemented\n", N);
    std::fflush(stderr);
    std::abort();
}

template <size_t... I>
void fillUnsupported(void** slots, std::index_sequence<I...>) {
    ((slots[I] = reinterpret_cast<void*>(&unsupported<I>)), ...);
}

// ---- Invocation interface ------------------------------------------------

jint JNICALL destroyJavaVm(JavaVM*) {
    say("destroy, local references left: %ld", static_cast<long>(LocalReferences));
    return JNI_OK;
}

jint JNICALL attachCurrentThread(JavaVM*, void** penv, void* args) {
    auto* attach = static_cast<JavaVMAttachArgs*>(args);
    say("attach version=0x%lx name=%s group=%s", attach != nullptr ? static_cast<unsigned long>(attach->version) : 0ul,
        attach != nullptr && attach->name != nullptr ? attach->name : "<none>",
        attach != nullptr && attach->group != nullptr ? "set" : "none");
    if (scriptHas("noattach")) return JNI_ERR;
    *penv = &Env;
    return JNI_OK;
}

jint JNICALL detachCurrentThread(JavaVM*) {
    say("detach");
    return JNI_OK;
}

void setUpTables() {
    constexpr size_t slotCount = sizeof(JNINativeInterface_) / sizeof(void*);
    fillUnsupported(reinterpret_cast<void**>(&Functions), std::make_index_sequence<slotCount>());
    Functions.FindClass = findClass;
    Functions.GetStaticMethodID = getStaticMethodID;
    Functions.ExceptionCheck = exceptionCheck;
    Functions.ExceptionDescribe = exceptionDescribe;
    Functions.ExceptionClear = exceptionClear;
    Functions.DeleteLocalRef = deleteLocalRef;
    Functions.NewString = newString;
    Functions.NewObjectArray = newObjectArray;
    Functions.SetObjectArrayElement = setObjectArrayElement;
    Functions.CallStaticVoidMethodV = callStaticVoidMethodV;
    Functions.CallStaticObjectMethodV = callStaticObjectMethodV;
    Env.functions = &Functions;

    constexpr size_t invokeSlots = sizeof(JNIInvokeInterface_) / sizeof(void*);
    fillUnsupported(reinterpret_cast<void**>(&InvokeFunctions), std::make_index_sequence<invokeSlots>());
    InvokeFunctions.reserved0 = nullptr;
    InvokeFunctions.reserved1 = nullptr;
    InvokeFunctions.reserved2 = nullptr;
    InvokeFunctions.DestroyJavaVM = destroyJavaVm;
    InvokeFunctions.AttachCurrentThread = attachCurrentThread;
    InvokeFunctions.DetachCurrentThread = detachCurrentThread;
    Vm.functions = &InvokeFunctions;
}

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool recognised(const char* option) {
    static const char* const known[] = {"-D",       "-XX:",        "-Xmx",       "-Xms",        "-Xss",
                                        "-Xrs",     "-Xint",       "-Xcheck:",   "-verbose",    "-ea",
                                        "-da",      "-esa",        "-dsa",       "-javaagent:", "-agentlib:",
                                        "-agentpath:", "--add-opens", "--add-exports", "--enable-preview"};
    for (const char* prefix : known)
        if (startsWith(option, prefix)) return true;
    return false;
}

void holdClassPathFiles(const std::string& classPath) {
    std::istringstream entries(classPath);
    for (std::string entry; std::getline(entries, entry, ';');) {
        DWORD attributes = GetFileAttributesA(entry.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // Never closed: the process's end releases them.
        CreateFileA(entry.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    }
}

void splitScript(const std::string& text) {
    Script.clear();
    std::istringstream steps(text);
    for (std::string step; std::getline(steps, step, ',');)
        if (!step.empty()) Script.push_back(step);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL JNI_GetDefaultJavaVMInitArgs(void* args) {
    auto* init = static_cast<JavaVMInitArgs*>(args);
    if (init != nullptr) init->version = JNI_VERSION_1_8;
    return JNI_OK;
}

JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* vargs) {
    say("%s", "runtime: Vantrel test stand-in runtime, not a Java VM");
    setUpTables();
    auto* init = static_cast<JavaVMInitArgs*>(vargs);
    say("init version=0x%lx options=%ld ignoreUnrecognized=%s", static_cast<unsigned long>(init->version),
        static_cast<long>(init->nOptions), init->ignoreUnrecognized ? "true" : "false");
    char directory[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryA(sizeof(directory), directory);
    if (length > 0 && length < sizeof(directory)) say("init directory=%s", directory);  // where a VM fixes its own
    if (init->version < JNI_VERSION_1_2) return JNI_EVERSION;
    for (jint i = 0; i < init->nOptions; ++i) {
        const JavaVMOption& option = init->options[i];
        const char* text = option.optionString;
        if (std::strcmp(text, "vfprintf") == 0 || std::strcmp(text, "exit") == 0 || std::strcmp(text, "abort") == 0) {
            say("option: %s (hook %s)", text, option.extraInfo != nullptr ? "set" : "null");
            if (text[0] == 'v') VfprintfHook = reinterpret_cast<decltype(VfprintfHook)>(option.extraInfo);
            if (text[0] == 'e') ExitHook = reinterpret_cast<decltype(ExitHook)>(option.extraInfo);
            continue;
        }
        say("option: %s", text);
        if (!recognised(text)) {
            diagnostic("standin: Unrecognized option: %s\n", text);
            if (!init->ignoreUnrecognized) return JNI_EINVAL;
            continue;
        }
        if (startsWith(text, "-D")) {
            const char* equals = std::strchr(text, '=');
            std::string key = equals != nullptr ? std::string(text + 2, equals) : std::string(text + 2);
            std::string value = equals != nullptr ? std::string(equals + 1) : std::string();
            if (key == "standin.script") splitScript(value);
            if (key == "java.class.path") holdClassPathFiles(value);
            Properties.emplace_back(key, value);
        }
    }
    *pvm = &Vm;
    *penv = &Env;
    return JNI_OK;
}

}  // extern "C"

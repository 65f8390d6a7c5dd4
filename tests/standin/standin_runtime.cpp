// Vantrel test stand-in runtime: a DLL with the two Invocation API exports
// and the JNI function-table entries the launcher calls, over small fake
// objects. It is not a Java VM and says so on its first line. It lets the
// Windows lane check what the launcher hands to a runtime (options, system
// properties, the String[] of main) and how it reacts to what a runtime
// answers (missing class or method, exceptions, refused options, exit).
//
// Everything it observes is printed on stdout, one line each, with the
// prefix "standin " (or appended to the file that the option
// -Dstandin.log=FILE names: a service-mode launcher gives its standard
// streams to a console of its own, and a service gets its environment from
// the service manager). Its behaviour comes from the VM options:
//   -Dstandin.script=STEP,STEP,...   what main does, in order:
//       args          print "standin main arg[i]=..." for each argument
//       throw         leave a pending exception (ExceptionDescribe prints it)
//       exit=N        System.exit(N): the "exit" hook, or the process ends
//       hold          when arguments 0 and 1 are "--hold" FILE, wait until
//                     FILE exists (or a stop arrives), then go on
//       ignorestop    a hold waits for its file alone: a stop (a refused
//                     exit, a second call of main) does not release it
//       noclass       FindClass of the main class fails
//       toonew        FindClass of the main class fails as for a class built
//                     for a newer Java (UnsupportedClassVersionError)
//       nomain        the main class has no main method
//       noattach      AttachCurrentThread fails
//       failprop=NAME System.setProperty(NAME, ...) throws
//       out=TEXT      System.out.println(TEXT); err=TEXT likewise System.err
//       env=NAME      print "standin env NAME=value" (or <unset>), as the
//                     process's environment holds it
//       lines=N:W     System.out.println of N lines "line i", each padded
//                     with '.' to W characters
//       vmlog=TEXT    the runtime prints TEXT through the "vfprintf" hook,
//                     from a thread of its own, as HotSpot's threads do
//       refuseexit    System.exit throws a SecurityException (the exit is
//                     refused, and a holding main is released)
//       abort         the runtime aborts: the "abort" hook, then abort()
//   At creation, an option -Dstandin.createlog=TEXT is printed through the
//   "vfprintf" hook on the creating thread, as HotSpot does with its logs,
//   and -Dstandin.createms=N makes the creation take N ms longer.
//   System.setOut / System.setErr take PrintStreams over FileOutputStreams
//   that open their path the way Java does (CreateFileW, GENERIC_WRITE,
//   CREATE_ALWAYS or, to append, OPEN_ALWAYS with writes at the end).
//   Without a script, main prints its arguments.
// Given -XX:DumpLoadedClassList=FILE it writes a class list into FILE at
// creation; given -Xshare:dump it reads the list that
// -XX:SharedClassListFile names and writes -XX:SharedArchiveFile, then ends
// the process as Java 17 does: status 0, or 1 when either fails.
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
    enum class Kind { Class, String, Array, Throwable, FileStream, PrintStream } kind;
    std::string text;  // class name, string value (UTF-8), exception text or path
    std::vector<Object*> elements;  // array elements; a print stream's file stream
    HANDLE file = INVALID_HANDLE_VALUE;
    bool append = false;
};

enum class Method { Main, SetProperty, Exit, SetOut, SetErr, FileStreamInit, PrintStreamInit, ToString };

Method kMainMethod = Method::Main;
Method kSetPropertyMethod = Method::SetProperty;
Method kExitMethod = Method::Exit;
Method kSetOutMethod = Method::SetOut;
Method kSetErrMethod = Method::SetErr;
Method kFileStreamInit = Method::FileStreamInit;
Method kPrintStreamInit = Method::PrintStreamInit;
Method kToString = Method::ToString;

std::vector<std::string> Script;
std::vector<std::pair<std::string, std::string>> Properties;
thread_local Object* Pending = nullptr;
std::atomic<long> LocalReferences{0};
std::atomic<int> MainCalls{0};
std::atomic<bool> StopRequested{false};

jint(JNICALL* VfprintfHook)(FILE*, const char*, va_list) = nullptr;
void(JNICALL* ExitHook)(jint) = nullptr;
void(JNICALL* AbortHook)() = nullptr;
Object* SystemOut = nullptr;  // the PrintStreams of System.setOut / setErr
Object* SystemErr = nullptr;

JNINativeInterface_ Functions;
JNIEnv_ Env;
JNIInvokeInterface_ InvokeFunctions;
JavaVM_ Vm;

std::string LogPath;  // -Dstandin.log, read before the first line is said

void say(const char* format, ...) {
    static FILE* log = [] {
        FILE* file = !LogPath.empty() ? std::fopen(LogPath.c_str(), "a") : nullptr;
        return file != nullptr ? file : stdout;
    }();
    va_list args;
    va_start(args, format);
    std::fputs("standin ", log);
    std::vfprintf(log, format, args);
    std::fputc('\n', log);
    std::fflush(log);
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

void systemExit(jint status) {
    if (scriptHas("refuseexit")) {
        say("exit %ld refused", static_cast<long>(status));
        StopRequested = true;
        raise("java.lang.SecurityException", "exit refused");
        return;
    }
    say("exit %ld", static_cast<long>(status));
    if (ExitHook != nullptr) ExitHook(status);
    std::exit(static_cast<int>(status));
}

// ---- JNI functions -------------------------------------------------------

jclass JNICALL findClass(JNIEnv*, const char* name) {
    std::string text = name;
    bool builtIn = text == "java/lang/String" || text == "java/lang/System" || text == "java/io/FileOutputStream" ||
                   text == "java/io/PrintStream";
    if (!builtIn && scriptHas("noclass")) {
        raise("java.lang.NoClassDefFoundError", text);
        return nullptr;
    }
    if (!builtIn && scriptHas("toonew")) {
        raise("java.lang.UnsupportedClassVersionError",
              text + " has been compiled by a more recent version of the Java Runtime (class file version 69.0), "
                     "this version of the Java Runtime only recognizes class file versions up to 61.0");
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
        if (method == "setOut" && sig == "(Ljava/io/PrintStream;)V") return reinterpret_cast<jmethodID>(&kSetOutMethod);
        if (method == "setErr" && sig == "(Ljava/io/PrintStream;)V") return reinterpret_cast<jmethodID>(&kSetErrMethod);
    } else if (method == "main" && sig == "([Ljava/lang/String;)V" && !scriptHas("nomain")) {
        return reinterpret_cast<jmethodID>(&kMainMethod);
    }
    raise("java.lang.NoSuchMethodError", method + sig);
    return nullptr;
}

jmethodID JNICALL getMethodID(JNIEnv*, jclass cls, const char* name, const char* signature) {
    const std::string& owner = object(cls)->text;
    std::string method = std::string(name) + signature;
    if (owner == "java/io/FileOutputStream" && method == "<init>(Ljava/lang/String;Z)V")
        return reinterpret_cast<jmethodID>(&kFileStreamInit);
    if (owner == "java/io/PrintStream" && method == "<init>(Ljava/io/OutputStream;)V")
        return reinterpret_cast<jmethodID>(&kPrintStreamInit);
    if (method == "toString()Ljava/lang/String;") return reinterpret_cast<jmethodID>(&kToString);
    raise("java.lang.NoSuchMethodError", method);
    return nullptr;
}

// FileOutputStream(String, boolean) as Java opens it on Windows.
Object* openFileStream(Object* path, jboolean append) {
    int units = MultiByteToWideChar(CP_UTF8, 0, path->text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path->text.c_str(), -1, wide.data(), units);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        raise("java.io.FileNotFoundException", path->text + " (error " + std::to_string(GetLastError()) + ")");
        return nullptr;
    }
    say("open %s%s", path->text.c_str(), append ? " (append)" : "");
    auto* stream = new Object{Object::Kind::FileStream, path->text, {}};
    stream->file = file;
    stream->append = append != JNI_FALSE;
    return stream;
}

jobject JNICALL newObjectV(JNIEnv*, jclass, jmethodID method, va_list args) {
    Method which = *reinterpret_cast<Method*>(method);
    if (which == Method::FileStreamInit) {
        Object* path = object(va_arg(args, jobject));
        jboolean append = static_cast<jboolean>(va_arg(args, int));
        return local(openFileStream(path, append));
    }
    if (which == Method::PrintStreamInit) {
        Object* target = object(va_arg(args, jobject));
        return local(new Object{Object::Kind::PrintStream, target->text, {target}});
    }
    raise("java.lang.InstantiationError", "not a constructor");
    return nullptr;
}

// println on a System stream: a PrintStream's file, or the console.
void println(Object* stream, FILE* console, const std::string& text) {
    std::string line = text + "\r\n";  // Java's line.separator on Windows
    if (stream == nullptr) {
        std::fputs(line.c_str(), console);
        std::fflush(console);
        return;
    }
    HANDLE file = stream->elements[0]->file;
    // Java writes an appending stream at the end, through an OVERLAPPED
    // record whose offset says "end of file"; otherwise at its position.
    OVERLAPPED atEnd{};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written,
              stream->elements[0]->append ? &atEnd : nullptr);
}

DWORD WINAPI vmLogThread(LPVOID text) {
    diagnostic("%s\n", static_cast<const std::string*>(text)->c_str());
    return 0;
}

// The runtime's own message from a thread of its own, waited for.
void logFromVmThread(const std::string& text) {
    HANDLE thread = CreateThread(nullptr, 0, vmLogThread, const_cast<std::string*>(&text), 0, nullptr);
    if (thread == nullptr) return;
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
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

jthrowable JNICALL exceptionOccurred(JNIEnv*) { return static_cast<jthrowable>(local(Pending)); }

// Every object's class is "java/lang/Object" here; toString is all the
// launcher asks of one.
jclass JNICALL getObjectClass(JNIEnv*, jobject) {
    return static_cast<jclass>(local(new Object{Object::Kind::Class, "java/lang/Object", {}}));
}

jobject JNICALL callObjectMethodV(JNIEnv*, jobject target, jmethodID method, va_list) {
    if (*reinterpret_cast<Method*>(method) != Method::ToString) {
        raise("java.lang.IllegalArgumentException", "not an object method");
        return nullptr;
    }
    return local(new Object{Object::Kind::String, object(target)->text, {}});
}

std::wstring utf16Of(const std::string& text) {
    int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), wide.data(), units);
    return wide;
}

jsize JNICALL getStringLength(JNIEnv*, jstring text) { return static_cast<jsize>(utf16Of(object(text)->text).size()); }

void JNICALL getStringRegion(JNIEnv*, jstring text, jsize start, jsize length, jchar* out) {
    std::wstring wide = utf16Of(object(text)->text);
    for (jsize i = 0; i < length; ++i) out[i] = static_cast<jchar>(wide[static_cast<size_t>(start + i)]);
}

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
    for (int i = 0; i < 1200 && (!StopRequested || scriptHas("ignorestop")); ++i) {
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
        } else if (step.compare(0, 4, "out=") == 0) {
            println(SystemOut, stdout, step.substr(4));
        } else if (step.compare(0, 4, "err=") == 0) {
            println(SystemErr, stderr, step.substr(4));
        } else if (step.compare(0, 6, "lines=") == 0) {
            int count = std::atoi(step.c_str() + 6);
            size_t colon = step.find(':');
            size_t width = colon != std::string::npos ? static_cast<size_t>(std::atoi(step.c_str() + colon + 1)) : 0;
            for (int i = 0; i < count; ++i) {
                std::string line = "line " + std::to_string(i);
                if (line.size() < width) line.append(width - line.size(), '.');
                println(SystemOut, stdout, line);
            }
        } else if (step.compare(0, 4, "env=") == 0) {
            char value[1024];
            DWORD n = GetEnvironmentVariableA(step.c_str() + 4, value, sizeof(value));
            say("env %s=%s", step.c_str() + 4, n > 0 && n < sizeof(value) ? value : "<unset>");
        } else if (step.compare(0, 6, "vmlog=") == 0) {
            logFromVmThread(step.substr(6));
        } else if (step == "abort") {
            say("abort");
            if (AbortHook != nullptr) AbortHook();
            std::abort();
        }
        if (Pending != nullptr) return;  // a refused exit
    }
}

void JNICALL callStaticVoidMethodV(JNIEnv*, jclass, jmethodID method, va_list args) {
    Method* which = reinterpret_cast<Method*>(method);
    if (*which == Method::Main) {
        runMain(object(va_arg(args, jobjectArray)));
    } else if (*which == Method::Exit) {
        systemExit(va_arg(args, jint));
    } else if (*which == Method::SetOut || *which == Method::SetErr) {
        Object* stream = object(va_arg(args, jobject));
        say("%s %s", *which == Method::SetOut ? "setOut" : "setErr", stream != nullptr ? stream->text.c_str() : "null");
        (*which == Method::SetOut ? SystemOut : SystemErr) = stream;
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
    Functions.GetMethodID = getMethodID;
    Functions.NewObjectV = newObjectV;
    Functions.ExceptionCheck = exceptionCheck;
    Functions.ExceptionDescribe = exceptionDescribe;
    Functions.ExceptionClear = exceptionClear;
    Functions.ExceptionOccurred = exceptionOccurred;
    Functions.GetObjectClass = getObjectClass;
    Functions.CallObjectMethodV = callObjectMethodV;
    Functions.GetStringLength = getStringLength;
    Functions.GetStringRegion = getStringRegion;
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
                                        "-agentpath:", "--add-opens", "--add-exports", "--enable-preview",
                                        "-Xlog:", "-Xshare:"};
    for (const char* prefix : known)
        if (startsWith(option, prefix)) return true;
    return false;
}

bool hasOption(const JavaVMInitArgs* init, const char* option) {
    for (jint i = 0; i < init->nOptions; ++i)
        if (std::strcmp(init->options[i].optionString, option) == 0) return true;
    return false;
}

// The value of the last option with that prefix, "" for none.
std::string optionValue(const JavaVMInitArgs* init, const char* prefix) {
    std::string value;
    for (jint i = 0; i < init->nOptions; ++i)
        if (startsWith(init->options[i].optionString, prefix))
            value = init->options[i].optionString + std::strlen(prefix);
    return value;
}

bool writeFile(const std::string& path, const char* text) {
    FILE* file = !path.empty() ? std::fopen(path.c_str(), "wb") : nullptr;
    if (file == nullptr) return false;
    const bool written = std::fputs(text, file) >= 0;
    return std::fclose(file) == 0 && written;
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
    auto* init = static_cast<JavaVMInitArgs*>(vargs);
    for (jint i = 0; i < init->nOptions; ++i)
        if (startsWith(init->options[i].optionString, "-Dstandin.log="))
            LogPath = init->options[i].optionString + std::strlen("-Dstandin.log=");
    say("%s", "runtime: Vantrel test stand-in runtime, not a Java VM");
    setUpTables();
    say("init version=0x%lx options=%ld ignoreUnrecognized=%s", static_cast<unsigned long>(init->version),
        static_cast<long>(init->nOptions), init->ignoreUnrecognized ? "true" : "false");
    char directory[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryA(sizeof(directory), directory);
    if (length > 0 && length < sizeof(directory)) say("init directory=%s", directory);  // where a VM fixes its own
    if (init->version < JNI_VERSION_1_2) return JNI_EVERSION;
    std::string createLog;
    for (jint i = 0; i < init->nOptions; ++i) {
        const JavaVMOption& option = init->options[i];
        const char* text = option.optionString;
        if (std::strcmp(text, "vfprintf") == 0 || std::strcmp(text, "exit") == 0 || std::strcmp(text, "abort") == 0) {
            say("option: %s (hook %s)", text, option.extraInfo != nullptr ? "set" : "null");
            if (text[0] == 'v') VfprintfHook = reinterpret_cast<decltype(VfprintfHook)>(option.extraInfo);
            if (text[0] == 'e') ExitHook = reinterpret_cast<decltype(ExitHook)>(option.extraInfo);
            if (text[0] == 'a') AbortHook = reinterpret_cast<decltype(AbortHook)>(option.extraInfo);
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
            if (key == "standin.createlog") createLog = value;
            if (key == "standin.createms") Sleep(static_cast<DWORD>(std::atoi(value.c_str())));
            Properties.emplace_back(key, value);
        }
    }
    if (!optionValue(init, "-XX:DumpLoadedClassList=").empty())
        writeFile(optionValue(init, "-XX:DumpLoadedClassList="), "vt/App\njava/lang/Object id: 1\n");
    if (hasOption(init, "-Xshare:dump")) {
        std::string list = optionValue(init, "-XX:SharedClassListFile=");
        FILE* file = std::fopen(list.c_str(), "rb");
        const bool listed = file != nullptr && std::fgetc(file) != EOF;
        if (file != nullptr) std::fclose(file);
        const bool dumped = listed && writeFile(optionValue(init, "-XX:SharedArchiveFile="), "standin static archive");
        say("dump %s", dumped ? "written" : "failed");
        std::exit(dumped ? 0 : 1);
    }
    // Once every option (the hooks come last) is known.
    if (!createLog.empty()) diagnostic("%s\n", createLog.c_str());
    *pvm = &Vm;
    *penv = &Env;
    return JNI_OK;
}

}  // extern "C"

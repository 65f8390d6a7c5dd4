// The JNI calls every part of the Java side makes: strings handed to Java,
// system properties, and the check after each call.
#pragma once

#include <jni.h>

// Sets a system property (java.lang.System.setProperty); false when it could
// not (reported).
bool setSystemProperty(JNIEnv* env, const char* name, const char* value);
// A Java string from 8-bit text (null taken as ""), converted to UTF-16 as
// the active code page reads it; null when it could not be made.
jstring newJavaString(JNIEnv* env, const char* text);
// The text of an exception (its toString()), as 8-bit text on the heap, or
// null when it cannot be had. Called with no exception pending: the caller
// has taken and described the exception before.
char* throwableText(JNIEnv* env, jthrowable thrown);
// True when the last call left an exception; the VM prints it with its stack
// trace on System.err, and it is cleared.
bool checkJavaException(JNIEnv* env);

/* Machine-dependent JNI types for the 64-bit Windows build of the launcher.
   jni.h of the installed JDK includes this file; on Windows a Java int is a
   32-bit long and a Java long is a long long. */
#ifndef VANTREL_JNI_MD_H
#define VANTREL_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif

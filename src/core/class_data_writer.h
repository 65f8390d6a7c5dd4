// The class-data cache's archive is built apart from the application. A
// start without one has its VM record the classes it loads into a class
// list and leaves a job beside it: what the archive is built with. Once its
// VM has ended it starts the writer, a detached copy of the launcher, which
// waits for it to end, has a second copy of the launcher dump the archive
// from the list (-Xshare:dump, in a VM of its own) under a temporary name,
// and moves the archive into place only when that dump succeeded.
//
// The files of one process in the cache folder are "<stem>.<pid>.<kind>",
// the archive itself "<stem>.jsa" (see core/class_data_cache.cpp).
#pragma once

#include <cstdint>

#include <jni.h>

// The switches of the writer ("-vtwriteclassdata PID JOB CLEANUP") and of
// the dump ("-vtdumpclassdata JOB"). JOB is the job's name in the cache
// folder; CLEANUP "1" has the writer remove the unpacked archives as well.
constexpr const char* kClassDataWriterSwitch = "-vtwriteclassdata";
constexpr const char* kClassDataDumpSwitch = "-vtdumpclassdata";

// folder, stem, ".", pid, ".", kind (a heap text).
char* classDataFile(const char* folder, const char* stem, uint32_t pid, const char* kind);
// The process id of such a file's name (the number between its last two
// dots), 0 for none.
uint32_t classDataFileProcess(const char* name);
// The prefix of the option when it chooses how classes are shared (such as
// -Xshare or -XX:SharedArchiveFile), else nullptr.
const char* classSharingOption(const char* option);

// Writes a recording start's job to path, a file that must not exist yet:
// the VM's current directory, the runtime library, whether the dump keeps
// the classes linked (Java 24 and later, without a native agent), and
// those of the VM options options[0 .. count) that the dump takes (with the
// modules that those it leaves out add). False when it cannot.
bool writeClassDataJob(const char* path, const char* directory, const char* library, int32_t major,
                       const JavaVMOption* options, int32_t count);
// Starts the writer for the job of this process (jobName, in the cache
// folder); with cleanup it removes the unpacked archives afterwards. False
// (traced) when it cannot be started.
bool startClassDataWriter(const char* jobName, bool cleanup);

// The writer's run mode.
void runClassDataWriter(const char* processIdText, const char* jobName, const char* cleanup);

// A job as the dump reads it back; the texts live as long as the process.
struct ClassDataJob {
    const char* directory;  // the VM's current directory
    const char* library;    // the runtime library
    bool link;              // -XX:+AOTClassLinking
    const char** options;   // the VM options the dump takes
    int32_t count;
    char* list;       // the class list beside the job
    char* temporary;  // where the dump writes the archive
};
// Reads the job of that name in the user's cache folder. False (traced)
// when the name or the content is not as a launcher writes them.
bool readClassDataJob(const char* jobName, ClassDataJob* job);

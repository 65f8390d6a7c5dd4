/* Test helper: a process that takes the capture pipe's predictable names
   before the launcher does, with the open mode the launcher would use. It
   creates "\\.\pipe\N" for every process id N (a multiple of 4) below
   the limit it is given, each open to more instances, prints "ready", and
   prints "got: TEXT" for whatever a client writes into one of them, until
   the stop file exists (then it looks once more and ends). */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: squat_pipes LIMIT STOPFILE\n");
        return 2;
    }
    int limit = atoi(argv[1]);
    HANDLE* pipes = calloc((size_t)limit / 4 + 1, sizeof(HANDLE));
    int count = 0;
    for (int id = 4; id < limit; id += 4) {
        char name[64];
        snprintf(name, sizeof(name), "\\\\.\\pipe\\%d", id);
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT,
                                       PIPE_UNLIMITED_INSTANCES, 0, 4096, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE) pipes[count++] = pipe;
    }
    printf("ready %d\n", count);
    fflush(stdout);
    for (int last = 0; !last; Sleep(50)) {
        last = GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES;
        for (int i = 0; i < count; ++i) {
            char text[4096];
            DWORD n = 0;
            ConnectNamedPipe(pipes[i], NULL);  /* without waiting: PIPE_NOWAIT */
            if (ReadFile(pipes[i], text, sizeof(text) - 1, &n, NULL) && n > 0) {
                text[n] = '\0';
                printf("got: %s\n", text);
                fflush(stdout);
            }
        }
    }
    printf("done\n");
    return 0;
}

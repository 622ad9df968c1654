/* Test helper: owns a named mutex until its standard input ends. Prints
   "held" once it owns it. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HANDLE h = CreateMutexA(NULL, FALSE, argv[1]);
    if (!h || WaitForSingleObject(h, 5000) != WAIT_OBJECT_0) {
        printf("failed %lu\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    while (getchar() != EOF) {
    }
    ReleaseMutex(h);
    return 0;
}

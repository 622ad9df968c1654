/* Test helper: waits the given milliseconds (optional), then copies its
   standard input to the end of the file named by its first argument until
   end-of-file. Stands in for a logging command fed through a "|" target. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (argc > 2) Sleep((DWORD)atoi(argv[2]));
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0) {
        FILE* f = fopen(argv[1], "ab");
        if (!f) return 1;
        fwrite(buffer, 1, got, f);
        fclose(f);
    }
    return 0;
}

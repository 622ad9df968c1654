/* A stand-in for a runtime's `java` at a class-data dump: with
   -Xshare:dump, -XX:SharedClassListFile=<list> naming a non-empty file and
   -XX:SharedArchiveFile=<archive>, writes the archive and exits 0; exits 1
   otherwise. Each run is added to HUX_DUMP_TRACE when that is set. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* valueOf(int argc, char** argv, const char* prefix) {
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], prefix, strlen(prefix)) == 0) return argv[i] + strlen(prefix);
    return NULL;
}

int main(int argc, char** argv) {
    const char* trace = getenv("HUX_DUMP_TRACE");
    if (trace && *trace) {
        FILE* t = fopen(trace, "a");
        if (t) {
            for (int i = 1; i < argc; ++i) fprintf(t, "%s%s", argv[i], i + 1 < argc ? " " : "\n");
            fclose(t);
        }
    }
    const char* list = valueOf(argc, argv, "-XX:SharedClassListFile=");
    const char* archive = valueOf(argc, argv, "-XX:SharedArchiveFile=");
    if (!valueOf(argc, argv, "-Xshare:dump")) return 1;
    FILE* in = list ? fopen(list, "rb") : NULL;
    if (!in || fgetc(in) == EOF || !archive) return 1;
    fclose(in);
    FILE* out = fopen(archive, "wb");
    if (!out) return 1;
    fputs("dumped class-data archive", out);
    return fclose(out) == 0 ? 0 : 1;
}

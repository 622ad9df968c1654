/* Edits one resource of an executable the way resource tools do, through
   BeginUpdateResourceW / UpdateResourceW / EndUpdateResourceW, and lists the
   resources the file holds afterwards: "type name language size" per line
   (numbers in decimal, names as text).
   Usage: update_resource EXE [TYPE ID TEXT]: with the three, resource TYPE/ID
   (language 1033) is set to TEXT before listing. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static void printId(const wchar_t* id) {
    if (IS_INTRESOURCE(id))
        printf("%u", (unsigned)(ULONG_PTR)id);
    else
        printf("%ls", id);
}

static BOOL CALLBACK onLanguage(HMODULE module, const wchar_t* type, const wchar_t* name, WORD language,
                                LONG_PTR user) {
    (void)user;
    HRSRC found = FindResourceExW(module, type, name, language);
    printId(type);
    printf(" ");
    printId(name);
    printf(" %u %lu\n", language, found ? (unsigned long)SizeofResource(module, found) : 0ul);
    return TRUE;
}

static BOOL CALLBACK onName(HMODULE module, const wchar_t* type, wchar_t* name, LONG_PTR user) {
    EnumResourceLanguagesW(module, type, name, onLanguage, user);
    return TRUE;
}

static BOOL CALLBACK onType(HMODULE module, wchar_t* type, LONG_PTR user) {
    EnumResourceNamesW(module, type, onName, user);
    return TRUE;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 5) {
        fprintf(stderr, "usage: update_resource EXE [TYPE ID TEXT]\n");
        return 2;
    }
    if (argc == 5) {
        HANDLE update = BeginUpdateResourceW(argv[1], FALSE);
        if (!update) {
            fprintf(stderr, "BeginUpdateResourceW failed: %lu\n", GetLastError());
            return 1;
        }
        const WORD type = (WORD)_wtoi(argv[2]);
        const WORD id = (WORD)_wtoi(argv[3]);
        const DWORD bytes = (DWORD)(wcslen(argv[4]) * sizeof(wchar_t));
        if (!UpdateResourceW(update, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id), 1033, argv[4], bytes)) {
            fprintf(stderr, "UpdateResourceW failed: %lu\n", GetLastError());
            EndUpdateResourceW(update, TRUE);
            return 1;
        }
        if (!EndUpdateResourceW(update, FALSE)) {
            fprintf(stderr, "EndUpdateResourceW failed: %lu\n", GetLastError());
            return 1;
        }
    }
    HMODULE module = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        fprintf(stderr, "cannot load %ls: %lu\n", argv[1], GetLastError());
        return 1;
    }
    EnumResourceTypesW(module, onType, 0);
    FreeLibrary(module);
    return 0;
}

/* Reads back what the shell shows of an executable, through the system's own
   calls: the subsystem from its header and from the shell, the version
   information, and the application icon (group 1) as the icon machinery picks
   it for 16, 32 and 48 pixels. One "key value" line each, UTF-8. */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

static void printUtf8(const char* key, const wchar_t* value) {
    char buffer[1024];
    WideCharToMultiByte(CP_UTF8, 0, value, -1, buffer, sizeof buffer, NULL, NULL);
    printf("%s %s\n", key, buffer);
}

static void versionFields(const wchar_t* path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) {
        printf("version none\n");
        return;
    }
    void* data = malloc(size);
    if (!GetFileVersionInfoW(path, 0, size, data)) {
        printf("version unreadable\n");
        free(data);
        return;
    }
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (VerQueryValueW(data, L"\\", (void**)&fixed, &length) && fixed) {
        printf("fileversion %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
               HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        printf("productversion %u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
               HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    }
    /* The first translation names the string table, as Explorer reads it. */
    WORD* translation = NULL;
    unsigned language = 0x0409, codePage = 1200;
    if (VerQueryValueW(data, L"\\VarFileInfo\\Translation", (void**)&translation, &length) && length >= 4) {
        language = translation[0];
        codePage = translation[1];
    }
    printf("language %04X\n", language);
    static const wchar_t* const names[] = {L"ProductName", L"FileDescription", L"CompanyName",     L"LegalCopyright",
                                           L"FileVersion", L"ProductVersion",  L"OriginalFilename"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        wchar_t key[128];
        wchar_t* value = NULL;
        swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", language, codePage, names[i]);
        if (VerQueryValueW(data, key, (void**)&value, &length) && value) {
            char name[64];
            WideCharToMultiByte(CP_UTF8, 0, names[i], -1, name, sizeof name, NULL, NULL);
            printUtf8(name, value);
        }
    }
    free(data);
}

static void iconSizes(const wchar_t* path) {
    printf("icongroups %u\n", ExtractIconExW(path, -1, NULL, NULL, 0));
    HMODULE module = LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC group = module ? FindResourceW(module, MAKEINTRESOURCEW(1), (LPCWSTR)RT_GROUP_ICON) : NULL;
    if (!group) {
        printf("icon none\n");
        return;
    }
    BYTE* directory = (BYTE*)LockResource(LoadResource(module, group));
    static const int sizes[] = {16, 32, 48};
    for (int i = 0; i < 3; ++i) {
        /* The image the icon machinery picks for this size, and its own size. */
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, sizes[i], sizes[i], LR_DEFAULTCOLOR);
        HRSRC image = id ? FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_ICON) : NULL;
        const BYTE* data = image ? (const BYTE*)LockResource(LoadResource(module, image)) : NULL;
        DWORD size = image ? SizeofResource(module, image) : 0;
        HICON icon =
            data ? CreateIconFromResourceEx((BYTE*)data, size, TRUE, 0x00030000, sizes[i], sizes[i], LR_DEFAULTCOLOR)
                 : NULL;
        if (!icon || size < 24) {
            printf("icon%d unreadable\n", sizes[i]);
        } else if (data[0] == 0x89 && data[1] == 'P') {
            printf("icon%d png %lux%lu\n", sizes[i],
                   (unsigned long)((data[16] << 24) | (data[17] << 16) | (data[18] << 8) | data[19]),
                   (unsigned long)((data[20] << 24) | (data[21] << 16) | (data[22] << 8) | data[23]));
        } else {
            const BITMAPINFOHEADER* header = (const BITMAPINFOHEADER*)data;
            printf("icon%d bitmap %ldx%ld\n", sizes[i], header->biWidth, header->biHeight / 2);
        }
        if (icon) DestroyIcon(icon);
    }
}

static void subsystem(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    BYTE header[4096];
    DWORD got = 0;
    if (file != INVALID_HANDLE_VALUE && ReadFile(file, header, sizeof header, &got, NULL) && got >= 64) {
        DWORD pe = *(DWORD*)(header + 0x3C);
        if (pe + sizeof(IMAGE_NT_HEADERS64) <= got) {
            IMAGE_NT_HEADERS64* nt = (IMAGE_NT_HEADERS64*)(header + pe);
            printf("subsystem %u\n", nt->OptionalHeader.Subsystem);
        }
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    /* The shell's view: a console program has no subsystem version. */
    DWORD_PTR type = SHGetFileInfoW(path, 0, NULL, 0, SHGFI_EXETYPE);
    printf("exetype %s\n", type == 0 ? "none" : HIWORD(type) == 0 ? "console" : "gui");
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pe_look FILE\n");
        return 2;
    }
    subsystem(argv[1]);
    versionFields(argv[1]);
    iconSizes(argv[1]);
    return 0;
}

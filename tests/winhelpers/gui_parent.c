/* Starts a program the way a shell would start a GUI program, without giving
   it standard handles, and reports what the user would see:
     gui_parent console EXE  - from a console of its own: the console's text
     gui_parent shell EXE    - the same, the program inheriting the console's
                               standard handles as a console program does
     gui_parent none EXE     - with no console anywhere: the message box's title
                               and text (then presses OK)
     gui_parent hidden EXE   - the same on a window station of its own that no
                               one sees, as a service's or a scheduled task's:
                               "timeout" when the program waits there
   followed by the program's exit code. Output is UTF-8, one "key value" line each. */
#include <windows.h>
#include <stdio.h>

static void printUtf8(const char* key, const wchar_t* value) {
    char buffer[2048];
    WideCharToMultiByte(CP_UTF8, 0, value, -1, buffer, sizeof buffer, NULL, NULL);
    printf("%s %s\n", key, buffer);
}

typedef struct {
    DWORD pid;
    HWND found;
} Search;

static BOOL CALLBACK topLevel(HWND hwnd, LPARAM param) {
    Search* s = (Search*)param;
    DWORD pid = 0;
    wchar_t cls[64];
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid && IsWindowVisible(hwnd) && GetClassNameW(hwnd, cls, 64) && wcscmp(cls, L"#32770") == 0) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

static BOOL CALLBACK staticText(HWND hwnd, LPARAM param) {
    wchar_t cls[64];
    wchar_t text[1024];
    if (GetClassNameW(hwnd, cls, 64) && _wcsicmp(cls, L"Static") == 0 && GetWindowTextW(hwnd, text, 1024) > 0) {
        wcscpy((wchar_t*)param, text);
        return FALSE;
    }
    return TRUE;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: gui_parent console|shell|none|hidden EXE\n");
        return 2;
    }
    const int inherit = wcscmp(argv[1], L"shell") == 0;
    const int withConsole = inherit || wcscmp(argv[1], L"console") == 0;
    /* Each line as it is known, so that a report cut short still shows how far it got. */
    setvbuf(stdout, NULL, _IONBF, 0);
    /* Our own output must survive the console changes: keep the handle. */
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    FreeConsole();
    if (withConsole && !AllocConsole()) {
        printf("noconsole\n");
        return 3;
    }
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES; /* all three NULL, as for a double click */
    if (wcscmp(argv[1], L"hidden") == 0) {
        /* A station created without WSF_VISIBLE, and a desktop on it. */
        HWINSTA own = GetProcessWindowStation();
        HWINSTA station = CreateWindowStationW(L"huxwinpubhidden", 0, WINSTA_ALL_ACCESS, NULL);
        if (!station || !SetProcessWindowStation(station) ||
            !CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL) || !SetProcessWindowStation(own)) {
            printf("nostation %lu\n", GetLastError());
            return 3;
        }
        si.lpDesktop = L"huxwinpubhidden\\Default";
    }
    if (inherit) {
        /* The console's screen as standard output and error, as a shell hands it on. */
        SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
        HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                    OPEN_EXISTING, 0, NULL);
        si.hStdOutput = screen;
        si.hStdError = screen;
    }
    wchar_t commandLine[1024];
    swprintf(commandLine, 1024, L"\"%ls\"", argv[2]);
    if (!CreateProcessW(argv[2], commandLine, NULL, NULL, inherit, withConsole ? 0 : DETACHED_PROCESS, NULL, NULL, &si,
                        &pi)) {
        printf("nostart %lu\n", GetLastError());
        return 3;
    }
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    if (!withConsole) {
        Search s = {pi.dwProcessId, NULL};
        for (int i = 0; i < 300 && !s.found; ++i) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
            Sleep(100);
            EnumWindows(topLevel, (LPARAM)&s);
        }
        if (s.found) {
            wchar_t title[512] = L"";
            wchar_t text[1024] = L"";
            GetWindowTextW(s.found, title, 512);
            EnumChildWindows(s.found, staticText, (LPARAM)text);
            printUtf8("title", title);
            printUtf8("text", text);
            PostMessageW(s.found, WM_COMMAND, IDOK, 0);
        } else {
            printf("nobox\n");
        }
    }
    if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
        printf("timeout\n");
        TerminateProcess(pi.hProcess, 99);
        return 3;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (withConsole) {
        /* The first lines of the console's screen. */
        HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_EXISTING, 0, NULL);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (screen != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(screen, &info)) {
            for (SHORT y = 0; y <= info.dwCursorPosition.Y && y < 10; ++y) {
                wchar_t line[256];
                DWORD got = 0;
                COORD at = {0, y};
                DWORD width = info.dwSize.X < 255 ? (DWORD)info.dwSize.X : 255;
                ReadConsoleOutputCharacterW(screen, line, width, at, &got);
                while (got > 0 && line[got - 1] == L' ') --got;
                line[got] = 0;
                if (got > 0) printUtf8("console", line);
            }
        }
    }
    printf("exit %lu\n", code);
    fflush(stdout);
    return 0;
}

// What the tests under wine ask Windows itself, where X11 cannot tell:
//   probe shown TITLE        "shown" or "hidden" for the top-level window
//                            TITLE (wine keeps a hidden window's X window
//                            mapped), exit code 1 if there is none
//   probe elevated PROGRAM   one line per running PROGRAM.exe: "elevated" or
//                            "not elevated"; exit code 1 if none runs
//   probe endsession PROGRAM asks each top-level window of PROGRAM.exe to
//                            close as Restart Manager does for an installer
//                            (WM_QUERYENDSESSION, then WM_ENDSESSION, with
//                            ENDSESSION_CLOSEAPP); exit code 1 if it has none
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

static int shown(const wchar_t *title)
{
    const HWND window = FindWindowW(nullptr, title);
    if (!window)
        return 1;
    std::printf("%s\n", IsWindowVisible(window) ? "shown" : "hidden");
    return 0;
}

static const char *elevation(DWORD processId)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool known = process && OpenProcessToken(process, TOKEN_QUERY, &token)
        && GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    if (token)
        CloseHandle(token);
    if (process)
        CloseHandle(process);
    return !known ? "unknown" : elevation.TokenIsElevated ? "elevated" : "not elevated";
}

static int elevated(const wchar_t *program)
{
    int found = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, program) == 0) {
            std::printf("%s\n", elevation(entry.th32ProcessID));
            ++found;
        }
    }
    CloseHandle(snapshot);
    return found ? 0 : 1;
}

static int endSession(const wchar_t *program)
{
    struct Asked { const wchar_t *program; int windows; } asked{program, 0};
    EnumWindows([](HWND window, LPARAM data) -> BOOL {
        auto *asked = reinterpret_cast<Asked *>(data);
        DWORD processId = 0, size = MAX_PATH;
        wchar_t path[MAX_PATH];
        GetWindowThreadProcessId(window, &processId);
        const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        const bool named = process && QueryFullProcessImageNameW(process, 0, path, &size)
            && _wcsicmp(std::wcsrchr(path, L'\\') + 1, asked->program) == 0;
        if (process)
            CloseHandle(process);
        if (named) {
            DWORD_PTR agreed = 0;
            SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &agreed);
            SendMessageTimeoutW(window, WM_ENDSESSION, agreed != 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, nullptr);
            ++asked->windows;
        }
        return TRUE;
    }, reinterpret_cast<LPARAM>(&asked));
    return asked.windows ? 0 : 1;
}

int wmain(int argc, wchar_t *argv[])
{
    if (argc == 3 && std::wcscmp(argv[1], L"shown") == 0)
        return shown(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"elevated") == 0)
        return elevated(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"endsession") == 0)
        return endSession(argv[2]);
    std::fprintf(stderr, "usage: probe shown TITLE | probe elevated PROGRAM.exe | probe endsession PROGRAM.exe\n");
    return 2;
}

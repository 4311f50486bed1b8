// What the tests under wine ask Windows itself, where X11 cannot tell:
//   probe shown TITLE        "shown" or "hidden" for the top-level window
//                            TITLE (wine keeps a hidden window's X window
//                            mapped), exit code 1 if there is none
//   probe elevated PROGRAM   one line per running PROGRAM.exe: "elevated" or
//                            "not elevated"; exit code 1 if none runs
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

int wmain(int argc, wchar_t *argv[])
{
    if (argc == 3 && std::wcscmp(argv[1], L"shown") == 0)
        return shown(argv[2]);
    if (argc == 3 && std::wcscmp(argv[1], L"elevated") == 0)
        return elevated(argv[2]);
    std::fprintf(stderr, "usage: probe shown TITLE | probe elevated PROGRAM.exe\n");
    return 2;
}

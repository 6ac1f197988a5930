/*
 * recorder - stands in for whatever the shell would launch for a URL or a
 * document, so tests can see exactly what a program handed to the shell
 * without a browser or editor ever opening.
 *
 * Appends its own command line, as UTF-8, plus CR LF to the file named by
 * PELMATIC_RECORDER_LOG (C:\recorder.log when unset) and exits 0.
 *
 * Build: i686-w64-mingw32-gcc-posix -O2 -static -mwindows -o recorder.exe
 *        recorder.c
 */
#include <windows.h>

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmd, int show)
{
    wchar_t path[MAX_PATH + 1];
    const wchar_t *wide = GetCommandLineW();
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, NULL, 0, NULL, NULL);
    char *line = HeapAlloc(GetProcessHeap(), 0, size > 0 ? (SIZE_T)size : 1);
    DWORD n, written, len;
    HANDLE f = INVALID_HANDLE_VALUE;
    int attempt;

    (void)inst;
    (void)prev;
    (void)cmd;
    (void)show;

    if (!line)
        return 1;
    line[0] = 0;
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, line, size, NULL, NULL);
    len = lstrlenA(line);
    n = GetEnvironmentVariableW(L"PELMATIC_RECORDER_LOG", path, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH)
        lstrcpyW(path, L"C:\\recorder.log");

    /* Several launches can race for the log; whoever loses waits a bit. */
    for (attempt = 0; attempt < 100; attempt++) {
        f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (f != INVALID_HANDLE_VALUE ||
            GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(20);
    }
    if (f == INVALID_HANDLE_VALUE)
        return 1;
    /* A single write keeps a line whole even if a reader looks mid-way. */
    {
        char *buf = HeapAlloc(GetProcessHeap(), 0, len + 2);
        if (!buf) {
            CloseHandle(f);
            return 1;
        }
        CopyMemory(buf, line, len);
        buf[len] = '\r';
        buf[len + 1] = '\n';
        WriteFile(f, buf, len + 2, &written, NULL);
        HeapFree(GetProcessHeap(), 0, buf);
    }
    CloseHandle(f);
    return 0;
}

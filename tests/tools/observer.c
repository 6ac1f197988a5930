/*
 * observer - watches PelMatic's status window from another process, as a
 * user and Windows see it, and presses its Cancel button on cue.
 *
 *   observer --title TEXT [--interval MS] [--timeout MS] [--until-pos N]
 *            [--cancel-at-pos N | --cancel-at-line PREFIX] [--wait-end]
 *
 * Every interval (150 ms) while a top-level STATIC window titled TEXT is
 * there, one JSON line on stdout:
 *   {"ms":T,"answered":1,"rtt_us":U,"hung":0,"text":"...","pos":P,"lo":0,
 *    "hi":1000,"line":"...","cancel":1}
 * answered: SendMessageTimeout(WM_NULL, SMTO_ABORTIFHUNG, 100 ms) came back
 * in time (rtt_us its round trip); hung: IsHungAppWindow; pos, lo, hi: the
 * progress bar's PBM_GETPOS and PBM_GETRANGE; line: the text of the child
 * static control; cancel: the Cancel button is enabled. Strings are bytes
 * as in wdriver (\u00XX for anything outside printable ASCII).
 *
 * With --cancel-at-pos the Cancel button is clicked (BM_CLICK) at the
 * first poll whose position is at least N, with --cancel-at-line at the
 * first whose line starts with PREFIX; a line {"clicked":T} follows, and
 * the polls come every 10 ms from then on. Ends
 * with {"gone":T} once the window has gone after it was seen (with
 * --wait-end followed by {"ended":T} when the window's process has ended,
 * at most 30 s on), with
 * {"reached":T} at the first poll whose position is at least --until-pos,
 * or with {"timeout":T}. T is milliseconds since the observer started.
 *
 * Build: i686-w64-mingw32-gcc-posix -O2 -static -o observer.exe observer.c -luser32
 */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXIT_OK 0
#define EXIT_TIMEOUT 2
#define EXIT_USAGE 64

static LARGE_INTEGER freq, origin;

static double now_ms(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)(t.QuadPart - origin.QuadPart) * 1000.0 / (double)freq.QuadPart;
}

static void json_bytes(const char *s)
{
    putchar('"');
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            printf("\\u00%02x", c);
        else
            putchar(c);
    }
    putchar('"');
}

struct find {
    const char *title;
    HWND found;
};

static BOOL CALLBACK match(HWND h, LPARAM lp)
{
    struct find *f = (struct find *)lp;
    char cls[64], text[512];
    DWORD_PTR got = 0;
    if (!GetClassNameA(h, cls, sizeof cls) || lstrcmpiA(cls, "Static"))
        return TRUE;
    /* The title Windows keeps for a top-level window, read without asking
       its thread: a window that does not answer is found all the same. */
    (void)got;
    text[0] = 0;
    GetWindowTextA(h, text, sizeof text);
    if (!strcmp(text, f->title)) {
        f->found = h;
        return FALSE;
    }
    return TRUE;
}

static HWND find_status(const char *title)
{
    struct find f = {title, NULL};
    EnumWindows(match, (LPARAM)&f);
    return f.found;
}

static void child_text(HWND h, char *out, size_t size)
{
    DWORD_PTR got = 0;
    out[0] = 0;
    if (h)
        SendMessageTimeoutA(h, WM_GETTEXT, size, (LPARAM)out, SMTO_ABORTIFHUNG, 500, &got);
}

int main(int argc, char **argv)
{
    const char *title = NULL, *cancel_line = NULL;
    DWORD interval = 150, timeout = 120000;
    long cancel_pos = -1, until_pos = -1;
    int seen = 0, clicked = 0, wait_end = 0, i;
    HANDLE owner = NULL;
    typedef BOOL(WINAPI * hung_fn)(HWND);
    hung_fn is_hung =
        (hung_fn)(void *)GetProcAddress(GetModuleHandleA("user32.dll"), "IsHungAppWindow");

    for (i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--title") && i + 1 < argc)
            title = argv[++i];
        else if (!strcmp(argv[i], "--interval") && i + 1 < argc)
            interval = (DWORD)strtoul(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc)
            timeout = (DWORD)strtoul(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "--cancel-at-pos") && i + 1 < argc)
            cancel_pos = strtol(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "--wait-end"))
            wait_end = 1;
        else if (!strcmp(argv[i], "--until-pos") && i + 1 < argc)
            until_pos = strtol(argv[++i], NULL, 10);
        else if (!strcmp(argv[i], "--cancel-at-line") && i + 1 < argc)
            cancel_line = argv[++i];
        else {
            fprintf(stderr, "usage: observer --title TEXT [--interval MS] [--timeout MS] "
                            "[--until-pos N] [--cancel-at-pos N | --cancel-at-line PREFIX] "
                            "[--wait-end]\n");
            return EXIT_USAGE;
        }
    }
    if (!title) {
        fprintf(stderr, "observer: --title is required\n");
        return EXIT_USAGE;
    }
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&origin);
    for (;;) {
        double t = now_ms();
        HWND w = find_status(title);
        if (!w) {
            if (seen) {
                printf("{\"gone\":%.0f}\n", t);
                fflush(stdout);
                if (wait_end && owner && WaitForSingleObject(owner, 30000) == WAIT_OBJECT_0)
                    printf("{\"ended\":%.0f}\n", now_ms());
                fflush(stdout);
                return EXIT_OK;
            }
        } else {
            if (!owner) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                owner = OpenProcess(SYNCHRONIZE, FALSE, pid);
            }
            HWND bar = FindWindowExA(w, NULL, PROGRESS_CLASSA, NULL);
            HWND line = FindWindowExA(w, NULL, "Static", NULL);
            HWND button = FindWindowExA(w, NULL, "Button", NULL);
            DWORD_PTR res = 0, pos = 0, lo = 0, hi = 0;
            PBRANGE range = {0, 0};
            double before = now_ms();
            BOOL answered = SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 100, &res) != 0;
            double rtt = now_ms() - before;
            char text[512], line_text[512];
            seen = 1;
            /* Destroyed between the search and the question: it has gone,
               which the next search tells. */
            if (!answered && !IsWindow(w))
                continue;
            if (bar) {
                SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 500, &pos);
                /* The range is read through its return values, which need no
                   buffer in this process's memory to cross over. */
                SendMessageTimeoutA(bar, PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG, 500, &lo);
                SendMessageTimeoutA(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, 500, &hi);
                range.iLow = (int)lo;
                range.iHigh = (int)hi;
            }
            child_text(w, text, sizeof text);
            child_text(line, line_text, sizeof line_text);
            if (!IsWindow(w))
                continue; /* went while it was read: nothing to report of it */
            printf("{\"ms\":%.0f,\"answered\":%d,\"rtt_us\":%.0f,\"hung\":%d,\"text\":", t,
                   answered ? 1 : 0, rtt * 1000.0, is_hung && is_hung(w) ? 1 : 0);
            json_bytes(text);
            printf(",\"bar\":%d,\"pos\":%ld,\"lo\":%d,\"hi\":%d,\"line\":", bar ? 1 : 0,
                   (long)pos, range.iLow, range.iHigh);
            json_bytes(line_text);
            printf(",\"button\":%d,\"cancel\":%d}\n", button ? 1 : 0,
                   button && IsWindowEnabled(button) ? 1 : 0);
            fflush(stdout);
            if (!clicked && button &&
                ((cancel_pos >= 0 && (long)pos >= cancel_pos) ||
                 (cancel_line && !strncmp(line_text, cancel_line, strlen(cancel_line))))) {
                DWORD_PTR ignored = 0;
                SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored);
                clicked = 1;
                printf("{\"clicked\":%.0f}\n", now_ms());
                fflush(stdout);
                interval = 10; /* to see the end come, closely */
            }
            if (until_pos >= 0 && (long)pos >= until_pos) {
                printf("{\"reached\":%.0f}\n", now_ms());
                fflush(stdout);
                return EXIT_OK;
            }
        }
        if (now_ms() >= timeout) {
            printf("{\"timeout\":%.0f}\n", now_ms());
            fflush(stdout);
            return EXIT_TIMEOUT;
        }
        {
            double spent = now_ms() - t;
            if (spent < interval)
                Sleep((DWORD)(interval - spent));
        }
    }
}

/*
 * wdriver - drives and inspects top-level windows for the Wine end-to-end
 * tests.  Everything it reports goes to stdout as one JSON object per line.
 *
 * Strings are the windows' own UTF-16, read through the W APIs and written
 * as UTF-8 (control characters and the two JSON metacharacters as \u00XX),
 * whatever the code page; arguments (a title to wait for, a window's title)
 * are taken from the wide command line the same way.
 *
 * Build: i686-w64-mingw32-gcc-posix -O2 -static -o wdriver.exe wdriver.c
 *        -luser32 -lgdi32 -lshell32
 */
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXIT_OK 0
#define EXIT_FAIL 1
#define EXIT_TIMEOUT 2
#define EXIT_USAGE 64

/* Cross-process messages must never hang the driver on a wedged window. */
#define SEND_TIMEOUT_MS 2000

/* ---- JSON output ------------------------------------------------------ */

static void json_bytes(const char *s, size_t n)
{
    size_t i;
    putchar('"');
    for (i = 0; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c < 0x20 || c == '"' || c == '\\')
            printf("\\u00%02x", c);
        else
            putchar(c);
    }
    putchar('"');
}

/* UTF-16 from a W call as a UTF-8 string the caller frees. */
static char *utf8_of(const wchar_t *w, int n, size_t *len)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, w, n, NULL, 0, NULL, NULL);
    char *out = malloc((size_t)size + 1);
    if (!out)
        return NULL;
    WideCharToMultiByte(CP_UTF8, 0, w, n, out, size, NULL, NULL);
    out[size] = 0;
    if (len)
        *len = (size_t)size;
    return out;
}

/* A UTF-8 string as UTF-16 for a W call; the caller frees it. */
static wchar_t *wide_of(const char *s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, NULL, 0);
    wchar_t *out = malloc(sizeof(wchar_t) * (size_t)(n > 0 ? n : 1));
    if (!out)
        return NULL;
    out[0] = 0;
    MultiByteToWideChar(CP_UTF8, 0, s, -1, out, n);
    return out;
}

static void json_str(const char *s)
{
    json_bytes(s, s ? strlen(s) : 0);
}

static void json_key(const char *k, int first)
{
    if (!first)
        putchar(',');
    json_str(k);
    putchar(':');
}

/* ---- text helpers ----------------------------------------------------- */

/*
 * Title of any window.  GetWindowTextA reads another process's caption
 * without sending it a message, so a hung program cannot stall a listing.
 * The buffer grows until the text fits instead of trusting a length query.
 */
static char *window_title(HWND hwnd, size_t *len)
{
    size_t cap = 256;
    for (;;) {
        wchar_t *buf = malloc(cap * sizeof *buf);
        char *text;
        int got;
        if (!buf)
            return NULL;
        buf[0] = 0;
        got = GetWindowTextW(hwnd, buf, (int)cap);
        if (got < 0)
            got = 0;
        if ((size_t)got + 1 < cap || cap >= (1u << 24)) {
            text = utf8_of(buf, got, len);
            free(buf);
            return text;
        }
        free(buf);
        cap *= 4;
    }
}

/*
 * Text of a control in another process: asks the control itself, since
 * that is the only way to get a static control's full text.
 */
static char *control_text(HWND hwnd, size_t *len)
{
    DWORD_PTR res = 0;
    size_t cap;
    wchar_t *buf;
    char *text;

    *len = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0,
                             SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &res))
        res = 0;
    cap = (size_t)res + 16;
    for (;;) {
        buf = malloc(cap * sizeof *buf);
        if (!buf)
            return NULL;
        buf[0] = 0;
        res = 0;
        if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, (WPARAM)cap, (LPARAM)buf,
                                 SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &res)) {
            buf[0] = 0;
            res = 0;
        }
        if ((size_t)res + 1 < cap || cap >= (1u << 24))
            break;
        free(buf);
        cap *= 4;
    }
    text = utf8_of(buf, (int)res, len);
    free(buf);
    return text;
}

/* ---- message box icon ------------------------------------------------- */

/*
 * Icon handles belong to the process that loaded them (under Wine even the
 * shared system icons get a fresh handle per process), so comparing the
 * handle a message box holds with our own LoadIcon result proves nothing
 * across processes.  We therefore compare what is on screen: the icon
 * control's pixels against each stock icon drawn here, looking only at the
 * pixels the icon's mask makes opaque so the background does not matter.
 */
struct stock_icon {
    const char *name;
    LPCSTR id;
};

static const struct stock_icon stock_icons[] = {
    {"question", IDI_QUESTION},
    {"error", IDI_HAND},
    {"warning", IDI_EXCLAMATION},
    {"information", IDI_ASTERISK},
};

static BOOL CALLBACK find_icon_static(HWND child, LPARAM lp)
{
    char cls[64];
    LONG style;
    if (!GetClassNameA(child, cls, sizeof cls) || lstrcmpiA(cls, "Static"))
        return TRUE;
    style = GetWindowLongA(child, GWL_STYLE);
    if ((style & SS_TYPEMASK) != SS_ICON)
        return TRUE;
    *(HWND *)lp = child;
    return FALSE;
}

/* Top-down 32-bit DIB section of the given size, white-filled. */
static HBITMAP make_dib(HDC dc, int w, int h, DWORD **bits)
{
    BITMAPINFO bi;
    HBITMAP bm;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    bm = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, (void **)bits, NULL, 0);
    if (bm)
        memset(*bits, 0xff, (size_t)w * h * 4);
    return bm;
}

/*
 * Renders a stock icon twice, once on black and once on white: pixels that
 * come out identical are the icon's own opaque pixels, the rest is
 * background showing through.  Returns the icon's colours with the alpha
 * byte set to 0xff where opaque.
 */
static DWORD *render_stock(LPCSTR id, int w, int h)
{
    HICON icon = LoadIconA(NULL, id);
    HDC dc = CreateCompatibleDC(NULL);
    DWORD *on_black = NULL, *on_white = NULL, *out = NULL;
    HBITMAP b1 = NULL, b2 = NULL;
    int i, n = w * h;

    if (!icon || !dc)
        goto done;
    b1 = make_dib(dc, w, h, &on_black);
    b2 = make_dib(dc, w, h, &on_white);
    out = malloc((size_t)n * 4);
    if (!b1 || !b2 || !out)
        goto fail;
    memset(on_black, 0, (size_t)n * 4);
    SelectObject(dc, b1);
    DrawIconEx(dc, 0, 0, icon, w, h, 0, NULL, DI_NORMAL);
    SelectObject(dc, b2);
    DrawIconEx(dc, 0, 0, icon, w, h, 0, NULL, DI_NORMAL);
    GdiFlush();
    for (i = 0; i < n; i++) {
        DWORD a = on_black[i] & 0xffffff, b = on_white[i] & 0xffffff;
        out[i] = a == b ? (a | 0xff000000u) : 0;
    }
    goto done;
fail:
    free(out);
    out = NULL;
done:
    if (b1)
        DeleteObject(b1);
    if (b2)
        DeleteObject(b2);
    if (dc)
        DeleteDC(dc);
    return out;
}

/* Grabs the control's client area as it is currently shown on screen. */
static DWORD *grab_control(HWND ctl, int *w, int *h)
{
    RECT rc;
    POINT org = {0, 0};
    HDC screen, mem;
    HBITMAP bm;
    DWORD *bits = NULL, *out = NULL;

    if (!GetClientRect(ctl, &rc) || !ClientToScreen(ctl, &org))
        return NULL;
    *w = rc.right - rc.left;
    *h = rc.bottom - rc.top;
    if (*w <= 0 || *h <= 0 || *w > 512 || *h > 512)
        return NULL;
    screen = GetDC(NULL);
    mem = CreateCompatibleDC(screen);
    bm = make_dib(mem, *w, *h, &bits);
    if (bm) {
        SelectObject(mem, bm);
        BitBlt(mem, 0, 0, *w, *h, screen, org.x, org.y, SRCCOPY);
        GdiFlush();
        out = malloc((size_t)*w * *h * 4);
        if (out)
            memcpy(out, bits, (size_t)*w * *h * 4);
        DeleteObject(bm);
    }
    DeleteDC(mem);
    ReleaseDC(NULL, screen);
    return out;
}

/*
 * Fraction (in percent) of the stock icon's opaque pixels that match the
 * screen at the icon's position.  The static control draws its icon at the
 * top-left corner at the icon's own size.
 */
static int icon_match_percent(const DWORD *shot, int sw, int sh,
                              const DWORD *ref, int rw, int rh)
{
    int x, y, opaque = 0, same = 0;
    if (sw < rw || sh < rh)
        return 0;
    for (y = 0; y < rh; y++)
        for (x = 0; x < rw; x++) {
            DWORD r = ref[y * rw + x];
            if (!(r & 0xff000000u))
                continue;
            opaque++;
            if ((shot[y * sw + x] & 0xffffff) == (r & 0xffffff))
                same++;
        }
    return opaque ? same * 100 / opaque : 0;
}

static const char *classify_icon(HWND dlg)
{
    HWND ctl = NULL;
    DWORD_PTR icon = 0;
    int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
    DWORD *refs[sizeof stock_icons / sizeof stock_icons[0]];
    const char *result = "unknown";
    size_t i, nicons = sizeof stock_icons / sizeof stock_icons[0];
    int attempt;

    EnumChildWindows(dlg, find_icon_static, (LPARAM)&ctl);
    if (!ctl || !IsWindowVisible(ctl))
        return "none";
    if (!SendMessageTimeoutA(ctl, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG,
                             SEND_TIMEOUT_MS, &icon) || !icon)
        return "none";

    for (i = 0; i < nicons; i++)
        refs[i] = render_stock(stock_icons[i].id, cx, cy);

    /* The box may have just been shown and not be on screen yet; ask it to
       paint and give the display a moment before deciding. */
    for (attempt = 0; attempt < 20; attempt++) {
        int w, h, best = 0;
        size_t best_i = 0;
        DWORD *shot;
        RedrawWindow(ctl, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW);
        shot = grab_control(ctl, &w, &h);
        if (shot) {
            for (i = 0; i < nicons; i++) {
                int p = refs[i] ? icon_match_percent(shot, w, h, refs[i], cx, cy)
                                : 0;
                if (p > best) {
                    best = p;
                    best_i = i;
                }
            }
            free(shot);
        }
        if (best >= 95) {
            result = stock_icons[best_i].name;
            break;
        }
        Sleep(50);
    }
    for (i = 0; i < nicons; i++)
        free(refs[i]);
    return result;
}

/* ---- window description ----------------------------------------------- */

struct button_list {
    HWND dlg;
    HWND items[64];
    int n;
};

static int is_check_box(HWND button)
{
    LONG type = GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX;
}

/* The dialog's own push buttons, or (checks) its check boxes; a hidden
   one cannot be pressed. */
static BOOL collect(HWND child, struct button_list *bl, int checks)
{
    char cls[64];
    if (GetAncestor(child, GA_PARENT) != bl->dlg)
        return TRUE;
    if (!GetClassNameA(child, cls, sizeof cls) || lstrcmpiA(cls, "Button"))
        return TRUE;
    if (!IsWindowVisible(child) || is_check_box(child) != checks)
        return TRUE;
    if (bl->n < (int)(sizeof bl->items / sizeof bl->items[0]))
        bl->items[bl->n++] = child;
    return TRUE;
}

static BOOL CALLBACK collect_buttons(HWND child, LPARAM lp)
{
    return collect(child, (struct button_list *)lp, 0);
}

static BOOL CALLBACK collect_checks(HWND child, LPARAM lp)
{
    return collect(child, (struct button_list *)lp, 1);
}

/* A task dialog has no static 0xFFFF: its text is that of its other
   static controls, icons aside, each one that holds any. */
struct text_parts {
    HWND dlg;
    char *text;
    size_t len;
};

static BOOL CALLBACK collect_texts(HWND child, LPARAM lp)
{
    struct text_parts *tp = (struct text_parts *)lp;
    char cls[64], *t, *grown;
    size_t len = 0;
    if (GetAncestor(child, GA_PARENT) != tp->dlg || !IsWindowVisible(child))
        return TRUE;
    if (!GetClassNameA(child, cls, sizeof cls) || lstrcmpiA(cls, "Static"))
        return TRUE;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
        return TRUE;
    t = control_text(child, &len);
    if (t && len) {
        grown = realloc(tp->text, tp->len + len + 3);
        if (grown) {
            tp->text = grown;
            if (tp->len) {
                memcpy(tp->text + tp->len, "\n\n", 2);
                tp->len += 2;
            }
            memcpy(tp->text + tp->len, t, len);
            tp->len += len;
            tp->text[tp->len] = 0;
        }
    }
    free(t);
    return TRUE;
}

static void print_buttons(const char *key, struct button_list *bl, int checks)
{
    int i;
    json_key(key, 0);
    putchar('[');
    for (i = 0; i < bl->n; i++) {
        char *bt;
        size_t blen = 0;
        if (i)
            putchar(',');
        putchar('{');
        json_key("id", 1);
        printf("%d", GetDlgCtrlID(bl->items[i]));
        json_key("text", 0);
        bt = control_text(bl->items[i], &blen);
        json_bytes(bt ? bt : "", bt ? blen : 0);
        free(bt);
        if (checks) {
            DWORD_PTR state = 0;
            SendMessageTimeoutA(bl->items[i], BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG,
                                SEND_TIMEOUT_MS, &state);
            json_key("checked", 0);
            fputs(state == BST_CHECKED ? "true" : "false", stdout);
        }
        putchar('}');
    }
    putchar(']');
}

static void print_window(HWND hwnd)
{
    char cls[256];
    size_t len;
    char *title;
    RECT rc;
    DWORD pid = 0;

    cls[0] = 0;
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowThreadProcessId(hwnd, &pid);
    memset(&rc, 0, sizeof rc);
    GetWindowRect(hwnd, &rc);

    putchar('{');
    json_key("hwnd", 1);
    printf("%llu", (unsigned long long)(ULONG_PTR)hwnd);
    json_key("class", 0);
    json_str(cls);
    json_key("title", 0);
    title = window_title(hwnd, &len);
    json_bytes(title ? title : "", title ? len : 0);
    free(title);
    json_key("style", 0);
    printf("%lu", (unsigned long)(DWORD)GetWindowLongA(hwnd, GWL_STYLE));
    json_key("exstyle", 0);
    printf("%lu", (unsigned long)(DWORD)GetWindowLongA(hwnd, GWL_EXSTYLE));
    json_key("visible", 0);
    fputs(IsWindowVisible(hwnd) ? "true" : "false", stdout);
    json_key("pid", 0);
    printf("%lu", (unsigned long)pid);
    json_key("rect", 0);
    printf("[%ld,%ld,%ld,%ld]", (long)rc.left, (long)rc.top, (long)rc.right,
           (long)rc.bottom);

    if (!strcmp(cls, "#32770")) {
        struct button_list bl;
        HWND text_ctl = GetDlgItem(hwnd, 0xFFFF);
        char *text = NULL;

        len = 0;
        if (text_ctl) {
            text = control_text(text_ctl, &len);
        } else {
            struct text_parts tp = {hwnd, NULL, 0};
            EnumChildWindows(hwnd, collect_texts, (LPARAM)&tp);
            text = tp.text;
            len = tp.len;
        }
        json_key("text", 0);
        json_bytes(text ? text : "", text ? len : 0);
        free(text);

        bl.dlg = hwnd;
        bl.n = 0;
        EnumChildWindows(hwnd, collect_buttons, (LPARAM)&bl);
        print_buttons("buttons", &bl, 0);
        bl.n = 0;
        EnumChildWindows(hwnd, collect_checks, (LPARAM)&bl);
        print_buttons("checks", &bl, 1);

        json_key("icon", 0);
        json_str(classify_icon(hwnd));
    }
    fputs("}\n", stdout);
    fflush(stdout);
}

/* ---- list / wait ------------------------------------------------------ */

struct hwnd_vec {
    HWND *items;
    size_t n, cap;
};

static BOOL CALLBACK collect_top(HWND hwnd, LPARAM lp)
{
    struct hwnd_vec *v = (struct hwnd_vec *)lp;
    if (v->n == v->cap) {
        size_t cap = v->cap ? v->cap * 2 : 64;
        HWND *p = realloc(v->items, cap * sizeof *p);
        if (!p)
            return FALSE;
        v->items = p;
        v->cap = cap;
    }
    v->items[v->n++] = hwnd;
    return TRUE;
}

/* Snapshot first, describe afterwards: describing talks to other
   processes, and windows may come and go meanwhile. */
static void top_windows(struct hwnd_vec *v)
{
    v->items = NULL;
    v->n = v->cap = 0;
    EnumWindows(collect_top, (LPARAM)v);
}

static int cmd_list(void)
{
    struct hwnd_vec v;
    size_t i;
    top_windows(&v);
    for (i = 0; i < v.n; i++)
        if (IsWindow(v.items[i]))
            print_window(v.items[i]);
    free(v.items);
    return EXIT_OK;
}

static HWND find_match(const char *cls, const char *title)
{
    struct hwnd_vec v;
    HWND found = NULL;
    size_t i;
    top_windows(&v);
    for (i = 0; i < v.n && !found; i++) {
        HWND h = v.items[i];
        char c[256];
        if (!IsWindowVisible(h))
            continue;
        if (cls && *cls) {
            c[0] = 0;
            GetClassNameA(h, c, sizeof c);
            if (strcmp(c, cls))
                continue;
        }
        if (title) {
            size_t len;
            char *t = window_title(h, &len);
            int same = t && len == strlen(title) && !memcmp(t, title, len);
            free(t);
            if (!same)
                continue;
        }
        found = h;
    }
    free(v.items);
    return found;
}

static int cmd_wait(int argc, char **argv)
{
    const char *cls = "#32770", *title = NULL;
    DWORD timeout = 10000, start;
    int i;

    for (i = 0; i < argc; i++) {
        if (!strcmp(argv[i], "--class") && i + 1 < argc)
            cls = argv[++i];
        else if (!strcmp(argv[i], "--title") && i + 1 < argc)
            title = argv[++i];
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc)
            timeout = (DWORD)strtoul(argv[++i], NULL, 10);
        else {
            fprintf(stderr, "wdriver wait: unexpected argument '%s'\n", argv[i]);
            return EXIT_USAGE;
        }
    }
    start = GetTickCount();
    for (;;) {
        HWND h = find_match(cls, title);
        if (h) {
            print_window(h);
            return EXIT_OK;
        }
        if (GetTickCount() - start >= timeout)
            return EXIT_TIMEOUT;
        Sleep(50);
    }
}

/* ---- press ------------------------------------------------------------ */

static int gone_within(HWND hwnd, DWORD ms)
{
    DWORD start = GetTickCount();
    while (IsWindow(hwnd)) {
        if (GetTickCount() - start >= ms)
            return 0;
        Sleep(20);
    }
    return 1;
}

static int cmd_press(int argc, char **argv)
{
    HWND dlg, btn;
    int id;
    DWORD_PTR res;

    if (argc != 2) {
        fprintf(stderr, "usage: wdriver press HWND BUTTON_ID\n");
        return EXIT_USAGE;
    }
    dlg = (HWND)(ULONG_PTR)strtoull(argv[0], NULL, 0);
    id = (int)strtol(argv[1], NULL, 0);
    if (!IsWindow(dlg)) {
        fprintf(stderr, "wdriver press: no window %s\n", argv[0]);
        return EXIT_FAIL;
    }
    btn = GetDlgItem(dlg, id);
    if (btn) {
        /* Posted, not sent: the click ends a modal loop in the other
           process and we do not want to sit inside that. */
        PostMessageA(btn, BM_CLICK, 0, 0);
        if (gone_within(dlg, 1500))
            return EXIT_OK;
        /* A click on a button of a window that is not active can be
           swallowed; the command the click would have produced is not. */
        SendMessageTimeoutA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                            (LPARAM)btn, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS,
                            &res);
    } else {
        PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    }
    return gone_within(dlg, 3000) ? EXIT_OK : EXIT_FAIL;
}

/* Ticks a check box of a dialog (the index-th of its "checks", which may
   all have the id 0, as a task dialog's verification box does) as a click
   does, so that the dialog hears of it as of the user's. */
static int cmd_check(int argc, char **argv)
{
    struct button_list bl;
    DWORD_PTR state = 0;
    HWND box;
    int i, index;
    if (argc != 2) {
        fprintf(stderr, "usage: wdriver check HWND INDEX\n");
        return EXIT_USAGE;
    }
    bl.dlg = (HWND)(ULONG_PTR)strtoull(argv[0], NULL, 0);
    bl.n = 0;
    index = (int)strtol(argv[1], NULL, 0);
    if (IsWindow(bl.dlg))
        EnumChildWindows(bl.dlg, collect_checks, (LPARAM)&bl);
    if (index < 0 || index >= bl.n) {
        fprintf(stderr, "wdriver check: no check box %s in %s\n", argv[1], argv[0]);
        return EXIT_FAIL;
    }
    box = bl.items[index];
    SendMessageTimeoutA(box, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &state);
    if (state != BST_CHECKED) {
        /* What a click does, step by step: a posted click on a window that
           is not active can be swallowed, and one that comes late would
           untick the box again. */
        SendMessageTimeoutA(box, BM_SETCHECK, BST_CHECKED, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS,
                            &state);
        SendMessageTimeoutA(bl.dlg, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(box), BN_CLICKED),
                            (LPARAM)box, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &state);
    }
    for (i = 0; i < 100; i++) {
        SendMessageTimeoutA(box, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT_MS, &state);
        if (state == BST_CHECKED)
            return EXIT_OK;
        Sleep(20);
    }
    fprintf(stderr, "wdriver check: the box stays clear\n");
    return EXIT_FAIL;
}

/* ---- metrics ---------------------------------------------------------- */

static int cmd_metrics(void)
{
    printf("{\"cxfullscreen\":%d,\"cyfullscreen\":%d}\n",
           GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
    fflush(stdout);
    return EXIT_OK;
}

/* ---- window ----------------------------------------------------------- */

static const char *marker_path;
static int ignore_close;

static void mark(const char *what)
{
    FILE *f;
    if (!marker_path)
        return;
    /* One line per WM_CLOSE so a test can tell how often it was asked. */
    f = fopen(marker_path, "ab");
    if (!f)
        return;
    fprintf(f, "%s\n", what);
    fclose(f);
}

static LRESULT CALLBACK target_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_CLOSE:
        if (ignore_close) {
            mark("ignored");
            return 0;
        }
        mark("closed");
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_TIMER:
        /* Safety net so a forgotten test window cannot outlive its run. */
        DestroyWindow(hwnd);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

static int cmd_window(int argc, char **argv)
{
    WNDCLASSW wc;
    wchar_t *wide_title;
    HWND hwnd;
    MSG m;
    const char *title = NULL;
    DWORD lifetime = 0;
    int i;

    for (i = 0; i < argc; i++) {
        if (!strcmp(argv[i], "--ignore-close"))
            ignore_close = 1;
        else if (!strcmp(argv[i], "--marker") && i + 1 < argc)
            marker_path = argv[++i];
        else if (!strcmp(argv[i], "--lifetime") && i + 1 < argc)
            lifetime = (DWORD)strtoul(argv[++i], NULL, 10);
        else if (!title)
            title = argv[i];
        else {
            fprintf(stderr, "wdriver window: unexpected argument '%s'\n",
                    argv[i]);
            return EXIT_USAGE;
        }
    }
    if (!title) {
        fprintf(stderr, "usage: wdriver window TITLE [--ignore-close] "
                        "[--marker FILE] [--lifetime MS]\n");
        return EXIT_USAGE;
    }

    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = target_proc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = L"WDriverTarget";
    if (!RegisterClassW(&wc)) {
        fprintf(stderr, "wdriver window: RegisterClass failed (%lu)\n",
                GetLastError());
        return EXIT_FAIL;
    }
    wide_title = wide_of(title);
    hwnd = CreateWindowExW(0, wc.lpszClassName, wide_title,
                           WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200,
                           NULL, NULL, wc.hInstance, NULL);
    free(wide_title);
    if (!hwnd) {
        fprintf(stderr, "wdriver window: CreateWindow failed (%lu)\n",
                GetLastError());
        return EXIT_FAIL;
    }
    if (lifetime)
        SetTimer(hwnd, 1, lifetime, NULL);
    UpdateWindow(hwnd);
    printf("{\"ready\":%llu}\n", (unsigned long long)(ULONG_PTR)hwnd);
    fflush(stdout);

    while (GetMessageW(&m, NULL, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return EXIT_OK;
}

/* ---- keepalive -------------------------------------------------------- */

/*
 * Wine ends the desktop process about a second after the last program using
 * the desktop exits, and the next GUI program starts a new one that inherits
 * that program's stdout/stderr.  A test reading such a pipe then never sees
 * end-of-file.  Holding the desktop for the whole session avoids that.
 */
static int cmd_keepalive(void)
{
    MSG m;
    HWND hwnd = CreateWindowExA(0, "Static", "wdriver keepalive", 0, 0, 0, 0,
                                0, HWND_MESSAGE, NULL, NULL, NULL);
    if (!hwnd) {
        fprintf(stderr, "wdriver keepalive: CreateWindow failed (%lu)\n",
                GetLastError());
        return EXIT_FAIL;
    }
    printf("{\"keepalive\":%lu}\n", (unsigned long)GetCurrentProcessId());
    fflush(stdout);
    while (GetMessageA(&m, NULL, 0, 0) > 0)
        DispatchMessageA(&m);
    return EXIT_OK;
}

/* ---- processes -------------------------------------------------------- */

/* One line a process: {"pid":N,"exe":"NAME"}. */
static int cmd_ps(void)
{
    PROCESSENTRY32W e;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return EXIT_FAIL;
    e.dwSize = sizeof e;
    if (Process32FirstW(snap, &e)) {
        do {
            size_t len = 0;
            char *name = utf8_of(e.szExeFile, -1, &len);
            printf("{\"pid\":%lu,\"exe\":", (unsigned long)e.th32ProcessID);
            /* the converted length counts the terminating zero */
            json_bytes(name ? name : "", name && len ? len - 1 : 0);
            free(name);
            printf("}\n");
        } while (Process32NextW(snap, &e));
    }
    CloseHandle(snap);
    fflush(stdout);
    return EXIT_OK;
}

static int cmd_kill(int argc, char **argv)
{
    HANDLE p;
    DWORD pid;
    if (argc != 1) {
        fprintf(stderr, "usage: wdriver kill PID\n");
        return EXIT_USAGE;
    }
    pid = (DWORD)strtoul(argv[0], NULL, 0);
    p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!p)
        return EXIT_FAIL; /* already gone */
    TerminateProcess(p, 255);
    WaitForSingleObject(p, 5000);
    CloseHandle(p);
    return EXIT_OK;
}

/* ---- main ------------------------------------------------------------- */

static void usage(void)
{
    fputs("usage: wdriver list\n"
          "       wdriver wait [--class C] [--title T] [--timeout MS]\n"
          "       wdriver press HWND BUTTON_ID\n"
          "       wdriver check HWND INDEX\n"
          "       wdriver metrics\n"
          "       wdriver window TITLE [--ignore-close] [--marker FILE]"
          " [--lifetime MS]\n"
          "       wdriver keepalive\n"
          "       wdriver ps\n"
          "       wdriver kill PID\n",
          stderr);
}

int main(int argc, char **ansi_argv)
{
    /* The arguments as UTF-8, from the wide command line. */
    int n = 0, i;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    char **argv = calloc((size_t)n + 1, sizeof *argv);
    (void)ansi_argv;
    for (i = 0; i < n; i++)
        argv[i] = utf8_of(wide[i], -1, NULL);
    argc = n;
    if (argc < 2) {
        usage();
        return EXIT_USAGE;
    }
    if (!strcmp(argv[1], "list"))
        return cmd_list();
    if (!strcmp(argv[1], "wait"))
        return cmd_wait(argc - 2, argv + 2);
    if (!strcmp(argv[1], "press"))
        return cmd_press(argc - 2, argv + 2);
    if (!strcmp(argv[1], "check"))
        return cmd_check(argc - 2, argv + 2);
    if (!strcmp(argv[1], "metrics"))
        return cmd_metrics();
    if (!strcmp(argv[1], "window"))
        return cmd_window(argc - 2, argv + 2);
    if (!strcmp(argv[1], "keepalive"))
        return cmd_keepalive();
    if (!strcmp(argv[1], "ps"))
        return cmd_ps();
    if (!strcmp(argv[1], "kill"))
        return cmd_kill(argc - 2, argv + 2);
    usage();
    return EXIT_USAGE;
}

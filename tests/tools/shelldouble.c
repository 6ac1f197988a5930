/*
 * shelldouble - an in-process stand-in for the shell's automation object
 * ("Shell.Application") in the private Wine prefix of the tests.
 *
 * Wine's own shell opens no ZIP archives as folders and ignores arguments
 * passed by reference, so the package extraction would never run there.
 * This server answers the members the extraction uses, the way the shell
 * documents them:
 *
 *   Shell   NameSpace(vDir)           a folder object, or none (null VT_DISPATCH)
 *   Folder  Items()                   the folder's top-level entries, hidden ones left out
 *           CopyHere(vItem, vOptions) copies a collection (or a path) into the folder
 *   Items   Count                     number of entries
 *           Filter(grfFlags, bstrFilter) re-lists the folder in place: SHCONTF_FOLDERS 32,
 *                                     SHCONTF_NONFOLDERS 64, SHCONTF_INCLUDEHIDDEN 128,
 *                                     ';'-separated wildcards
 *
 * An archive "X" is shown as the folder "X.contents" that the test put
 * beside it; a folder path as that folder; anything else gets no folder.
 *
 * Beside the DLL:
 *   shelldouble.log  one JSON object per line for every call received
 *                    (lookups, invokes with argument variant types and
 *                    values, objects made and freed, copies finished)
 *   shelldouble.ini  optional, key=value lines, read again on every call:
 *     missing=Name[,Name]       GetIDsOfNames answers DISP_E_UNKNOWNNAME
 *     fail=Name[,Name]          Invoke of the member fails ...
 *     fail_status=0x80020009    ... with this status (default DISP_E_EXCEPTION)
 *     fail_scode=0x80004005     EXCEPINFO scode
 *     fail_description=text     EXCEPINFO description, bytes kept to the line end
 *     fail_source=text          EXCEPINFO source
 *     copy_delay_ms=N           CopyHere returns at once; a thread copies after N ms
 *     no_folder=archive|folder|all   NameSpace gives no folder for such paths
 *     no_folder_as=null|empty   how "no folder" comes back (default null)
 *
 * Build: i686-w64-mingw32-gcc-posix -O2 -shared -static -o shelldouble.dll
 *        shelldouble.c -Wl,--kill-at -lole32 -loleaut32 -luuid -lshlwapi
 */
#define COBJMACROS
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* {67BED662-A42C-4C62-824C-39FE291EF067}: the class the prefix maps the
   shell's ProgID to. */
static const CLSID CLSID_ShellDouble = {
    0x67bed662, 0xa42c, 0x4c62, {0x82, 0x4c, 0x39, 0xfe, 0x29, 0x1e, 0xf0, 0x67}};
/* Private: lets the double recognise its own objects among arguments. */
static const IID IID_ShellDoubleObject = {
    0xee2d3cbc, 0xce8a, 0x4b93, {0xa9, 0xed, 0x65, 0x1b, 0x79, 0xbc, 0x5c, 0xd4}};

#define SHCONTF_FOLDERS 32
#define SHCONTF_NONFOLDERS 64
#define SHCONTF_INCLUDEHIDDEN 128

static HMODULE g_module;
static CRITICAL_SECTION g_lock;
static LONG g_objects, g_locks, g_threads, g_next_id;
static WCHAR g_log_path[MAX_PATH], g_control_path[MAX_PATH];

/* ---- growing text buffer ---------------------------------------------- */

typedef struct Buf {
    char *p;
    size_t n, cap;
} Buf;

static void buf_add(Buf *b, const char *s, size_t n)
{
    if (b->n + n + 1 > b->cap) {
        size_t cap = b->cap ? b->cap : 256;
        char *p;
        while (b->n + n + 1 > cap)
            cap *= 2;
        p = realloc(b->p, cap);
        if (!p)
            return;
        b->p = p;
        b->cap = cap;
    }
    memcpy(b->p + b->n, s, n);
    b->n += n;
    b->p[b->n] = 0;
}

static void buf_str(Buf *b, const char *s)
{
    buf_add(b, s, strlen(s));
}

static void buf_printf(Buf *b, const char *fmt, ...)
{
    char tmp[512];
    va_list ap;
    int n;
    va_start(ap, fmt);
    n = vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    if (n > 0)
        buf_add(b, tmp, (size_t)n < sizeof tmp ? (size_t)n : sizeof tmp - 1);
}

static void buf_json_utf8(Buf *b, const char *s, size_t n)
{
    size_t i;
    buf_str(b, "\"");
    for (i = 0; i < n; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c == '"' || c == '\\') {
            char e[2] = {'\\', (char)c};
            buf_add(b, e, 2);
        } else if (c < 0x20) {
            buf_printf(b, "\\u%04x", c);
        } else {
            buf_add(b, (const char *)&c, 1);
        }
    }
    buf_str(b, "\"");
}

static void buf_json_wide(Buf *b, const WCHAR *s, int len)
{
    int n;
    char *u;
    if (!s) {
        buf_str(b, "null");
        return;
    }
    if (len < 0)
        len = lstrlenW(s);
    n = WideCharToMultiByte(CP_UTF8, 0, s, len, NULL, 0, NULL, NULL);
    u = malloc((size_t)n + 1);
    if (!u)
        return;
    WideCharToMultiByte(CP_UTF8, 0, s, len, u, n, NULL, NULL);
    buf_json_utf8(b, u, (size_t)n);
    free(u);
}

/* ---- log -------------------------------------------------------------- */

/* Every line starts with a sequence number and the tick count, so the
   tests can order what the copy thread and the caller did. */
static void log_begin(Buf *b, const char *call)
{
    static LONG seq;
    buf_printf(b, "{\"seq\":%ld,\"ms\":%lu,\"thread\":%lu,\"call\":\"%s\"",
               (long)InterlockedIncrement(&seq), (unsigned long)GetTickCount(),
               (unsigned long)GetCurrentThreadId(), call);
}

static void log_end(Buf *b)
{
    HANDLE f;
    DWORD written;
    int attempt;
    buf_str(b, "}\n");
    if (!b->p)
        return;
    EnterCriticalSection(&g_lock);
    /* A test may be reading the log at the same moment. */
    for (attempt = 0; attempt < 50; attempt++) {
        f = CreateFileW(g_log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (f != INVALID_HANDLE_VALUE) {
            WriteFile(f, b->p, (DWORD)b->n, &written, NULL);
            CloseHandle(f);
            break;
        }
        Sleep(10);
    }
    LeaveCriticalSection(&g_lock);
    free(b->p);
    b->p = NULL;
    b->n = b->cap = 0;
}

/* ---- control file ----------------------------------------------------- */

typedef struct Control {
    char missing[512];
    char fail[512];
    char fail_description[1024];
    char fail_source[256];
    int has_description;
    LONG fail_status;
    LONG fail_scode;
    DWORD copy_delay_ms;
    char no_folder[32];
    char no_folder_as[32];
} Control;

static void copy_value(char *dst, size_t size, const char *src, size_t n)
{
    if (n >= size)
        n = size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

static void read_control(Control *c)
{
    HANDLE f;
    char data[16384];
    DWORD got = 0;
    char *line, *end;

    memset(c, 0, sizeof *c);
    c->fail_status = (LONG)DISP_E_EXCEPTION;
    c->fail_scode = (LONG)E_FAIL;
    lstrcpyA(c->fail_source, "Shell double");
    lstrcpyA(c->no_folder_as, "null");

    f = CreateFileW(g_control_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return;
    ReadFile(f, data, sizeof data - 1, &got, NULL);
    CloseHandle(f);
    data[got] = 0;

    for (line = data; *line; line = end) {
        char *eq, *key_end, *value;
        size_t vlen;
        end = line;
        while (*end && *end != '\n' && *end != '\r')
            end++;
        vlen = (size_t)(end - line);
        while (*end == '\n' || *end == '\r')
            end++;
        while (vlen && (*line == ' ' || *line == '\t')) {
            line++;
            vlen--;
        }
        if (!vlen || *line == '#')
            continue;
        eq = memchr(line, '=', vlen);
        if (!eq)
            continue;
        key_end = eq;
        while (key_end > line && (key_end[-1] == ' ' || key_end[-1] == '\t'))
            key_end--;
        value = eq + 1;
        /* Values keep their bytes up to the line end: trailing blanks of a
           description are part of what is being tested. */
        vlen -= (size_t)(value - line);
#define KEY(k) ((size_t)(key_end - line) == sizeof(k) - 1 && !memcmp(line, k, sizeof(k) - 1))
        if (KEY("missing"))
            copy_value(c->missing, sizeof c->missing, value, vlen);
        else if (KEY("fail"))
            copy_value(c->fail, sizeof c->fail, value, vlen);
        else if (KEY("fail_description")) {
            copy_value(c->fail_description, sizeof c->fail_description, value, vlen);
            c->has_description = 1;
        } else if (KEY("fail_source"))
            copy_value(c->fail_source, sizeof c->fail_source, value, vlen);
        else if (KEY("fail_status") || KEY("fail_scode") || KEY("copy_delay_ms")) {
            char num[32];
            unsigned long v;
            copy_value(num, sizeof num, value, vlen);
            v = strtoul(num, NULL, 0);
            if (KEY("fail_status"))
                c->fail_status = (LONG)v;
            else if (KEY("fail_scode"))
                c->fail_scode = (LONG)v;
            else
                c->copy_delay_ms = (DWORD)v;
        } else if (KEY("no_folder"))
            copy_value(c->no_folder, sizeof c->no_folder, value, vlen);
        else if (KEY("no_folder_as"))
            copy_value(c->no_folder_as, sizeof c->no_folder_as, value, vlen);
#undef KEY
    }
}

/* Is name one of the ',' / ';' / blank separated words of list? */
static int listed(const char *list, const WCHAR *name)
{
    char n[128];
    const char *p = list;
    size_t len;
    if (!WideCharToMultiByte(CP_UTF8, 0, name, -1, n, sizeof n, NULL, NULL))
        return 0;
    len = strlen(n);
    while (*p) {
        const char *w;
        while (*p == ',' || *p == ';' || *p == ' ' || *p == '\t')
            p++;
        w = p;
        while (*p && *p != ',' && *p != ';' && *p != ' ' && *p != '\t')
            p++;
        if ((size_t)(p - w) == len && len && !_strnicmp(w, n, len))
            return 1;
    }
    return 0;
}

/* ---- objects ---------------------------------------------------------- */

enum { K_SHELL, K_FOLDER, K_ITEMS };
static const char *const kind_names[] = {"shell", "folder", "items"};

typedef struct Obj {
    const IDispatchVtbl *lpVtbl;
    LONG refs;
    int kind;
    LONG id;
    WCHAR *dir;   /* folder: what it shows; items: the folder listed */
    WCHAR *given; /* folder: the path NameSpace received */
    int archive;
    WCHAR **names; /* items: entry names */
    int count;
} Obj;

enum { M_NAMESPACE = 1, M_ITEMS, M_COPYHERE, M_COUNT, M_FILTER };

static const struct Member {
    const WCHAR *name;
    int kind;
    DISPID id;
    WORD invoke; /* the invoke kind bit the member answers to */
} members[] = {
    {L"NameSpace", K_SHELL, M_NAMESPACE, DISPATCH_METHOD},
    {L"Items", K_FOLDER, M_ITEMS, DISPATCH_METHOD},
    {L"CopyHere", K_FOLDER, M_COPYHERE, DISPATCH_METHOD},
    {L"Count", K_ITEMS, M_COUNT, DISPATCH_PROPERTYGET},
    {L"Filter", K_ITEMS, M_FILTER, DISPATCH_METHOD},
};

static const struct Member *member_by_id(int kind, DISPID id)
{
    size_t i;
    for (i = 0; i < sizeof members / sizeof *members; i++)
        if (members[i].kind == kind && members[i].id == id)
            return &members[i];
    return NULL;
}

static const IDispatchVtbl obj_vtbl;

static WCHAR *wdup(const WCHAR *s)
{
    size_t n = (size_t)lstrlenW(s) + 1;
    WCHAR *d = malloc(n * sizeof(WCHAR));
    if (d)
        memcpy(d, s, n * sizeof(WCHAR));
    return d;
}

/* dir + "\" + name, without doubling a trailing backslash. */
static WCHAR *join(const WCHAR *dir, const WCHAR *name)
{
    size_t a = (size_t)lstrlenW(dir), b = (size_t)lstrlenW(name);
    WCHAR *p = malloc((a + b + 2) * sizeof(WCHAR));
    if (!p)
        return NULL;
    memcpy(p, dir, a * sizeof(WCHAR));
    if (a && dir[a - 1] != L'\\' && dir[a - 1] != L'/')
        p[a++] = L'\\';
    memcpy(p + a, name, (b + 1) * sizeof(WCHAR));
    return p;
}

static void obj_label(Buf *b, Obj *o)
{
    if (!o)
        buf_str(b, "null");
    else
        buf_printf(b, "\"%s#%ld\"", kind_names[o->kind], (long)o->id);
}

static Obj *obj_new(int kind)
{
    Obj *o = calloc(1, sizeof *o);
    Buf b = {0};
    if (!o)
        return NULL;
    o->lpVtbl = &obj_vtbl;
    o->refs = 1;
    o->kind = kind;
    o->id = InterlockedIncrement(&g_next_id);
    InterlockedIncrement(&g_objects);
    log_begin(&b, "new");
    buf_str(&b, ",\"obj\":");
    obj_label(&b, o);
    log_end(&b);
    return o;
}

static void free_names(Obj *o)
{
    int i;
    for (i = 0; i < o->count; i++)
        free(o->names[i]);
    free(o->names);
    o->names = NULL;
    o->count = 0;
}

static Obj *own_object(IUnknown *unk)
{
    Obj *o = NULL;
    if (unk && SUCCEEDED(IUnknown_QueryInterface(unk, &IID_ShellDoubleObject, (void **)&o)))
        IDispatch_Release((IDispatch *)o);
    return o;
}

/* ---- folder listing --------------------------------------------------- */

static int by_name(const void *a, const void *b)
{
    return lstrcmpiW(*(WCHAR *const *)a, *(WCHAR *const *)b);
}

static void list_folder(Obj *items, int flags, const WCHAR *wildcards)
{
    WIN32_FIND_DATAW fd;
    WCHAR *pattern = join(items->dir, L"*");
    HANDLE h;
    int cap = 0;

    free_names(items);
    if (!pattern)
        return;
    h = FindFirstFileW(pattern, &fd);
    free(pattern);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        int folder = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        int hidden = (fd.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
        if (!lstrcmpW(fd.cFileName, L".") || !lstrcmpW(fd.cFileName, L".."))
            continue;
        if (folder ? !(flags & SHCONTF_FOLDERS) : !(flags & SHCONTF_NONFOLDERS))
            continue;
        if (hidden && !(flags & SHCONTF_INCLUDEHIDDEN))
            continue;
        if (wildcards && *wildcards && !PathMatchSpecW(fd.cFileName, wildcards))
            continue;
        if (items->count == cap) {
            WCHAR **n = realloc(items->names, (size_t)(cap ? cap * 2 : 16) * sizeof(WCHAR *));
            if (!n)
                break;
            items->names = n;
            cap = cap ? cap * 2 : 16;
        }
        items->names[items->count++] = wdup(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    if (items->count)
        qsort(items->names, (size_t)items->count, sizeof(WCHAR *), by_name);
}

/* ---- copying ---------------------------------------------------------- */

typedef struct CopyJob {
    DWORD delay_ms;
    LONG target_id;
    int count;
    WCHAR **from;
    WCHAR **to;
} CopyJob;

/* The path with the \\?\ prefix that takes each name as it is: an archive
   may hold names (CON, "readme.txt.") that the system would otherwise take
   for a device or trim, and the program's own check must see them. */
static WCHAR *verbatim(const WCHAR *path)
{
    size_t n = (size_t)lstrlenW(path);
    WCHAR *p;
    if (n < 3 || path[1] != L':' || path[2] != L'\\')
        return wdup(path);
    p = malloc((n + 5) * sizeof(WCHAR));
    if (!p)
        return NULL;
    lstrcpyW(p, L"\\\\?\\");
    lstrcatW(p, path);
    return p;
}

/* Copies a file or a whole tree; replaces files without asking, read-only
   ones included, as FOF_NOCONFIRMATION answers yes to everything. Failed
   paths are added to the log record, without the verbatim prefix. */
static int copy_tree(const WCHAR *from, const WCHAR *to, Buf *failed)
{
    DWORD attr = GetFileAttributesW(from);
    int copied = 0;
    if (attr == INVALID_FILE_ATTRIBUTES)
        goto fail;
    if (attr & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAW fd;
        WCHAR *pattern = join(from, L"*");
        HANDLE h;
        if (!CreateDirectoryW(to, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
            free(pattern);
            goto fail;
        }
        h = pattern ? FindFirstFileW(pattern, &fd) : INVALID_HANDLE_VALUE;
        free(pattern);
        if (h == INVALID_HANDLE_VALUE)
            return 0;
        do {
            WCHAR *a, *b;
            if (!lstrcmpW(fd.cFileName, L".") || !lstrcmpW(fd.cFileName, L".."))
                continue;
            a = join(from, fd.cFileName);
            b = join(to, fd.cFileName);
            if (a && b)
                copied += copy_tree(a, b, failed);
            free(a);
            free(b);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
        return copied;
    }
    if (CopyFileW(from, to, FALSE))
        return 1;
    {
        DWORD old = GetFileAttributesW(to);
        if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) &&
            !(old & FILE_ATTRIBUTE_DIRECTORY)) {
            SetFileAttributesW(to, old & ~FILE_ATTRIBUTE_READONLY);
            if (CopyFileW(from, to, FALSE))
                return 1;
        }
    }
fail:
    if (failed->n)
        buf_str(failed, ",");
    buf_json_wide(failed, to[0] == L'\\' && to[1] == L'\\' && to[2] == L'?' ? to + 4 : to, -1);
    return copied;
}

static void run_job(CopyJob *job)
{
    Buf b = {0}, failed = {0};
    int i, files = 0;
    for (i = 0; i < job->count; i++) {
        WCHAR *from = verbatim(job->from[i]), *to = verbatim(job->to[i]);
        if (from && to)
            files += copy_tree(from, to, &failed);
        free(from);
        free(to);
    }
    log_begin(&b, "copied");
    buf_printf(&b, ",\"into\":\"folder#%ld\",\"items\":%d,\"files\":%d,\"failed\":[",
               (long)job->target_id, job->count, files);
    if (failed.p)
        buf_add(&b, failed.p, failed.n);
    buf_str(&b, "]");
    log_end(&b);
    free(failed.p);
    for (i = 0; i < job->count; i++) {
        free(job->from[i]);
        free(job->to[i]);
    }
    free(job->from);
    free(job->to);
    free(job);
}

static DWORD WINAPI copy_later(void *arg)
{
    CopyJob *job = arg;
    Sleep(job->delay_ms);
    run_job(job);
    InterlockedDecrement(&g_threads);
    /* The thread pinned the DLL when it was started. */
    FreeLibraryAndExitThread(g_module, 0);
    return 0;
}

/* ---- variants --------------------------------------------------------- */

static void describe(Buf *b, const VARIANT *v, int depth)
{
    VARTYPE vt = V_VT(v);
    buf_printf(b, "{\"vt\":%u", (unsigned)vt);
    switch (vt) {
    case VT_BSTR:
        buf_str(b, ",\"value\":");
        buf_json_wide(b, V_BSTR(v), V_BSTR(v) ? (int)SysStringLen(V_BSTR(v)) : 0);
        break;
    case VT_BYREF | VT_BSTR:
        buf_str(b, ",\"value\":");
        if (V_BSTRREF(v) && *V_BSTRREF(v))
            buf_json_wide(b, *V_BSTRREF(v), (int)SysStringLen(*V_BSTRREF(v)));
        else
            buf_str(b, "null");
        break;
    case VT_I2:
        buf_printf(b, ",\"value\":%d", V_I2(v));
        break;
    case VT_I4:
    case VT_INT:
        buf_printf(b, ",\"value\":%ld", (long)V_I4(v));
        break;
    case VT_UI4:
    case VT_UINT:
        buf_printf(b, ",\"value\":%lu", (unsigned long)V_UI4(v));
        break;
    case VT_BYREF | VT_I4:
        if (V_I4REF(v))
            buf_printf(b, ",\"value\":%ld", (long)*V_I4REF(v));
        break;
    case VT_BOOL:
        buf_printf(b, ",\"value\":%d", V_BOOL(v));
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        buf_str(b, ",\"obj\":");
        if (!V_UNKNOWN(v))
            buf_str(b, "null");
        else if (own_object(V_UNKNOWN(v)))
            obj_label(b, own_object(V_UNKNOWN(v)));
        else
            buf_str(b, "\"foreign\"");
        break;
    case VT_BYREF | VT_DISPATCH:
        buf_str(b, ",\"obj\":");
        if (!V_DISPATCHREF(v) || !*V_DISPATCHREF(v))
            buf_str(b, "null");
        else if (own_object((IUnknown *)*V_DISPATCHREF(v)))
            obj_label(b, own_object((IUnknown *)*V_DISPATCHREF(v)));
        else
            buf_str(b, "\"foreign\"");
        break;
    case VT_BYREF | VT_VARIANT:
        buf_str(b, ",\"ref\":");
        if (V_VARIANTREF(v) && depth < 4)
            describe(b, V_VARIANTREF(v), depth + 1);
        else
            buf_str(b, "null");
        break;
    default:
        break;
    }
    buf_str(b, "}");
}

/* What an argument holds once references are followed. */
static const VARIANT *deref(const VARIANT *v)
{
    int depth = 0;
    while (v && V_VT(v) == (VT_BYREF | VT_VARIANT) && depth++ < 4)
        v = V_VARIANTREF(v);
    return v;
}

static const WCHAR *string_of(const VARIANT *v)
{
    v = deref(v);
    if (!v)
        return NULL;
    if (V_VT(v) == VT_BSTR)
        return V_BSTR(v) ? V_BSTR(v) : L"";
    if (V_VT(v) == (VT_BYREF | VT_BSTR))
        return V_BSTRREF(v) && *V_BSTRREF(v) ? *V_BSTRREF(v) : L"";
    return NULL;
}

static int int_of(const VARIANT *v, LONG *out)
{
    VARIANT tmp;
    v = deref(v);
    if (!v)
        return 0;
    VariantInit(&tmp);
    if (FAILED(VariantChangeType(&tmp, (VARIANT *)v, 0, VT_I4)))
        return 0;
    *out = V_I4(&tmp);
    return 1;
}

static IUnknown *object_of(const VARIANT *v)
{
    v = deref(v);
    if (!v)
        return NULL;
    if (V_VT(v) == VT_DISPATCH || V_VT(v) == VT_UNKNOWN)
        return V_UNKNOWN(v);
    if (V_VT(v) == (VT_BYREF | VT_DISPATCH))
        return V_DISPATCHREF(v) ? (IUnknown *)*V_DISPATCHREF(v) : NULL;
    return NULL;
}

/* ---- members ---------------------------------------------------------- */

static HRESULT do_namespace(const VARIANT *arg, const Control *c, VARIANT *result, Buf *note)
{
    const WCHAR *path = string_of(arg);
    DWORD attr;
    int archive = 0;
    WCHAR *shown = NULL;
    Obj *folder;
    LONG special;

    if (!path) {
        /* A special-folder number is a valid argument, but no test needs
           one: answer as for a folder that does not exist. */
        if (!int_of(arg, &special))
            return DISP_E_TYPEMISMATCH;
        path = L"";
    }
    attr = *path ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) {
        if (strcmp(c->no_folder, "folder") && strcmp(c->no_folder, "all"))
            shown = wdup(path);
    } else if (attr != INVALID_FILE_ATTRIBUTES) {
        WCHAR *contents = malloc(((size_t)lstrlenW(path) + 16) * sizeof(WCHAR));
        if (contents) {
            DWORD a;
            lstrcpyW(contents, path);
            lstrcatW(contents, L".contents");
            a = GetFileAttributesW(contents);
            if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
                strcmp(c->no_folder, "archive") && strcmp(c->no_folder, "all")) {
                shown = contents;
                archive = 1;
            } else {
                free(contents);
            }
        }
    }
    if (!shown) {
        buf_str(note, ",\"folder\":null");
        if (result) {
            if (!strcmp(c->no_folder_as, "empty")) {
                V_VT(result) = VT_EMPTY;
            } else {
                V_VT(result) = VT_DISPATCH;
                V_DISPATCH(result) = NULL;
            }
        }
        return S_OK;
    }
    folder = obj_new(K_FOLDER);
    if (!folder) {
        free(shown);
        return E_OUTOFMEMORY;
    }
    folder->dir = shown;
    folder->given = wdup(path);
    folder->archive = archive;
    buf_str(note, ",\"folder\":");
    obj_label(note, folder);
    buf_str(note, ",\"shows\":");
    buf_json_wide(note, shown, -1);
    buf_printf(note, ",\"archive\":%s", archive ? "true" : "false");
    if (result) {
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = (IDispatch *)folder;
    } else {
        IDispatch_Release((IDispatch *)folder);
    }
    return S_OK;
}

static HRESULT do_items(Obj *folder, VARIANT *result, Buf *note)
{
    Obj *items = obj_new(K_ITEMS);
    if (!items)
        return E_OUTOFMEMORY;
    items->dir = wdup(folder->dir);
    list_folder(items, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, NULL);
    buf_str(note, ",\"items\":");
    obj_label(note, items);
    buf_printf(note, ",\"count\":%d", items->count);
    if (result) {
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = (IDispatch *)items;
    } else {
        IDispatch_Release((IDispatch *)items);
    }
    return S_OK;
}

static HRESULT do_filter(Obj *items, const VARIANT *flags_arg, const VARIANT *wildcards_arg,
                         UINT *arg_err, Buf *note)
{
    LONG flags;
    const WCHAR *wildcards = string_of(wildcards_arg);
    if (!int_of(flags_arg, &flags)) {
        if (arg_err)
            *arg_err = 1;
        return DISP_E_TYPEMISMATCH;
    }
    if (!wildcards) {
        if (arg_err)
            *arg_err = 0;
        return DISP_E_TYPEMISMATCH;
    }
    list_folder(items, (int)flags, wildcards);
    buf_printf(note, ",\"count\":%d", items->count);
    return S_OK;
}

static HRESULT do_copyhere(Obj *folder, const VARIANT *item_arg, const VARIANT *options_arg,
                           const Control *c, Buf *note)
{
    CopyJob *job;
    LONG options = 0;
    const WCHAR *path = string_of(item_arg);
    IUnknown *unk = object_of(item_arg);
    Obj *source = own_object(unk);
    int i;

    if (options_arg)
        int_of(options_arg, &options);
    job = calloc(1, sizeof *job);
    if (!job)
        return E_OUTOFMEMORY;
    job->target_id = folder->id;
    job->delay_ms = c->copy_delay_ms;
    if (source && source->kind == K_ITEMS) {
        job->count = source->count;
        job->from = calloc((size_t)job->count + 1, sizeof(WCHAR *));
        job->to = calloc((size_t)job->count + 1, sizeof(WCHAR *));
        for (i = 0; job->from && job->to && i < job->count; i++) {
            job->from[i] = join(source->dir, source->names[i]);
            job->to[i] = join(folder->dir, source->names[i]);
        }
    } else if (path && *path) {
        const WCHAR *name = PathFindFileNameW(path);
        job->count = 1;
        job->from = calloc(1, sizeof(WCHAR *));
        job->to = calloc(1, sizeof(WCHAR *));
        if (job->from && job->to) {
            job->from[0] = wdup(path);
            job->to[0] = join(folder->dir, name);
        }
    } else {
        /* Nothing the shell could copy. */
        free(job);
        buf_str(note, ",\"refused\":true");
        return E_INVALIDARG;
    }
    buf_printf(note, ",\"options\":%ld,\"copies\":%d,\"delay_ms\":%lu", (long)options, job->count,
               (unsigned long)job->delay_ms);
    if (job->delay_ms) {
        HMODULE pin;
        HANDLE t;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCWSTR)(void *)copy_later,
                           &pin);
        InterlockedIncrement(&g_threads);
        t = CreateThread(NULL, 0, copy_later, job, 0, NULL);
        if (!t) {
            InterlockedDecrement(&g_threads);
            FreeLibrary(pin);
            run_job(job);
        } else {
            CloseHandle(t);
        }
    } else {
        run_job(job);
    }
    return S_OK;
}

/* ---- IDispatch -------------------------------------------------------- */

static HRESULT WINAPI obj_QueryInterface(IDispatch *iface, REFIID riid, void **out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IDispatch) ||
        IsEqualIID(riid, &IID_ShellDoubleObject)) {
        *out = iface;
        IDispatch_AddRef(iface);
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

static ULONG WINAPI obj_AddRef(IDispatch *iface)
{
    return (ULONG)InterlockedIncrement(&((Obj *)iface)->refs);
}

static ULONG WINAPI obj_Release(IDispatch *iface)
{
    Obj *o = (Obj *)iface;
    LONG n = InterlockedDecrement(&o->refs);
    if (n == 0) {
        Buf b = {0};
        log_begin(&b, "free");
        buf_str(&b, ",\"obj\":");
        obj_label(&b, o);
        log_end(&b);
        free_names(o);
        free(o->dir);
        free(o->given);
        free(o);
        InterlockedDecrement(&g_objects);
    }
    return (ULONG)n;
}

static HRESULT WINAPI obj_GetTypeInfoCount(IDispatch *iface, UINT *count)
{
    (void)iface;
    if (count)
        *count = 0;
    return S_OK;
}

static HRESULT WINAPI obj_GetTypeInfo(IDispatch *iface, UINT index, LCID lcid, ITypeInfo **info)
{
    (void)iface;
    (void)index;
    (void)lcid;
    if (info)
        *info = NULL;
    return DISP_E_BADINDEX;
}

static HRESULT WINAPI obj_GetIDsOfNames(IDispatch *iface, REFIID riid, LPOLESTR *names,
                                        UINT count, LCID lcid, DISPID *ids)
{
    Obj *o = (Obj *)iface;
    Control c;
    HRESULT hr = S_OK;
    UINT i;
    Buf b = {0};

    (void)riid;
    read_control(&c);
    log_begin(&b, "GetIDsOfNames");
    buf_str(&b, ",\"on\":");
    obj_label(&b, o);
    buf_printf(&b, ",\"lcid\":%lu,\"names\":[", (unsigned long)lcid);
    for (i = 0; i < count; i++) {
        size_t m;
        ids[i] = DISPID_UNKNOWN;
        if (i)
            buf_str(&b, ",");
        buf_json_wide(&b, names[i], -1);
        if (i > 0) {
            /* Named arguments: none of these members has any. */
            hr = DISP_E_UNKNOWNNAME;
            continue;
        }
        if (listed(c.missing, names[i])) {
            hr = DISP_E_UNKNOWNNAME;
            continue;
        }
        for (m = 0; m < sizeof members / sizeof *members; m++)
            if (members[m].kind == o->kind && !lstrcmpiW(members[m].name, names[i]))
                ids[i] = members[m].id;
        if (ids[i] == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    buf_printf(&b, "],\"hr\":\"0x%08lx\"", (unsigned long)hr);
    log_end(&b);
    return hr;
}

static HRESULT WINAPI obj_Invoke(IDispatch *iface, DISPID id, REFIID riid, LCID lcid, WORD flags,
                                 DISPPARAMS *params, VARIANT *result, EXCEPINFO *excep,
                                 UINT *arg_err)
{
    Obj *o = (Obj *)iface;
    const struct Member *m = member_by_id(o->kind, id);
    Control c;
    HRESULT hr;
    UINT argc = params ? params->cArgs : 0, i;
    const VARIANT *arg[2] = {NULL, NULL}; /* in source order */
    Buf b = {0}, note = {0};

    (void)riid;
    read_control(&c);
    log_begin(&b, "Invoke");
    buf_str(&b, ",\"on\":");
    obj_label(&b, o);
    buf_printf(&b, ",\"member\":\"");
    if (m) {
        char name[32];
        WideCharToMultiByte(CP_UTF8, 0, m->name, -1, name, sizeof name, NULL, NULL);
        buf_str(&b, name);
    }
    buf_printf(&b, "\",\"dispid\":%ld,\"kind\":%u,\"lcid\":%lu,\"named\":%u,\"result_wanted\":%s,"
                   "\"args\":[",
               (long)id, (unsigned)flags, (unsigned long)lcid,
               params ? params->cNamedArgs : 0, result ? "true" : "false");
    for (i = 0; i < argc; i++) {
        const VARIANT *v = &params->rgvarg[argc - 1 - i];
        if (i)
            buf_str(&b, ",");
        describe(&b, v, 0);
        if (i < 2)
            arg[i] = v;
    }
    buf_str(&b, "]");

    if (result)
        VariantInit(result);
    if (!m || !(flags & m->invoke)) {
        hr = DISP_E_MEMBERNOTFOUND;
    } else if (params && params->cNamedArgs) {
        hr = DISP_E_NONAMEDARGS;
    } else if (listed(c.fail, m->name)) {
        hr = (HRESULT)c.fail_status;
        if (hr == DISP_E_EXCEPTION && excep) {
            WCHAR text[1024];
            memset(excep, 0, sizeof *excep);
            excep->scode = (HRESULT)c.fail_scode;
            if (c.has_description) {
                MultiByteToWideChar(CP_UTF8, 0, c.fail_description, -1, text, 1024);
                excep->bstrDescription = SysAllocString(text);
            }
            MultiByteToWideChar(CP_UTF8, 0, c.fail_source, -1, text, 1024);
            excep->bstrSource = SysAllocString(text);
        }
        buf_str(&note, ",\"failed_on_request\":true");
    } else {
        switch (m->id) {
        case M_NAMESPACE:
            hr = argc == 1 ? do_namespace(arg[0], &c, result, &note) : DISP_E_BADPARAMCOUNT;
            break;
        case M_ITEMS:
            hr = argc == 0 ? do_items(o, result, &note) : DISP_E_BADPARAMCOUNT;
            break;
        case M_COUNT:
            hr = argc == 0 ? S_OK : DISP_E_BADPARAMCOUNT;
            if (hr == S_OK && result) {
                V_VT(result) = VT_I4;
                V_I4(result) = o->count;
            }
            buf_printf(&note, ",\"count\":%d", o->count);
            break;
        case M_FILTER:
            hr = argc == 2 ? do_filter(o, arg[0], arg[1], arg_err, &note) : DISP_E_BADPARAMCOUNT;
            break;
        case M_COPYHERE:
            hr = argc == 1 || argc == 2 ? do_copyhere(o, arg[0], arg[1], &c, &note)
                                        : DISP_E_BADPARAMCOUNT;
            break;
        default:
            hr = DISP_E_MEMBERNOTFOUND;
        }
    }
    if (note.p)
        buf_add(&b, note.p, note.n);
    free(note.p);
    buf_printf(&b, ",\"hr\":\"0x%08lx\"", (unsigned long)hr);
    log_end(&b);
    return hr;
}

static const IDispatchVtbl obj_vtbl = {
    obj_QueryInterface, obj_AddRef,        obj_Release, obj_GetTypeInfoCount,
    obj_GetTypeInfo,    obj_GetIDsOfNames, obj_Invoke,
};

/* ---- class factory ---------------------------------------------------- */

static HRESULT WINAPI cf_QueryInterface(IClassFactory *iface, REFIID riid, void **out)
{
    if (!out)
        return E_POINTER;
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IClassFactory)) {
        *out = iface;
        IClassFactory_AddRef(iface);
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

static ULONG WINAPI cf_AddRef(IClassFactory *iface)
{
    (void)iface;
    return (ULONG)InterlockedIncrement(&g_locks);
}

static ULONG WINAPI cf_Release(IClassFactory *iface)
{
    (void)iface;
    return (ULONG)InterlockedDecrement(&g_locks);
}

static HRESULT WINAPI cf_CreateInstance(IClassFactory *iface, IUnknown *outer, REFIID riid,
                                        void **out)
{
    Obj *shell;
    HRESULT hr;
    (void)iface;
    if (!out)
        return E_POINTER;
    *out = NULL;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    shell = obj_new(K_SHELL);
    if (!shell)
        return E_OUTOFMEMORY;
    hr = IDispatch_QueryInterface((IDispatch *)shell, riid, out);
    IDispatch_Release((IDispatch *)shell);
    return hr;
}

static HRESULT WINAPI cf_LockServer(IClassFactory *iface, BOOL lock)
{
    (void)iface;
    if (lock)
        InterlockedIncrement(&g_locks);
    else
        InterlockedDecrement(&g_locks);
    return S_OK;
}

static IClassFactoryVtbl cf_vtbl = {
    cf_QueryInterface, cf_AddRef, cf_Release, cf_CreateInstance, cf_LockServer,
};
static IClassFactory factory = {&cf_vtbl};

/* ---- exports ---------------------------------------------------------- */

__declspec(dllexport) HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void **out)
{
    if (!out)
        return E_POINTER;
    *out = NULL;
    if (!IsEqualCLSID(clsid, &CLSID_ShellDouble))
        return CLASS_E_CLASSNOTAVAILABLE;
    return IClassFactory_QueryInterface(&factory, riid, out);
}

__declspec(dllexport) HRESULT WINAPI DllCanUnloadNow(void)
{
    return g_objects == 0 && g_locks == 0 && g_threads == 0 ? S_OK : S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, void *reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR *slash;
        g_module = inst;
        DisableThreadLibraryCalls(inst);
        InitializeCriticalSection(&g_lock);
        GetModuleFileNameW(inst, g_log_path, MAX_PATH - 20);
        slash = wcsrchr(g_log_path, L'\\');
        slash = slash ? slash + 1 : g_log_path;
        lstrcpyW(slash, L"shelldouble.log");
        lstrcpyW(g_control_path, g_log_path);
        lstrcpyW(g_control_path + (slash - g_log_path), L"shelldouble.ini");
    } else if (reason == DLL_PROCESS_DETACH && !reserved) {
        DeleteCriticalSection(&g_lock);
    }
    return TRUE;
}

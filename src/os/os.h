// The OS layer: one flat function per platform call the program makes.
// Windows semantics on both builds (attribute bits, error codes, message-box
// results), so that everything above this header is written once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "os/transfer.h"
#include "os/unique.h"

namespace os {

// Each kind of handle points at a type of its own, defined by each build,
// so that one kind never converts into another. Null is "no handle".
struct FindState;
struct FileState;
struct NetState;
struct WindowState;
struct SnapshotState;
struct HashState;
using FindHandle = FindState*;
using FileHandle = FileState*;
using NetHandle = NetState*;
using WindowHandle = WindowState*;
using SnapshotHandle = SnapshotState*;
using HashHandle = HashState*;

// The folder separator, and the longest path (in bytes, without the
// terminating zero) that the platform's file calls take: MAX_PATH on
// Windows, PATH_MAX on Linux.
#ifdef _WIN32
constexpr char kPathSep = '\\';
constexpr size_t kMaxPathLength = 259;
#else
constexpr char kPathSep = '/';
constexpr size_t kMaxPathLength = 4095;
#endif

// True for the bytes that end the folder part of a path: backslash and colon
// on Windows, slash on the POSIX build.
bool IsPathDelimiter(char c);

// Attribute bits as the directory search reports them.
enum : uint32_t {
  kAttrReadOnly = 1u << 0,
  kAttrHidden = 1u << 1,
  kAttrSystem = 1u << 2,
  kAttrVolume = 1u << 3,
  kAttrDirectory = 1u << 4,
  kAttrArchive = 1u << 5,
  kAttrNormal = 1u << 7,
  kAttrReparsePoint = 1u << 10,
};

// Windows error codes that the layer reports for file operations.
enum : int32_t {
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyOpenFiles = 4,
  kErrAccessDenied = 5,
  kErrSharingViolation = 32,
  kErrLockViolation = 33,
  kErrFileExists = 80,
  kErrDiskFull = 112,
  kErrUserMappedFile = 1224,
};

// Message-box flags and results used by the program (the MB_ and ID
// values of Windows): the buttons, the icon, the modality, the z-order.
enum : uint32_t {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbYesNoCancel = 0x3,
  kMbRetryCancel = 0x5,
  kMbTypeMask = 0xF
};
enum : uint32_t { kMbIconError = 0x10, kMbIconQuestion = 0x20, kMbIconExclamation = 0x30 };
enum : uint32_t { kMbSystemModal = 0x1000, kMbTaskModal = 0x2000, kMbTopmost = 0x40000 };
enum : int { kIdOk = 1, kIdCancel = 2, kIdRetry = 4, kIdYes = 6, kIdNo = 7 };

// GetSystemMetrics indexes: the client area of a full-screen window.
enum : int { kSmCxFullScreen = 16, kSmCyFullScreen = 17 };

// Show commands of ShellOpen and of the status window.
enum : int { kSwHide = 0, kSwShowNormal = 1 };

// ShellOpen results: above kShellLastError means started; the POSIX build
// reports a start as kShellStarted.
enum : intptr_t {
  kShellFileNotFound = 2,
  kShellNoAssociation = 31,
  kShellLastError = 32,
  kShellStarted = 42,
};

// The close request that PostCloseMessage sends (WM_CLOSE).
constexpr uint32_t kWmClose = 0x10;

// ---- process and start-up --------------------------------------------------
std::string ExePath();  // full path of the running executable
// The index-th argument after the program path (1: the option word), by the
// program's own rules; empty when there is none.
std::string Argument(int index);
// The arguments of a console program by the C runtime's rules, the program
// path first: on Windows those of the wide command line, whatever the
// code page (argv is what main got, for the POSIX build).
std::vector<std::string> ConsoleArguments(int argc, char** argv);
// Standard output takes UTF-8 for as long as the object lives: a Windows
// console shows it as such, and gets its own code page back after.
class Utf8Console {
 public:
  Utf8Console();
  ~Utf8Console();
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;
};
void ComInitialize();
void ComUninitialize();
void Sleep(uint32_t ms);
struct SystemTime {
  int hour, minute, second, millisecond;
};
SystemTime GetSystemTimeUtc();
// Seconds since 1970-01-01T00:00:00Z.
int64_t UnixTimeUtc();
// Milliseconds of a clock that never goes back, for limits on waits.
uint64_t MonotonicMs();
[[noreturn]] void ExitProcess(int code);
// The exit code that carries code to a parent: the code itself on Windows;
// on POSIX, where a parent sees 8 bits, negative codes as their low byte
// and counts above 125 as 125, since 126 and 127 are pkexec's own.
int ExitCodeFor(int32_t code);

// Starts this program once more with administrator rights ("runas";
// pkexec on POSIX) with parameters, arguments by the program's own rules,
// and waits for it to end, handling messages meanwhile. kDone gives the
// copy's exit code as its code (exit codes the copy cannot have given
// itself, such as an end by a signal, come as INT32_MIN); kDeclined: the
// user dismissed the prompt or is not allowed; kUnavailable: no copy could
// be started.
enum class Elevation { kDone, kDeclined, kUnavailable };
Elevation RunElevated(const std::string& parameters, int32_t& exitCode);
// Starts the program at path with arguments (by the program's own rules:
// blanks separate, a quoted stretch keeps its blanks) directly, never
// through the shell, and waits for it to end; false when it could not be
// started. An end by a signal (POSIX) gives INT32_MIN. On POSIX the file
// gets its owner's execute bit first.
bool RunProgramAndWait(const std::string& path, const std::string& arguments, int32_t& exitCode);
// Writes text to standard output where the caller gave the program one (a
// GUI program started with its output redirected); nothing otherwise.
void WriteStandardOutput(const std::string& text);

// ---- files and folders ----------------------------------------------------
struct FindData {
  uint32_t attributes = 0;
  std::string name;  // long name, no folder
};
// Null when nothing matched (or the folder cannot be read).
FindHandle FindFirst(const std::string& pattern, FindData& data);
bool FindNext(FindHandle h, FindData& data);
void FindClose(FindHandle h);

// The attributes of the entry at path itself, as the file system names it
// (without regard to letter case only where the file system does so);
// false when there is none. No wildcards.
bool PathAttributes(const std::string& path, uint32_t& attributes);

// These return 0 or a Windows error code; the caller decides what to raise.
int32_t FileOpenRead(const std::string& path, FileHandle& out);
// Created anew for reading and writing, shared with readers and writers.
int32_t FileCreateShared(const std::string& path, FileHandle& out);
// An existing file opened for reading and writing, shared with readers and
// writers, positioned at its end; size is its length.
int32_t FileOpenAppend(const std::string& path, FileHandle& out, uint64_t& size);
// Created anew for reading and writing, no sharing.
int32_t FileCreateExclusive(const std::string& path, FileHandle& out);
// Created for writing only when nothing of that name exists (kErrFileExists
// otherwise); on POSIX readable by its owner alone.
int32_t FileCreatePrivate(const std::string& path, FileHandle& out);
int32_t FileRead(FileHandle h, void* buf, uint32_t size, uint32_t& got);
int32_t FileWrite(FileHandle h, const void* buf, uint32_t size, uint32_t& written);
// Also reports what could not be written before the file was closed.
int32_t FileClose(FileHandle h);

bool FileCopy(const std::string& from, const std::string& to, bool failIfExists);
bool FileMove(const std::string& from, const std::string& to);
bool FileMoveReplace(const std::string& from, const std::string& to);
bool FileDelete(const std::string& path);
// A rename within one volume, never a copy: 0 or the Windows code of the
// failure. replace lets a file take the place of another file.
int32_t FileRename(const std::string& from, const std::string& to, bool replace);
// True for the codes of a file that another program holds for a while (a
// scanner, an indexer): Windows' sharing, lock, access and mapped-file
// errors; EBUSY and ETXTBSY on POSIX, where access errors are for good.
bool IsTransientFileError(int32_t code);
// 0 when the file could be renamed away now, else the Windows code. Windows
// opens it for writing with no sharing (for deletion when it is read-only);
// POSIX checks that its folder takes changes and that it is neither
// immutable nor append-only.
int32_t FileProbeReplaceable(const std::string& path);
// Sets or clears the read-only attribute (the owner's write bit on POSIX).
bool SetReadOnly(const std::string& path, bool readOnly);
// Puts what was written to the file on the disk.
int32_t FileSync(FileHandle h);
// Puts the data of every file below folder on the disk.
bool SyncTree(const std::string& folder);
// Makes the renames and creations done so far on the volume of path
// durable, so that a record written after them never outlives them.
bool SyncVolume(const std::string& path);
bool DirCreate(const std::string& path);
bool DirRemove(const std::string& path);
bool SetCurrentDir(const std::string& path);
// The temporary folder with its trailing separator; empty when none.
std::string TempPath();
// The folder of the user's own that PelMatic keeps its state in, with its
// trailing separator: %LOCALAPPDATA%\PelMatic\ on Windows,
// $XDG_STATE_HOME/pelmatic/ (else ~/.local/state/pelmatic/) on POSIX. It
// may not exist yet; empty when the user has no such folder.
std::string UserStateFolder();
// path made absolute against the current folder; path itself when it
// cannot be.
std::string FullPath(const std::string& path);
// The path in the form that takes each of its names as it is: on Windows
// an absolute path with a drive gets the \\?\ prefix, so that a file
// named CON is a file and a trailing dot stays; elsewhere the path itself.
std::string VerbatimPath(const std::string& path);

// The fixed file version of an executable's version resource, as the two
// 32-bit halves (major.minor, release.build). False when it has none.
bool FileVersion(const std::string& path, uint32_t& versionMS, uint32_t& versionLS);

// ---- configuration ---------------------------------------------------------
// The profile reader: value of key in section of an INI file, at most
// 1023 bytes, defaultValue when absent.
std::string ProfileString(const std::string& section, const std::string& key,
                          const std::string& defaultValue, const std::string& file);

// ---- the administrator's policy ----------------------------------------------
// A value the administrator set for product, where no update package can
// reach it: HKLM\Software\Policies\PelMatic\<product> (in the 64-bit view
// of the registry, which both builds read alike) on Windows; the section
// [product] of the file PELMATIC_POLICY_FILE names, else of
// /etc/pelmatic/policy.ini, on POSIX, where a value of decimal digits is a
// number and any other a text. The program never writes it.
enum class PolicyType { kAbsent, kNumber, kText, kOther };
struct PolicyValue {
  PolicyType type = PolicyType::kAbsent;
  uint32_t number = 0;  // a DWORD
  std::string text;     // a string
};
PolicyValue ReadPolicyValue(const std::string& product, const std::string& name);

// ---- HTTP --------------------------------------------------------------------
// Requests go over http and https only, follow no redirect and are never
// stored in a cache; every wait is bounded by the request's limits.
NetHandle NetOpen(const std::string& agent);
// The rest of a file: its bytes from `from` on, as long as the file is still
// the one ifRange names (a strong ETag or a Last-Modified date, as the
// server sent it; empty: no condition).
struct RangeRequest {
  uint64_t from = 0;
  std::string ifRange;
};
// Sends one request and waits for the answer's headers, whatever its
// status; null when no answer came within the limits or the URL cannot be
// opened. Proxies are the system's (WinINet's settings, the usual
// environment variables). noCache asks for a fresh copy from the server,
// past every cache on the way (Cache-Control and Pragma: no-cache);
// without it a proxy may answer from its cache. range, when given, asks
// for the rest of the file only (Range and If-Range).
NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache,
                  const TransferLimits& limits, const RangeRequest* range = nullptr);
// The HTTP status of the answer.
int UrlStatus(NetHandle url);
// The answer's Location header as sent, empty when it has none.
std::string UrlLocation(NetHandle url);
// Other headers of the answer, as sent; empty when it has none. Age is
// there when a cache on the way gave the answer.
enum class AnswerHeader { kContentRange, kETag, kLastModified, kRetryAfter, kAge };
constexpr int kAnswerHeaderCount = 5;
std::string UrlHeader(NetHandle url, AnswerHeader which);
// got = 0 at the end of the body. False when the transfer broke off, when
// the body ended short of its announced length, or when a limit passed.
bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got);
// The length the server announced for the body, 0 when it announced none.
uint64_t UrlLength(NetHandle url);
void NetClose(NetHandle h);

// ---- desktop -----------------------------------------------------------------
int ShowMessageBox(const std::string& text, const std::string& caption, uint32_t flags);
// The same box with a check box of checkText under its text, unticked at
// first; checked tells how the user left it. Windows shows a task dialog
// with the box as its verification check box (a plain message box, the
// box never ticked, where the system has no task dialog); the terminal
// desktop adds "[S]" + the rest of checkText to the answer line, and S is
// Cancel with the box ticked.
int ShowMessageBoxWithCheck(const std::string& text, const std::string& caption, uint32_t flags,
                            const std::string& checkText, bool& checked);
int GetSystemMetrics(int index);
// With progressTick the window is an update's, with the parts that show its
// progress (below), there from the moment it is shown.
WindowHandle CreateStatusWindow(const std::string& text, uint32_t style, int x, int y, int width,
                                int height, void (*progressTick)() = nullptr);
void DestroyWindow(WindowHandle h);
// ShellExecuteA: a value above kShellLastError means started. kSwHide hides
// the started program's window.
intptr_t ShellOpen(const std::string& file, const std::string& params, const std::string& dir,
                   int showCommand);
WindowHandle FindTopWindow(const std::string& title);
void PostCloseMessage(WindowHandle h);
// Posts a close request to every visible top-level window without an owner
// of the process pid: its main windows, whatever their titles. SIGTERM to
// the process on the terminal desktop.
void PostCloseToProcess(uint32_t pid);

// ---- the progress of an update ----------------------------------------------
// While an update runs its status window shows how far it is and offers
// Cancel: on Windows a progress bar (0 to 1000), a line of text and a
// Cancel button below the window's own text; on the terminal desktop
// "[progress] PHASE DONE TOTAL" lines on standard error, and SIGINT for
// Cancel. What the window shows is taken from its progressTick, which is
// called on the window's thread every 200 ms (the terminal desktop calls
// it every 100 ms from a thread of its own) until the window goes.
struct ProgressView {
  std::string phase;   // "download", "unpack" or "install"
  uint64_t done = 0;   // bytes or files
  uint64_t total = 0;  // 0 when unknown
  bool final = false;  // the phase is complete: always shown
  int bar = 0;         // 0 to 1000
  std::string line;    // the line of text under the bar
};
// Shows view in an update's status window; nothing in any other.
// The terminal desktop writes at most 10 lines a second for a phase, and
// always the final one.
void ShowProgress(WindowHandle status, const ProgressView& view);
// Cancel stays possible until it is disabled (the update can no longer be
// stopped) or the window goes; a second SIGINT on the terminal desktop,
// or one while Cancel is disabled, ends the program at once.
void EnableCancel(WindowHandle status, bool enabled);
// True once the user asked for Cancel; the waits of the layer end early
// then, as if the transfer broke off.
bool CancelRequested();
// Handles the window messages that wait for this thread (none on the
// terminal desktop); for loops that run longer than a moment without
// waiting. os::Sleep and every wait of this layer handle them too.
void KeepResponsive();

// ---- processes ---------------------------------------------------------------
SnapshotHandle ProcessSnapshot();  // null when it cannot be taken
bool ProcessFirst(SnapshotHandle h, std::string& imageName);
bool ProcessNext(SnapshotHandle h, std::string& imageName);
// The process id of the entry ProcessFirst or ProcessNext gave last.
uint32_t ProcessId(SnapshotHandle h);
void SnapshotClose(SnapshotHandle h);

// ---- crypto ------------------------------------------------------------------
// The platform's own: CNG on Windows, libcrypto on POSIX.
using Sha256Digest = std::array<uint8_t, 32>;
using P256Key = std::array<uint8_t, 64>;        // X and Y, 32 bytes each, big-endian
using P256Signature = std::array<uint8_t, 64>;  // r and s, 32 bytes each, big-endian
// A SHA-256 over bytes given in pieces; null when the platform cannot hash.
HashHandle Sha256Open();
void Sha256Update(HashHandle h, const void* data, size_t size);
// The digest of everything given; false when the platform failed.
bool Sha256Finish(HashHandle h, Sha256Digest& digest);
void Sha256Close(HashHandle h);
// True when key (X then Y) is a point of the P-256 curve.
bool P256KeyValid(const P256Key& key);
// True when signature (r then s) is an ECDSA P-256 signature of the
// SHA-256 digest by key.
bool P256Verify(const P256Key& key, const Sha256Digest& digest, const P256Signature& signature);
using P256Secret = std::array<uint8_t, 32>;  // the private scalar d, big-endian
// A new key pair from the platform's random source; false when it failed.
bool P256Generate(P256Secret& secret, P256Key& key);
// The ECDSA P-256 signature of digest by the pair (secret, key); false when
// the platform refuses the pair, key not on the curve or not the secret's
// own included.
bool P256Sign(const P256Secret& secret, const P256Key& key, const Sha256Digest& digest,
              P256Signature& signature);

// ---- machine -----------------------------------------------------------------
// The id this machine was given when it was installed, exactly as stored:
// MachineGuid of HKLM\SOFTWARE\Microsoft\Cryptography (from the 64-bit
// view of the registry) on Windows, the first line of /etc/machine-id, else
// /var/lib/dbus/machine-id, without surrounding blanks elsewhere. Empty
// when none can be read.
std::string MachineId();

// ---- text --------------------------------------------------------------------
// Strings are UTF-8 on both builds; the Windows layer converts at its edge
// and a name that is no UTF-8 fails there as ERROR_INVALID_NAME (a false
// or a null result where a call gives no code).
//
// A text stored in the system code page (a manifest without the UTF-8 byte
// order mark) as UTF-8; on POSIX, where texts are bytes, UTF-8 already.
std::string SystemCodePageToUtf8(const std::string& bytes);

// ---- owners ------------------------------------------------------------------
// Every handle opened above this layer is held by one of these.
using UniqueFind = Unique<FindHandle, FindClose>;
using UniqueFile = Unique<FileHandle, FileClose>;
using UniqueNet = Unique<NetHandle, NetClose>;
using UniqueWindow = Unique<WindowHandle, DestroyWindow>;
using UniqueSnapshot = Unique<SnapshotHandle, SnapshotClose>;
using UniqueHash = Unique<HashHandle, Sha256Close>;

}  // namespace os

// HTTP of the Windows build, over WinINet.
//
// WinINet's blocking calls cannot be relied on to end: Wine ignores the
// receive time-out, and a server that drips a byte now and then resets any
// time-out per read. So each request runs in a worker thread of its own,
// which only talks to WinINet and hands the bytes over, and the program's
// thread waits for them no longer than the request's limits allow. A
// request given up is left to its worker: its handle is closed, which is
// the documented way to end a blocking WinINet call, and where that does
// not end it the worker stays blocked, touching nothing but what it shares
// with the request, until the process ends.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "os/os.h"
#include "os/os_win32.h"

namespace os {

namespace {

constexpr DWORD kPiece = 16 * 1024;
constexpr size_t kQueueLimit = 256 * 1024;  // the worker waits for room beyond this
// The program's thread checks for Cancel and handles its window's messages
// at least this often while it waits for the network.
constexpr uint64_t kPollMs = 250;

// What the program's thread and the worker share; whichever lets go last
// frees it. Everything below `lock` is read and written under it.
struct Transfer {
  explicit Transfer(const TransferLimits& limits)
      : wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr)), watch(limits, MonotonicMs()) {}
  ~Transfer() {
    if (wake) ::CloseHandle(wake);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  LONG refs = 2;
  HINTERNET session = nullptr;
  Wide url;
  Wide requestHeaders;  // the no-cache lines, Range and If-Range, when asked for
  DWORD flags = 0;

  // Signalled for the program's thread, which waits with its messages
  // handled, whenever the transfer changed; the worker waits on changed.
  HANDLE wake;
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  HINTERNET request = nullptr;  // closed by exactly one side, whoever takes it
  bool answered = false;        // the headers are in
  bool finished = false;        // the body ended or broke off
  bool failed = false;
  bool abandoned = false;
  bool waitingForRoom = false;
  int status = 0;
  bool knownLength = false;
  uint64_t length = 0;
  uint64_t received = 0;
  std::string location;
  std::string answerHeaders[kAnswerHeaderCount];  // by AnswerHeader
  ByteQueue queue;
  TransferWatch watch;
};

void Changed(Transfer* t) {
  ::WakeAllConditionVariable(&t->changed);
  if (t->wake) ::SetEvent(t->wake);
}

void Release(Transfer* t) {
  if (::InterlockedDecrement(&t->refs) == 0) delete t;
}

class Locked {
 public:
  explicit Locked(Transfer* t) : t_(t) { ::AcquireSRWLockExclusive(&t_->lock); }
  ~Locked() { ::ReleaseSRWLockExclusive(&t_->lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  // Waits for a change, at most ms.
  void Wait(uint64_t ms) {
    ::SleepConditionVariableSRW(&t_->changed, &t_->lock, static_cast<DWORD>(ms), 0);
  }

 private:
  Transfer* t_;
};

// A header of the answer as sent; sizes are in bytes, the text in UTF-16.
std::string QueryText(HINTERNET h, DWORD info) {
  std::vector<wchar_t> text(256);
  for (;;) {
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t)), index = 0;
    if (::HttpQueryInfoW(h, info, text.data(), &size, &index))
      return Narrow(text.data(), size / sizeof(wchar_t));
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= text.size() * sizeof(wchar_t) ||
        size > 64 * 1024)
      return std::string();
    text.resize(size / sizeof(wchar_t) + 1);
  }
}

DWORD WINAPI RunTransfer(void* arg) {
  Transfer* t = static_cast<Transfer*>(arg);
  // The extra lines go in as HttpAddRequestHeaders adds them.
  HINTERNET r =
      ::InternetOpenUrlW(t->session, t->url.c_str(), t->requestHeaders.OrNull(),
                         t->requestHeaders.size() ? static_cast<DWORD>(-1L) : 0, t->flags, 0);
  DWORD status = 0, size = sizeof status, index = 0;
  if (r &&
      !::HttpQueryInfoW(r, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index))
    status = 0;
  const std::string location = r ? QueryText(r, HTTP_QUERY_LOCATION) : std::string();
  const std::string length = r ? QueryText(r, HTTP_QUERY_CONTENT_LENGTH) : std::string();
  std::string answerHeaders[kAnswerHeaderCount];
  const DWORD queries[kAnswerHeaderCount] = {HTTP_QUERY_CONTENT_RANGE, HTTP_QUERY_ETAG,
                                             HTTP_QUERY_LAST_MODIFIED, HTTP_QUERY_RETRY_AFTER,
                                             HTTP_QUERY_AGE};
  for (int i = 0; r && i < kAnswerHeaderCount; ++i) answerHeaders[i] = QueryText(r, queries[i]);
  {
    Locked hold(t);
    if (t->abandoned) {
      if (r) ::InternetCloseHandle(r);
      r = nullptr;
    } else if (!r || status == 0) {
      t->request = r;
      t->failed = t->finished = true;
      r = nullptr;
    } else {
      t->request = r;
      t->answered = true;
      t->status = static_cast<int>(status);
      t->location = location;
      for (int i = 0; i < kAnswerHeaderCount; ++i) t->answerHeaders[i] = answerHeaders[i];
      t->knownLength = !length.empty();
      t->length = std::strtoull(length.c_str(), nullptr, 10);
    }
    Changed(t);
  }
  char piece[kPiece];
  while (r) {
    DWORD got = 0;
    BOOL ok = ::InternetReadFile(r, piece, kPiece, &got);
    Locked hold(t);
    if (t->abandoned) break;  // the other side has closed the request
    if (!ok) {
      t->failed = t->finished = true;
    } else if (got == 0) {
      // A body that ends short of its announced length was cut off.
      t->failed = t->knownLength && t->received < t->length;
      t->finished = true;
    } else {
      t->queue.Append(piece, got);
      t->received += got;
      t->watch.Received(got, MonotonicMs());
    }
    Changed(t);
    while (!t->finished && !t->abandoned && t->queue.Size() >= kQueueLimit) {
      t->waitingForRoom = true;
      hold.Wait(INFINITE);
    }
    if (t->waitingForRoom) {
      // The wait was the reader's doing: the network gets a fresh window.
      t->waitingForRoom = false;
      t->watch.Restart(MonotonicMs());
    }
    if (t->abandoned) break;
    if (t->finished) {
      t->request = nullptr;
      ::InternetCloseHandle(r);
      break;
    }
  }
  Release(t);
  return 0;
}

DWORD WINAPI CloseInternetHandle(void* h) {
  ::InternetCloseHandle(static_cast<HINTERNET>(h));
  return 0;
}

// WinINet reads what is left of a body before it lets the request's
// connection go, a kilobyte at a time for as long as the server sends:
// the last close of a request given up on a huge body could take as long
// as the whole transfer. The closes of such requests, and of their
// sessions (which close what is left of them), run on a thread of their
// own; the run never waits for them.
void CloseAside(HINTERNET h) {
  HANDLE thread = ::CreateThread(nullptr, 0, CloseInternetHandle, h, 0, nullptr);
  if (thread)
    ::CloseHandle(thread);
  else
    ::InternetCloseHandle(h);
}

// Gives the request up: whatever the worker is blocked in, it gets nothing
// more from this side.
void Abandon(Transfer* t) {
  HINTERNET r = nullptr;
  {
    Locked hold(t);
    t->abandoned = true;
    r = std::exchange(t->request, nullptr);
    Changed(t);
  }
  if (r) CloseAside(r);
  Release(t);
}

bool HasWebScheme(const std::string& url) {
  auto starts = [&](const char* scheme) {
    size_t n = std::strlen(scheme);
    if (url.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
      if ((url[i] | 0x20) != scheme[i]) return false;
    return true;
  };
  return starts("http://") || starts("https://");
}

}  // namespace

// A session holds the WinINet handle, a request its transfer.
struct NetState {
  HINTERNET session = nullptr;
  Transfer* transfer = nullptr;
};

NetHandle NetOpen(const std::string& agent) {
  HINTERNET h =
      ::InternetOpenW(Wide(agent, true).c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!h) return nullptr;
  // WinINet's own waits as a second line behind the limits of each request.
  DWORD timeout = 30000;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    ::InternetSetOptionW(h, option, &timeout, sizeof timeout);
  return new NetState{h, nullptr};
}

NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache,
                  const TransferLimits& limits, const RangeRequest* range) {
  Wide wideUrl(url);
  if (!session || session->transfer || !HasWebScheme(url) || !wideUrl.ok()) return nullptr;
  auto* t = new Transfer(limits);
  t->session = session->session;
  t->url = wideUrl;
  // RELOAD keeps WinINet's own cache out and tells a proxy on the way
  // nothing: it would answer from its cache. PRAGMA_NOCACHE sends "Pragma:
  // no-cache", which HTTP/1.0 caches read; HTTP/1.1 caches read
  // Cache-Control, which only a line of our own sends.
  std::string headers = noCache ? "Cache-Control: no-cache\r\nPragma: no-cache\r\n" : "";
  if (range) {
    headers += "Range: bytes=" + std::to_string(range->from) + "-\r\n";
    if (!range->ifRange.empty()) headers += "If-Range: " + range->ifRange + "\r\n";
  }
  t->requestHeaders = Wide(headers, true);
  // Redirects are followed above this layer, where each hop is checked;
  // nothing fetched is stored a second time in the user's profile, and no
  // part of a file is ever answered from WinINet's cache. A proxy may
  // answer a request for an update file from its cache: the manifest binds
  // the bytes. A proxy's 407 comes back as an answer like any other:
  // WinINet asks the user for credentials only through InternetErrorDlg,
  // which a run that must not ask never calls; NO_UI keeps its other
  // dialogs (cookies) away as well.
  t->flags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
             (noCache || range ? INTERNET_FLAG_RELOAD : 0) |
             (noCache ? INTERNET_FLAG_PRAGMA_NOCACHE : 0);
  HANDLE worker = ::CreateThread(nullptr, 0, RunTransfer, t, 0, nullptr);
  if (!worker) {
    delete t;
    return nullptr;
  }
  ::CloseHandle(worker);
  bool answered = false;
  for (;;) {
    uint64_t left = 0;
    {
      Locked hold(t);
      answered = t->answered;
      if (t->answered || t->finished) break;
      left = t->watch.MsLeft(MonotonicMs());
    }
    if (left == 0 || CancelRequested()) break;
    WaitHandleOrMessages(t->wake, static_cast<DWORD>(std::min(left, kPollMs)), true);
  }
  if (!answered || CancelRequested()) {
    Abandon(t);
    return nullptr;
  }
  return new NetState{nullptr, t};
}

int UrlStatus(NetHandle url) {
  if (!url || !url->transfer) return 0;
  Locked hold(url->transfer);
  return url->transfer->status;
}

std::string UrlLocation(NetHandle url) {
  if (!url || !url->transfer) return std::string();
  Locked hold(url->transfer);
  return url->transfer->location;
}

bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got) {
  got = 0;
  Transfer* t = url ? url->transfer : nullptr;
  if (!t) return false;
  for (;;) {
    uint64_t left = 0;
    {
      Locked hold(t);
      if (!t->queue.Empty() || t->finished) {
        if (t->queue.Empty()) return !t->failed;
        got = static_cast<uint32_t>(t->queue.Take(buf, size));
        if (t->waitingForRoom && t->queue.Size() < kQueueLimit / 2)
          ::WakeAllConditionVariable(&t->changed);
        return true;
      }
      left = t->watch.MsLeft(MonotonicMs());
    }
    // Past a limit, or stopped by the user: the transfer is given up.
    if (left == 0 || CancelRequested()) break;
    WaitHandleOrMessages(t->wake, static_cast<DWORD>(std::min(left, kPollMs)), true);
  }
  Abandon(t);
  url->transfer = nullptr;
  return false;
}

std::string UrlHeader(NetHandle url, AnswerHeader which) {
  if (!url || !url->transfer) return std::string();
  Locked hold(url->transfer);
  return url->transfer->answerHeaders[static_cast<int>(which)];
}

uint64_t UrlLength(NetHandle url) {
  if (!url || !url->transfer) return 0;
  Locked hold(url->transfer);
  return url->transfer->knownLength ? url->transfer->length : 0;
}

void NetClose(NetHandle h) {
  if (!h) return;
  if (h->transfer) Abandon(h->transfer);
  if (h->session) CloseAside(h->session);
  delete h;
}

}  // namespace os

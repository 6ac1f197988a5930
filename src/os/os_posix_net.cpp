// HTTP of the POSIX build: libcurl behind a pull-style stream, so that the
// reading loops above this layer are those of the Windows build. Every wait
// is a poll of at most a second, after which the request's limits are
// checked.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "os/os.h"

namespace os {

namespace {
constexpr size_t kBufferLimit = 256 * 1024;  // pause the transfer beyond this
// Cancel (SIGINT) is looked for at least this often while a transfer waits.
constexpr long kPollMs = 250;
}  // namespace

// Sessions and requests share one record; a session only holds the agent.
struct NetState {
  bool isUrl = false;
  std::string agent;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;
  std::string range;  // kept for libcurl, which takes it by pointer
  ByteQueue buffer;
  bool paused = false;
  bool done = false;
  bool expired = false;
  CURLcode result = CURLE_OK;
  bool headersDone = false;
  long status = 0;
  std::string location;
  std::string answerHeaders[kAnswerHeaderCount];  // by AnswerHeader
  TransferWatch watch{TransferLimits(), 0};
};

namespace {

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  NetState* n = static_cast<NetState*>(user);
  size_t len = size * count;
  if (n->buffer.Size() >= kBufferLimit) {
    n->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  n->buffer.Append(data, len);
  n->watch.Received(len, MonotonicMs());
  return len;
}

// The value of a header line, without the blanks around it.
std::string HeaderValue(const std::string& line, size_t nameLength) {
  size_t b = nameLength, e = line.size();
  while (b < e && (line[b] == ' ' || line[b] == '\t')) ++b;
  while (e > b && (line[e - 1] == '\r' || line[e - 1] == '\n' || line[e - 1] == ' ')) --e;
  return line.substr(b, e - b);
}

const char* const kAnswerHeaders[kAnswerHeaderCount] = {
    "content-range:", "etag:", "last-modified:", "retry-after:", "age:"};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  NetState* n = static_cast<NetState*>(user);
  size_t len = size * count;
  n->watch.Received(len, MonotonicMs());
  std::string line(data, len);
  if (line.compare(0, 5, "HTTP/") == 0) {
    size_t sp = line.find(' ');
    n->status = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
    n->location.clear();
    for (std::string& h : n->answerHeaders) h.clear();
  } else if (strncasecmp(line.c_str(), "location:", 9) == 0) {
    n->location = HeaderValue(line, 9);
  } else if (line == "\r\n" || line == "\n") {
    // 1xx answers are followed by the real one.
    if (n->status >= 200) n->headersDone = true;
  } else {
    for (int i = 0; i < kAnswerHeaderCount; ++i) {
      const size_t nameLength = std::strlen(kAnswerHeaders[i]);
      if (strncasecmp(line.c_str(), kAnswerHeaders[i], nameLength) == 0)
        n->answerHeaders[i] = HeaderValue(line, nameLength);
    }
  }
  return len;
}

void Pump(NetState* n) {
  int running = 0;
  curl_multi_perform(n->multi, &running);
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(n->multi, &left)) {
    if (m->msg == CURLMSG_DONE) {
      n->done = true;
      n->result = m->data.result;
    }
  }
  if (!n->done && running == 0) n->done = true;
}

// Waits for the network at most until the next check of the limits; a
// transfer past a limit, or one the user stopped, is ended as broken off.
void Wait(NetState* n) {
  if (n->done) return;
  uint64_t left = n->watch.MsLeft(MonotonicMs());
  // Stopped by the user: ended as a transfer that broke off.
  if (left == 0 || CancelRequested()) {
    n->expired = n->done = true;
    n->result = CURLE_OPERATION_TIMEDOUT;
    return;
  }
  curl_multi_poll(n->multi, nullptr, 0, static_cast<int>(std::min<uint64_t>(left, kPollMs)),
                  nullptr);
}

void FreeNet(NetState* n) {
  if (n->multi) {
    if (n->easy) curl_multi_remove_handle(n->multi, n->easy);
    curl_multi_cleanup(n->multi);
  }
  if (n->easy) curl_easy_cleanup(n->easy);
  if (n->headers) curl_slist_free_all(n->headers);
  delete n;
}

}  // namespace

NetHandle NetOpen(const std::string& agent) {
  static bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!initialised) return nullptr;
  NetState* n = new NetState;
  n->agent = agent;
  return n;
}

NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache,
                  const TransferLimits& limits, const RangeRequest* range) {
  NetState* s = session;
  if (!s || s->isUrl) return nullptr;
  NetState* n = new NetState;
  n->isUrl = true;
  n->watch = TransferWatch(limits, MonotonicMs());
  n->easy = curl_easy_init();
  n->multi = curl_multi_init();
  if (!n->easy || !n->multi) {
    FreeNet(n);
    return nullptr;
  }
  CURL* e = n->easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_USERAGENT, s->agent.c_str());
  // Redirects are followed above this layer, where each hop is checked.
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.lowSpeedMs));
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, n);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, n);
  // Through a proxy (http_proxy, https_proxy), https goes through a CONNECT
  // tunnel; the proxy's own answer to it ("200 Connection established") is
  // not the server's and must not pass for it. A tunnel the proxy refuses
  // then ends with no answer at all, as an unreachable server does.
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 65536L);
  if (noCache) {
    n->headers = curl_slist_append(n->headers, "Cache-Control: no-cache");
    n->headers = curl_slist_append(n->headers, "Pragma: no-cache");
  }
  if (range) {
    // Not CURLOPT_RESUME_FROM_LARGE: that one gives up on a 200, which the
    // caller takes as the whole file.
    n->range = std::to_string(range->from) + "-";
    curl_easy_setopt(e, CURLOPT_RANGE, n->range.c_str());
    if (!range->ifRange.empty())
      n->headers = curl_slist_append(n->headers, ("If-Range: " + range->ifRange).c_str());
  }
  if (n->headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, n->headers);
  curl_multi_add_handle(n->multi, e);
  for (;;) {
    Pump(n);
    if (n->headersDone || n->done || !n->buffer.Empty()) break;
    Wait(n);
  }
  if (!n->headersDone || n->expired || (n->done && n->result != CURLE_OK && n->status == 0)) {
    FreeNet(n);
    return nullptr;
  }
  return n;
}

int UrlStatus(NetHandle url) { return url ? static_cast<int>(url->status) : 0; }

std::string UrlLocation(NetHandle url) { return url ? url->location : std::string(); }

bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got) {
  got = 0;
  NetState* n = url;
  if (!n || !n->isUrl) return false;
  while (n->buffer.Empty() && !n->done) {
    Pump(n);
    if (n->buffer.Empty()) Wait(n);
  }
  if (n->buffer.Empty()) return n->result == CURLE_OK;
  got = static_cast<uint32_t>(n->buffer.Take(buf, size));
  if (n->paused && n->buffer.Size() < kBufferLimit / 2) {
    n->paused = false;
    // The pause was the reader's doing: the network gets a fresh window.
    n->watch.Restart(MonotonicMs());
    curl_easy_pause(n->easy, CURLPAUSE_CONT);
  }
  return true;
}

std::string UrlHeader(NetHandle url, AnswerHeader which) {
  return url ? url->answerHeaders[static_cast<int>(which)] : std::string();
}

uint64_t UrlLength(NetHandle url) {
  NetState* n = url;
  curl_off_t length = -1;
  if (!n || !n->isUrl ||
      curl_easy_getinfo(n->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
    return 0;
  return length > 0 ? static_cast<uint64_t>(length) : 0;
}

void NetClose(NetHandle h) {
  if (h) FreeNet(h);
}

}  // namespace os

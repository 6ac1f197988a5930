// HTTP of the POSIX build: libcurl behind a pull-style stream, so that the
// reading loops above this layer are those of the Windows build.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "os/os.h"

namespace os {

namespace {
constexpr size_t kBufferLimit = 256 * 1024;  // pause the transfer beyond this
}  // namespace

// Sessions and requests share one record; a session only holds the agent.
struct NetState {
  bool isUrl = false;
  std::string agent;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headers = nullptr;
  std::string buffer;
  size_t offset = 0;
  bool paused = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  bool headersDone = false;
  long lastStatus = 0;
  bool lastHasLocation = false;
};

namespace {

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  NetState* n = static_cast<NetState*>(user);
  size_t len = size * count;
  if (n->buffer.size() - n->offset >= kBufferLimit) {
    n->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  n->buffer.append(data, len);
  return len;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  NetState* n = static_cast<NetState*>(user);
  size_t len = size * count;
  std::string line(data, len);
  if (line.compare(0, 5, "HTTP/") == 0) {
    size_t sp = line.find(' ');
    n->lastStatus = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
    n->lastHasLocation = false;
  } else if (strncasecmp(line.c_str(), "location:", 9) == 0) {
    n->lastHasLocation = true;
  } else if (line == "\r\n" || line == "\n") {
    bool followed = n->lastStatus >= 300 && n->lastStatus < 400 && n->lastHasLocation;
    if (n->lastStatus >= 200 && !followed) n->headersDone = true;
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

void Wait(NetState* n) {
  if (!n->done) curl_multi_poll(n->multi, nullptr, 0, 1000, nullptr);
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

NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache) {
  NetState* s = session;
  if (!s || s->isUrl) return nullptr;
  NetState* n = new NetState;
  n->isUrl = true;
  n->easy = curl_easy_init();
  n->multi = curl_multi_init();
  if (!n->easy || !n->multi) {
    FreeNet(n);
    return nullptr;
  }
  CURL* e = n->easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_USERAGENT, s->agent.c_str());
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  // Bounded waits: a server that accepts and never answers must not hang
  // an unattended run.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, 60L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, n);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, n);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 65536L);
  if (noCache) {
    n->headers = curl_slist_append(n->headers, "Cache-Control: no-cache");
    n->headers = curl_slist_append(n->headers, "Pragma: no-cache");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, n->headers);
  }
  curl_multi_add_handle(n->multi, e);
  for (;;) {
    Pump(n);
    if (n->headersDone || n->done || n->buffer.size() > n->offset) break;
    Wait(n);
  }
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0 || status >= 400 || (n->done && !n->headersDone && n->result != CURLE_OK)) {
    FreeNet(n);
    return nullptr;
  }
  return n;
}

bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got) {
  got = 0;
  NetState* n = url;
  if (!n || !n->isUrl) return false;
  while (n->buffer.size() == n->offset && !n->done) {
    Pump(n);
    if (n->buffer.size() == n->offset) Wait(n);
  }
  size_t avail = n->buffer.size() - n->offset;
  if (avail == 0) return n->result == CURLE_OK;
  size_t take = std::min<size_t>(avail, size);
  std::memcpy(buf, n->buffer.data() + n->offset, take);
  n->offset += take;
  got = static_cast<uint32_t>(take);
  // Compact only when the consumed part outweighs the rest, so each byte is
  // moved at most about once whatever the reader's piece size.
  if (n->offset == n->buffer.size()) {
    n->buffer.clear();
    n->offset = 0;
  } else if (n->offset >= 65536 && n->offset >= n->buffer.size() - n->offset) {
    n->buffer.erase(0, n->offset);
    n->offset = 0;
  }
  if (n->paused && n->buffer.size() - n->offset < kBufferLimit / 2) {
    n->paused = false;
    curl_easy_pause(n->easy, CURLPAUSE_CONT);
  }
  return true;
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

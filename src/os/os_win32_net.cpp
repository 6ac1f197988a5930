// HTTP of the Windows build, over WinINet.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>

#include "os/os.h"

namespace os {

// Sessions and requests share one record so that NetClose can tell them
// apart.
struct NetState {
  HINTERNET h;
  bool isUrl;
  bool knownLength;
  uint64_t length;
  uint64_t received;
};

NetHandle NetOpen(const std::string& agent) {
  HINTERNET h = ::InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!h) return nullptr;
  // Bounded waits, as on the POSIX build: a server that accepts and never
  // answers must not hang an unattended run.
  DWORD timeout = 60000;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT})
    ::InternetSetOptionA(h, option, &timeout, sizeof timeout);
  return new NetState{h, false, false, 0, 0};
}

NetHandle UrlOpen(NetHandle session, const std::string& url, bool noCache) {
  NetState* s = session;
  if (!s || s->isUrl) return nullptr;
  DWORD flags = noCache ? INTERNET_FLAG_RELOAD : 0;
  HINTERNET h = ::InternetOpenUrlA(s->h, url.c_str(), nullptr, 0, flags, 0);
  if (!h) return nullptr;
  DWORD status = 0, size = sizeof status, index = 0;
  if (::HttpQueryInfoA(h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                       &index) &&
      status >= 400) {
    // An error page is not the file that was asked for.
    ::InternetCloseHandle(h);
    return nullptr;
  }
  auto* n = new NetState{h, true, false, 0, 0};
  char len[32];
  DWORD lenSize = sizeof len - 1;
  index = 0;
  if (::HttpQueryInfoA(h, HTTP_QUERY_CONTENT_LENGTH, len, &lenSize, &index)) {
    len[lenSize] = '\0';
    n->knownLength = true;
    n->length = std::strtoull(len, nullptr, 10);
  }
  return n;
}

bool UrlRead(NetHandle url, void* buf, uint32_t size, uint32_t& got) {
  NetState* n = url;
  DWORD count = 0;
  got = 0;
  if (!::InternetReadFile(n->h, buf, size, &count)) return false;
  got = count;
  n->received += count;
  // A body that ends short of its announced length was cut off.
  if (count == 0 && n->knownLength && n->received < n->length) return false;
  return true;
}

uint64_t UrlLength(NetHandle url) {
  NetState* n = url;
  return n && n->knownLength ? n->length : 0;
}

void NetClose(NetHandle h) {
  NetState* n = h;
  if (!n) return;
  ::InternetCloseHandle(n->h);
  delete n;
}

}  // namespace os

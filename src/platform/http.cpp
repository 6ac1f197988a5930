#include "platform/http.h"

#include <vector>

namespace {

constexpr uint32_t kLowSpeedBytes = 1024;
constexpr uint32_t kLowSpeedMs = 30000;

// The scheme of a URL in lower case, or empty when it has none.
std::string SchemeOf(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return std::string();
  std::string scheme;
  for (size_t i = 0; i < colon; ++i) {
    char c = url[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool other = i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.');
    if (!letter && !other) return std::string();
    scheme += static_cast<char>(letter ? (c | 0x20) : c);
  }
  return scheme;
}

}  // namespace

bool IsWebUrl(const std::string& url) {
  const std::string scheme = SchemeOf(url);
  return scheme == "http" || scheme == "https";
}

namespace {

// The path with its "." and ".." segments taken out.
std::string RemoveDotSegments(const std::string& path) {
  std::vector<std::string> out;
  size_t start = path.empty() || path[0] != '/' ? 0 : 1;
  bool endsInFolder = false;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string segment = path.substr(start, end - start);
    endsInFolder = segment == "." || segment == "..";
    if (segment == "..") {
      if (!out.empty()) out.pop_back();
    } else if (segment != ".") {
      out.push_back(segment);
    }
    start = end + 1;
  }
  std::string result = path.empty() || path[0] != '/' ? "" : "/";
  for (size_t i = 0; i < out.size(); ++i) result += (i ? "/" : "") + out[i];
  if (endsInFolder && !result.empty() && result.back() != '/') result += '/';
  return result;
}

// The path part of a reference, and what follows it (query, fragment).
void SplitPath(const std::string& s, std::string& path, std::string& rest) {
  size_t q = s.find_first_of("?#");
  path = s.substr(0, q);
  rest = q == std::string::npos ? std::string() : s.substr(q);
}

bool AllowedHop(const std::string& from, const std::string& to) {
  return IsWebUrl(to) && !(SchemeOf(from) == "https" && SchemeOf(to) == "http");
}

}  // namespace

os::TransferLimits ManifestLimits() {
  os::TransferLimits limits = DownloadLimits();
  limits.deadlineMs = os::MonotonicMs() + kManifestSeconds * 1000ull;
  return limits;
}

os::TransferLimits DownloadLimits() {
  os::TransferLimits limits;
  limits.lowSpeedBytes = kLowSpeedBytes;
  limits.lowSpeedMs = kLowSpeedMs;
  return limits;
}

std::string ResolveUrl(const std::string& base, const std::string& reference) {
  if (!SchemeOf(reference).empty()) return reference;
  const std::string scheme = SchemeOf(base);
  // base = scheme "://" authority path [rest]
  size_t authorityStart = scheme.size() + 3;
  if (base.compare(scheme.size(), 3, "://") != 0) return reference;
  size_t authorityEnd = base.find_first_of("/?#", authorityStart);
  if (authorityEnd == std::string::npos) authorityEnd = base.size();
  const std::string origin = base.substr(0, authorityEnd);
  std::string basePath, baseRest;
  SplitPath(base.substr(authorityEnd), basePath, baseRest);

  if (reference.compare(0, 2, "//") == 0) return base.substr(0, scheme.size() + 1) + reference;
  std::string path, rest;
  SplitPath(reference, path, rest);
  if (path.empty()) {
    if (rest.empty() || rest[0] == '#') {
      size_t hash = baseRest.find('#');
      return origin + basePath + baseRest.substr(0, hash) + rest;
    }
    return origin + (basePath.empty() ? "/" : basePath) + rest;
  }
  if (path[0] == '/') return origin + RemoveDotSegments(path) + rest;
  std::string folder = basePath.empty() ? "/" : basePath.substr(0, basePath.rfind('/') + 1);
  return origin + RemoveDotSegments(folder + path) + rest;
}

std::string PercentEncodeUrl(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t path = scheme == std::string::npos ? 0 : url.find_first_of("/?#", scheme + 3);
  if (path == std::string::npos) return url;
  std::string out = url.substr(0, path);
  for (size_t i = path; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c < 0x80) {
      out += url[i];
    } else {
      out += '%';
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 0xF];
    }
  }
  return out;
}

os::UniqueNet OpenUrlAnswer(os::NetHandle session, const std::string& url, bool noCache,
                            const os::TransferLimits& limits, const os::RangeRequest* range,
                            int& status) {
  status = 0;
  std::string current = PercentEncodeUrl(url);
  if (!AllowedHop(current, current)) return os::UniqueNet();
  for (int hop = 0;; ++hop) {
    os::UniqueNet request(os::UrlOpen(session, current, noCache, limits, range));
    if (!request) return request;
    status = os::UrlStatus(request.Get());
    const bool redirect =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    if (!redirect) return request;
    const std::string location = os::UrlLocation(request.Get());
    // A redirect that is not followed is an answer of its own.
    if (location.empty() || hop == kMaxRedirects) return request;
    std::string next = PercentEncodeUrl(ResolveUrl(current, location));
    next = next.substr(0, next.find('#'));  // a fragment is never sent
    if (!AllowedHop(current, next)) return request;
    current = next;
  }
}

os::UniqueNet OpenUrl(os::NetHandle session, const std::string& url, bool noCache,
                      const os::TransferLimits& limits) {
  int status = 0;
  os::UniqueNet request = OpenUrlAnswer(session, url, noCache, limits, nullptr, status);
  if (status >= 200 && status <= 299) return request;
  return os::UniqueNet();
}

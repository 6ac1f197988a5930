// A redirect's Location is any text the server sends. Each input is a base
// path and a reference, split at the first line end; the reference is
// resolved against http://h.example + the base path and the result checked
// against the rules of RFC 3986 written out anew: a reference with a scheme
// stands as it is, "//" keeps the scheme, one of a query or fragment only
// keeps the base's path, anything else stays on the base's origin with a
// path free of "." and ".." steps.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "platform/http.h"

namespace {

bool HasScheme(const std::string& s) {
  size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    bool other = i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.');
    if (!letter && !other) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  std::string basePath = cut == std::string::npos ? "/" : input.substr(0, cut);
  const std::string reference = cut == std::string::npos ? input : input.substr(cut + 1);
  if (basePath.empty() || basePath[0] != '/' || basePath.find_first_of("?#") != std::string::npos)
    basePath = "/" + basePath;
  if (basePath.find_first_of("?#") != std::string::npos) return 0;
  const std::string origin = "http://h.example";
  const std::string result = ResolveUrl(origin + basePath, reference);

  if (HasScheme(reference)) {
    FUZZ_CHECK(result == reference, "a reference with a scheme was changed");
    return 0;
  }
  if (reference.compare(0, 2, "//") == 0) {
    FUZZ_CHECK(result == "http:" + reference, "a network-path reference lost its scheme");
    return 0;
  }
  FUZZ_CHECK(result.compare(0, origin.size(), origin) == 0, "the result left the base's origin");
  const std::string rest = result.substr(origin.size());
  const std::string path = rest.substr(0, rest.find_first_of("?#"));
  FUZZ_CHECK(!path.empty() && path[0] == '/', "the result's path does not start with /");
  // A reference of a query or fragment only keeps the base's path as it is.
  if (reference.substr(0, reference.find_first_of("?#")).empty()) {
    FUZZ_CHECK(path == basePath, "a reference without a path changed the base's path");
    return 0;
  }
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string segment = path.substr(start, end - start);
    FUZZ_CHECK(segment != "." && segment != "..", "a dot segment is left in the path");
    start = end + 1;
  }
  return 0;
}

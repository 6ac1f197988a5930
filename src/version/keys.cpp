#include "version/keys.h"

#include "version/versiontext.h"

std::string ExtractValue(const std::string& text, const std::string& start,
                         const std::string& end) {
  if (start.empty() || end.empty()) return std::string();
  size_t p = text.find(start);
  if (p == std::string::npos) return std::string();
  size_t s = p + start.size();
  size_t q = text.find(end, s);
  if (q == std::string::npos) return std::string();
  return text.substr(s, q - s);
}

bool HasKey(const std::string& text, const std::string& key) {
  return text.find(key + "=") != std::string::npos;
}

std::string KeyValue(const std::string& text, const std::string& key) {
  return Trim(ExtractValue(text, key + "=", "\r"));
}

#include "os/ini.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Strip(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && (IsBlank(s[e - 1]) || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool IniLookup(const std::string& text, const std::string& section, const std::string& key,
               std::string& value) {
  bool inSection = false, sectionSeen = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Strip(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name =
          Strip(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      // Only the first section of a name is looked at.
      if (inSection) return false;
      inSection = !sectionSeen && SameName(name, section);
      if (inSection) sectionSeen = true;
      continue;
    }
    if (!inSection) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (!SameName(Strip(line.substr(0, eq)), key)) continue;
    std::string v = Strip(line.substr(eq + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
      v = v.substr(1, v.size() - 2);
    if (v.size() > 1023) v.resize(1023);
    value = v;
    return true;
  }
  return false;
}

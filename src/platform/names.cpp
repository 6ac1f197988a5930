#include "platform/names.h"

#include "os/os.h"

std::string UpperCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

static size_t LastDelimiter(const std::string& path) {
  for (size_t i = path.size(); i > 0; --i)
    if (os::IsPathDelimiter(path[i - 1])) return i - 1;
  return std::string::npos;
}

std::string ExtractFileName(const std::string& path) {
  size_t d = LastDelimiter(path);
  return d == std::string::npos ? path : path.substr(d + 1);
}

std::string ExtractFilePath(const std::string& path) {
  size_t d = LastDelimiter(path);
  return d == std::string::npos ? std::string() : path.substr(0, d + 1);
}

static size_t ExtensionStart(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return std::string::npos;
  size_t d = LastDelimiter(name);
  if (d != std::string::npos && d > dot) return std::string::npos;
  return dot;
}

std::string ExtractFileExt(const std::string& name) {
  size_t e = ExtensionStart(name);
  return e == std::string::npos ? std::string() : name.substr(e);
}

std::string StripFileExt(const std::string& name) {
  size_t e = ExtensionStart(name);
  return e == std::string::npos ? name : name.substr(0, e);
}

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
  return StripFileExt(name) + ext;
}

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 32 || c == 127 || c == '\\' || c == '/' || c == ':') return false;
  // Wildcards and the other bytes no Windows file name may hold.
  if (name.find_first_of("*?\"<>|") != std::string::npos) return false;
  return true;
}

bool IsStorableName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 32 || c == ':' || c == '\\' || c == '/') return false;
  if (name.find_first_of("<>\"|?*") != std::string::npos) return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  // Windows takes the device for the name before the first dot, blanks
  // before that dot ignored: "nul.txt" and "Com1 .log" are devices.
  std::string stem = UpperCase(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return false;
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
      stem[3] >= '1' && stem[3] <= '9')
    return false;
  return true;
}

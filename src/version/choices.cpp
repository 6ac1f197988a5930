#include "version/choices.h"

#include "os/os.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/names.h"
#include "version/versiontext.h"

namespace {

const char kHeader[] = "pelmatic-state 1";
constexpr uint32_t kMaxBytes = 4096;

bool ParseMoment(const std::string& text, int64_t& out) {
  uint64_t value = 0;
  if (!ParseDecimal(text, 18, value)) return false;
  out = static_cast<int64_t>(value);
  return true;
}

}  // namespace

uint32_t ParseHours(const std::string& value) {
  uint64_t hours = 0;
  if (!ParseDecimal(Trim(value), 4, hours)) return 0;
  return hours >= 1 && hours <= kMaxHours ? static_cast<uint32_t>(hours) : 0;
}

std::string ChoicesPath(const std::string& verFile, const std::string& appDir) {
  const std::string folder = os::UserStateFolder();
  if (folder.empty()) return std::string();
  // Two installations of one product keep their own choices; the folder's
  // letter case is no other installation.
  os::Sha256Digest digest{};
  if (!Sha256Of(UpperCase(appDir), digest)) return std::string();
  const std::string product = IsPlainFileName(verFile) ? verFile : std::string("product");
  return folder + product + "-" + ToHex(digest.data(), 4) + ".state";
}

bool LoadChoices(const std::string& path, Choices& choices) {
  choices = Choices();
  os::FileHandle h = nullptr;
  if (path.empty() || os::FileOpenRead(path, h) != 0) return false;
  os::UniqueFile file(h);
  char buffer[kMaxBytes + 1];
  uint32_t have = 0, got = 0;
  while (have <= kMaxBytes &&
         os::FileRead(file.Get(), buffer + have, kMaxBytes + 1 - have, got) == 0 && got > 0)
    have += got;
  if (have > kMaxBytes) return false;
  const std::string text(buffer, have);
  // Every line as written, or nothing: a damaged file holds no choice.
  Choices read;
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;  // cut short
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      if (line != kHeader) return false;
      first = false;
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "checked") {
      if (!ParseMoment(value, read.lastCheck)) return false;
    } else if (key == "skipped") {
      if (value.empty()) return false;
      read.skipped = value;
    } else if (key == "remind") {
      const size_t blank = value.rfind(' ');
      if (blank == std::string::npos || blank == 0 ||
          !ParseMoment(value.substr(blank + 1), read.remindAt))
        return false;
      read.remindVersion = value.substr(0, blank);
    }
    // Keys of later versions are left to them.
  }
  if (first) return false;
  choices = read;
  return true;
}

bool SaveChoices(const std::string& path, const Choices& choices) {
  if (path.empty()) return false;
  std::string text = std::string(kHeader) + "\n";
  if (choices.lastCheck >= 0) text += "checked=" + std::to_string(choices.lastCheck) + "\n";
  if (!choices.skipped.empty()) text += "skipped=" + choices.skipped + "\n";
  if (!choices.remindVersion.empty() && choices.remindAt >= 0)
    text += "remind=" + choices.remindVersion + " " + std::to_string(choices.remindAt) + "\n";
  // Versions come from the manifest: one that could break a line is not kept.
  for (char c : choices.skipped + choices.remindVersion)
    if (c == '\n' || c == '\r') return false;
  // The state folder, and those above it that are missing.
  const std::string folder = ExtractFilePath(path);
  for (size_t at = folder.find(os::kPathSep, 1); at != std::string::npos;
       at = folder.find(os::kPathSep, at + 1))
    os::DirCreate(folder.substr(0, at));
  const std::string beside = path + ".new";
  os::FileHandle h = nullptr;
  if (os::FileCreateExclusive(beside, h) != 0) return false;
  if (!WriteAndClose(h, text) || os::FileRename(beside, path, true) != 0) {
    os::FileDelete(beside);
    return false;
  }
  return true;
}

bool Within(int64_t then, uint32_t hours, int64_t now) {
  return then >= 0 && now >= then && now - then < static_cast<int64_t>(hours) * 3600;
}

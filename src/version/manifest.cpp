#include "version/manifest.h"

#include <cstring>

#include "core/errors.h"
#include "core/runstate.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/names.h"
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

namespace {

// Sequential reader with the line rules of a text file: CR ends a line and
// swallows one LF right after it, Ctrl-Z ends the file.
class LineReader {
 public:
  explicit LineReader(os::FileHandle h) : h_(h) {}

  bool AtEnd() {
    if (!Fill()) return true;
    return buf_[pos_] == 26;
  }

  void ReadLine(std::string& line) {
    while (Fill()) {
      const char* begin = buf_ + pos_;
      const char* stop = begin;
      const char* limit = buf_ + len_;
      while (stop < limit && *stop != '\r' && *stop != 26) ++stop;
      line.append(begin, stop - begin);
      pos_ += static_cast<uint32_t>(stop - begin);
      if (stop == limit) continue;
      if (*stop == 26) return;  // stays in the buffer, so AtEnd sees it
      ++pos_;                   // the CR
      if (Fill() && buf_[pos_] == '\n') ++pos_;
      return;
    }
  }

  // Bytes read from the file so far.
  uint64_t Consumed() const { return consumed_; }

 private:
  bool Fill() {
    if (pos_ < len_) return true;
    if (eof_) return false;
    uint32_t got = 0;
    int32_t err = os::FileRead(h_, buf_, sizeof buf_, got);
    if (err != 0) RaiseInOutError(err);
    pos_ = 0;
    len_ = got;
    consumed_ += got;
    if (got == 0) eof_ = true;
    return got != 0;
  }

  os::FileHandle h_;
  uint64_t consumed_ = 0;
  char buf_[4096];
  uint32_t pos_ = 0, len_ = 0;
  bool eof_ = false;
};

}  // namespace

bool ReadTextFile(const std::string& path, std::string& text) {
  text.clear();
  if (!FileExists(path)) return false;
  os::FileHandle h = nullptr;
  int32_t err = os::FileOpenRead(path, h);
  if (err != 0) RaiseInOutError(err);
  os::UniqueFile file(h);
  LineReader reader(file.Get());
  std::string line;
  do {
    line.clear();
    reader.ReadLine(line);
    if (reader.Consumed() > kManifestMaxBytes) {
      text.clear();
      return false;
    }
    text += line;
    text += "\r\n";
  } while (!reader.AtEnd());
  return true;
}

bool FetchText(const std::string& url, std::string& text) {
  text.clear();
  os::UniqueNet session(os::NetOpen("Pelmatic"));
  if (!session) return false;
  os::UniqueNet request = OpenUrl(session.Get(), url, /*noCache=*/true, ManifestLimits());
  if (!request) return false;
  // A manifest longer than the limit is no manifest; one that says so up
  // front is not read at all.
  const uint64_t announced = os::UrlLength(request.Get());
  if (announced > kManifestMaxBytes) return false;
  // Room for the announced body at once, rather than growing in steps.
  if (announced > 0) text.reserve(static_cast<size_t>(announced));
  char piece[65];
  uint64_t total = 0;
  for (;;) {
    uint32_t got = 0;
    // A broken transfer must not pass as a (shorter) manifest: a cut "2.31"
    // would compare as "2.3".
    bool broken = !os::UrlRead(request.Get(), piece, 64, got);
    total += got;
    if (broken || total > kManifestMaxBytes) {
      text.clear();
      return false;
    }
    if (got == 0) return true;
    piece[got] = '\0';
    // Bytes after a zero byte in a piece are dropped, as the text is
    // handled as a zero-terminated string.
    text.append(piece, std::strlen(piece));
  }
}

int32_t EvaluateManifest() {
  int32_t result = -1;
  gRun.RemoteVer.clear();
  gRun.UpdateFile.clear();
  gRun.WhatsNew.clear();
  gRun.UpdateMode.clear();

  std::string text;
  if (gRun.LocalMode) {
    if (!ReadTextFile(gRun.AppDir + gRun.VerFile + ".ver", text)) return -1;
  } else {
    if (!FetchText(gRun.UrlFile + gRun.VerFile + ".ver", text)) return -1;
  }
  text += '\r';  // a last line without line end still has its value found

  const std::string cr = "\r";
  gRun.RemoteVer = Trim(ExtractValue(text, "ver=", cr));
  if (!gRun.RemoteVer.empty()) result = CompareVersions(gRun.RemoteVer, gRun.VerNow) > 0 ? 1 : 0;

  gRun.UpdateFile = Trim(ExtractValue(text, "file=", cr));
  gRun.UpdateMode = Trim(ExtractValue(text, "mode=", cr));
  if (gRun.UpdateMode.empty()) gRun.UpdateMode = "3";
  gRun.WhatsNew = Trim(ExtractValue(text, "msg=", "<>"));
  if (gRun.WhatsNew.empty()) gRun.WhatsNew = Trim(ExtractValue(text, "msg=", cr));

  std::string alternative = Trim(ExtractValue(text, "filealt=", cr));
  if (UpperCase(ExtractFileExt(alternative)) == ".EXE" && FileExists(gRun.AppDir + "uninstal*.exe"))
    gRun.UpdateFile = alternative;
  return result;
}

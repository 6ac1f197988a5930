#include "version/manifest.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/errors.h"
#include "core/runstate.h"
#include "os/utf16.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/names.h"
#include "version/keys.h"
#include "version/rollout.h"
#include "version/signing.h"
#include "version/versiontext.h"

namespace {

// Sequential reader with the line rules of a text file: CR ends a line and
// swallows one LF right after it, Ctrl-Z ends the file. It reads a file,
// or bytes already in memory; raw, when given, receives every byte read.
class LineReader {
 public:
  LineReader(os::FileHandle h, std::string* raw) : h_(h), raw_(raw) {}
  explicit LineReader(const std::string& bytes) : memory_(&bytes) {}

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

  // Bytes read so far.
  uint64_t Consumed() const { return consumed_; }

  // Reads what is left after the text's end (a Ctrl-Z), for raw.
  void Drain() {
    while (!eof_) {
      pos_ = len_;
      Fill();
    }
  }

 private:
  bool Fill() {
    if (pos_ < len_) return true;
    if (eof_) return false;
    uint32_t got = 0;
    if (memory_) {
      got = static_cast<uint32_t>(std::min<uint64_t>(sizeof buf_, memory_->size() - consumed_));
      std::memcpy(buf_, memory_->data() + consumed_, got);
    } else {
      int32_t err = os::FileRead(h_, buf_, sizeof buf_, got);
      if (err != 0) RaiseInOutError(err);
      if (raw_) raw_->append(buf_, got);
    }
    pos_ = 0;
    len_ = got;
    consumed_ += got;
    if (got == 0) eof_ = true;
    return got != 0;
  }

  os::FileHandle h_ = nullptr;
  std::string* raw_ = nullptr;
  const std::string* memory_ = nullptr;
  uint64_t consumed_ = 0;
  char buf_[4096];
  uint32_t pos_ = 0, len_ = 0;
  bool eof_ = false;
};

// The lines of reader joined by CR LF; false past the size limit.
bool ReadLines(LineReader& reader, std::string& text) {
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

// The text of bytes received from the web: a zero byte ends its 64-byte
// piece, as the text is handled as a zero-terminated string.
std::string WebText(const std::string& bytes) {
  std::string text;
  for (size_t at = 0; at < bytes.size(); at += 64) {
    const size_t n = std::min<size_t>(64, bytes.size() - at);
    text.append(bytes.data() + at, strnlen(bytes.data() + at, n));
  }
  return text;
}

}  // namespace

bool ReadTextFile(const std::string& path, std::string& text, std::string* raw) {
  text.clear();
  if (raw) raw->clear();
  if (!FileExists(path)) return false;
  os::FileHandle h = nullptr;
  int32_t err = os::FileOpenRead(path, h);
  if (err != 0) RaiseInOutError(err);
  os::UniqueFile file(h);
  LineReader reader(file.Get(), raw);
  if (!ReadLines(reader, text)) return false;
  if (raw) {
    reader.Drain();
    if (raw->size() > kManifestMaxBytes) {
      text.clear();
      return false;
    }
  }
  return true;
}

bool FetchText(const std::string& url, std::string& text, std::string* raw) {
  text.clear();
  if (raw) raw->clear();
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
      if (raw) raw->clear();
      return false;
    }
    if (got == 0) return true;
    if (raw) raw->append(piece, got);
    piece[got] = '\0';
    // Bytes after a zero byte in a piece are dropped, as the text is
    // handled as a zero-terminated string.
    text.append(piece, std::strlen(piece));
  }
}

const char* const kReasonNotSigned = "The version information is not signed.";
const char* const kReasonBadSignature = "The signature of the version information is not valid.";
const char* const kReasonOtherProduct = "The version information is for another product.";
const char* const kReasonExpired = "The version information has expired.";
const char* const kReasonBadKey = "The key in pelmatic.ini is not valid.";

namespace {

// Null when the manifest raw holds up in strict mode, with text then the
// text of its signed bytes; otherwise the reason it is refused.
const char* CheckSignedManifest(const TrustedKeys& trusted, const std::string& raw, bool local,
                                const std::string& product, int64_t now, std::string& text,
                                std::string& verifiedKey) {
  if (!trusted.valid) return kReasonBadKey;
  size_t signedLength = 0;
  os::P256Signature signature{};
  if (!FindSignatureLine(raw, signedLength, signature)) return kReasonNotSigned;
  const std::string signedBytes = raw.substr(0, signedLength);
  const int key = VerifySignature(trusted, signedBytes, signature);
  if (key < 0) return kReasonBadSignature;
  verifiedKey = ToHex(trusted.keys[key].data(), trusted.keys[key].size());
  // Every value from here on comes from the signed bytes alone, by the
  // rules of the text's source.
  text.clear();
  if (local) {
    LineReader reader(signedBytes);
    ReadLines(reader, text);
  } else {
    text = WebText(signedBytes);
  }
  text += '\r';
  if (!HasKey(text, "product") || KeyValue(text, "product") != product) return kReasonOtherProduct;
  if (HasKey(text, "expires")) {
    int64_t expires = 0;
    if (!ParseExpires(KeyValue(text, "expires"), expires) || expires <= now) return kReasonExpired;
  }
  return nullptr;
}

}  // namespace

int32_t EvaluateManifest() {
  int32_t result = -1;
  gRun.RemoteVer.clear();
  gRun.UpdateFile.clear();
  gRun.WhatsNew.clear();
  gRun.UpdateMode.clear();
  gRun.CheckReason.clear();
  gRun.UpdateSha256.clear();
  gRun.UpdateSize.clear();
  gRun.UpdateSha256Given = gRun.UpdateSizeGiven = false;
  gRun.VerifiedKey.clear();
  gRun.RolloutShare = kWholeShare;
  gRun.DeltaFile.clear();
  gRun.DeltaSha256.clear();
  gRun.DeltaSize.clear();
  gRun.CriticalVer.clear();
  gRun.SilentArgs.clear();

  // With trusted keys nothing of the manifest is used before its
  // signature, product and expiry have been checked.
  const TrustedKeys trusted = ParseTrustedKeys(gRun.PubKey);
  std::string text, raw;
  std::string* rawOut = trusted.strict ? &raw : nullptr;
  if (gRun.LocalMode) {
    if (!ReadTextFile(gRun.AppDir + gRun.VerFile + ".ver", text, rawOut)) return -1;
  } else {
    if (!FetchText(gRun.UrlFile + gRun.VerFile + ".ver", text, rawOut)) return -1;
  }
  if (trusted.strict) {
    std::string verifiedKey;
    const char* refused = CheckSignedManifest(trusted, raw, gRun.LocalMode, gRun.VerFile,
                                              os::UnixTimeUtc(), text, verifiedKey);
    if (refused) {
      gRun.CheckReason = refused;
      return -1;
    }
    gRun.VerifiedKey = verifiedKey;
  } else {
    text += '\r';  // a last line without line end still has its value found
  }
  text = ManifestAsUtf8(text);

  gRun.RemoteVer = KeyValue(text, "ver");
  if (!gRun.RemoteVer.empty()) result = CompareVersions(gRun.RemoteVer, gRun.VerNow) > 0 ? 1 : 0;

  gRun.UpdateFile = KeyValue(text, "file");
  gRun.UpdateMode = KeyValue(text, "mode");
  if (gRun.UpdateMode.empty()) gRun.UpdateMode = "3";
  gRun.WhatsNew = Trim(ExtractValue(text, "msg=", "<>"));
  if (gRun.WhatsNew.empty()) gRun.WhatsNew = KeyValue(text, "msg");

  std::string alternative = KeyValue(text, "filealt");
  const bool useAlternative =
      UpperCase(ExtractFileExt(alternative)) == ".EXE" && FileExists(gRun.AppDir + "uninstal*.exe");
  if (useAlternative) gRun.UpdateFile = alternative;
  // The digest and length of the file the offer will use.
  const std::string sha = useAlternative ? "sha256alt" : "sha256";
  const std::string size = useAlternative ? "sizealt" : "size";
  gRun.UpdateSha256Given = HasKey(text, sha);
  gRun.UpdateSha256 = KeyValue(text, sha);
  gRun.UpdateSizeGiven = HasKey(text, size);
  gRun.UpdateSize = KeyValue(text, size);
  gRun.RolloutShare = RolloutShareAt(ReadRolloutPlan(text), os::UnixTimeUtc());
  gRun.CriticalVer = KeyValue(text, "critical");
  gRun.SilentArgs = KeyValue(text, "silent_args");
  // Only beside a full package to fall back to.
  DeltaLine delta;
  if (!useAlternative && UpperCase(ExtractFileExt(gRun.UpdateFile)) == ".ZIP" &&
      ParseDeltaLine(KeyValue(text, DeltaKey(gRun.VerNow)), delta)) {
    gRun.DeltaFile = delta.file;
    gRun.DeltaSha256 = delta.sha256;
    gRun.DeltaSize = delta.size;
  }
  return result;
}

std::string ManifestAsUtf8(const std::string& text) {
  if (text.compare(0, 3, kUtf8Mark) == 0) return CleanUtf8(text.substr(3));
  return os::SystemCodePageToUtf8(text);
}

std::string DeltaKey(const std::string& baseVersion) { return "delta_" + baseVersion; }

bool ParseDeltaLine(const std::string& value, DeltaLine& out) {
  // name, SHA-256 and length, separated by blanks
  std::vector<std::string> fields;
  size_t at = 0;
  while (fields.size() < 4) {
    at = value.find_first_not_of(" \t", at);
    if (at == std::string::npos) break;
    const size_t end = value.find_first_of(" \t", at);
    fields.push_back(value.substr(at, end == std::string::npos ? end : end - at));
    at = end;
  }
  if (fields.size() != 3 || !IsPlainFileName(fields[0]) ||
      UpperCase(ExtractFileExt(fields[0])) != ".ZIP")
    return false;
  const FileCheck check = MakeFileCheck(fields[1], true, fields[2], true);
  if (check.malformed || !check.hasDigest || !check.hasSize) return false;
  out = {fields[0], fields[1], fields[2]};
  return true;
}

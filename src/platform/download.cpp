#include "platform/download.h"

#include "core/errors.h"
#include "os/os.h"
#include "platform/hex.h"
#include "platform/http.h"
#include "platform/progress.h"

namespace {

bool ParseLength(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 19) return false;  // below 2^63
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

FileCheck MakeFileCheck(const std::string& sha256, bool sha256Given, const std::string& size,
                        bool sizeGiven) {
  FileCheck check;
  if (sha256Given) {
    check.hasDigest = ParseHex(sha256, check.digest.data(), check.digest.size());
    check.malformed = !check.hasDigest;
  }
  if (sizeGiven) {
    check.hasSize = ParseLength(size, check.size);
    check.malformed = check.malformed || !check.hasSize;
  }
  return check;
}

DownloadResult DownloadFile(const std::string& url, const std::string& path,
                            const FileCheck& check) {
  os::UniqueNet session(os::NetOpen("Pelmatic"));
  os::UniqueNet request = OpenUrl(session.Get(), url, /*noCache=*/false, DownloadLimits());
  if (!request) return DownloadResult::kFailed;
  // A length announced other than the manifest's is no file to start.
  const uint64_t announced = os::UrlLength(request.Get());
  if (check.hasSize && announced != 0 && announced != check.size) return DownloadResult::kMismatch;
  os::FileHandle h = nullptr;
  int32_t err = os::FileCreateShared(path, h);
  if (err != 0) RaiseInOutError(err);
  os::UniqueFile file(h);
  // The digest is taken as the bytes are written: the file is never read
  // back.
  os::UniqueHash hash(check.hasDigest ? os::Sha256Open() : nullptr);
  char buffer[1024];
  DownloadResult result = DownloadResult::kDone;
  uint64_t total = 0;
  ProgressBegin(UpdatePhase::kDownload, check.hasSize ? check.size : announced);
  for (;;) {
    uint32_t got = 0;
    if (UpdateCancelled()) {
      result = DownloadResult::kCancelled;
      break;
    }
    if (!os::UrlRead(request.Get(), buffer, sizeof buffer, got)) {
      result = UpdateCancelled() ? DownloadResult::kCancelled : DownloadResult::kFailed;
      break;
    }
    if (got == 0) break;
    total += got;
    if (check.hasSize && total > check.size) {
      result = DownloadResult::kMismatch;  // stopped at once, whatever follows
      break;
    }
    if (hash) os::Sha256Update(hash.Get(), buffer, got);
    uint32_t written = 0;
    err = os::FileWrite(file.Get(), buffer, got, written);
    if (err != 0) {
      // A partial package or installer is of no use to anyone; do not
      // leave it taking the space that ran out. Windows deletes only a
      // closed file.
      file.Close();
      os::FileDelete(path);
      RaiseInOutError(err);
    }
    ProgressDone(total);
    os::KeepResponsive();
  }
  if (result == DownloadResult::kDone) {
    os::Sha256Digest digest{};
    if ((check.hasSize && total != check.size) ||
        (check.hasDigest &&
         (!hash || !os::Sha256Finish(hash.Get(), digest) || digest != check.digest)))
      result = DownloadResult::kMismatch;
  }
  err = file.Close();
  if (err != 0) {
    os::FileDelete(path);
    RaiseInOutError(err);
  }
  if (result != DownloadResult::kDone) {
    // A cut or mismatched installer or package must never be started or
    // unpacked.
    os::FileDelete(path);
  } else {
    ProgressComplete();
  }
  return result;
}

bool MeasureFile(const std::string& path, uint64_t& size, os::Sha256Digest& digest) {
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return false;
  os::UniqueFile file(h);
  os::UniqueHash hash(os::Sha256Open());
  if (!hash) return false;
  char buffer[65536];
  size = 0;
  for (;;) {
    uint32_t got = 0;
    if (os::FileRead(file.Get(), buffer, sizeof buffer, got) != 0) return false;
    if (got == 0) break;
    size += got;
    os::Sha256Update(hash.Get(), buffer, got);
    os::KeepResponsive();
  }
  return os::Sha256Finish(hash.Get(), digest);
}

bool FileMatches(const std::string& path, const FileCheck& check) {
  uint64_t size = 0;
  os::Sha256Digest digest{};
  if (!MeasureFile(path, size, digest)) return false;
  return (!check.hasSize || size == check.size) && (!check.hasDigest || digest == check.digest);
}

#include "platform/download.h"

#include "core/errors.h"
#include "os/os.h"
#include "platform/http.h"

bool DownloadFile(const std::string& url, const std::string& path) {
  os::UniqueNet session(os::NetOpen("Pelmatic"));
  os::UniqueNet request = OpenUrl(session.Get(), url, /*noCache=*/false, DownloadLimits());
  if (!request) return false;
  os::FileHandle h = nullptr;
  int32_t err = os::FileCreateShared(path, h);
  if (err != 0) RaiseInOutError(err);
  os::UniqueFile file(h);
  char buffer[1024];
  bool complete = true;
  for (;;) {
    uint32_t got = 0;
    if (!os::UrlRead(request.Get(), buffer, sizeof buffer, got)) {
      complete = false;
      break;
    }
    if (got == 0) break;
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
  }
  err = file.Close();
  if (err != 0) {
    os::FileDelete(path);
    RaiseInOutError(err);
  }
  if (!complete) {
    // A cut installer or package must never be started or unpacked.
    os::FileDelete(path);
    return false;
  }
  return true;
}

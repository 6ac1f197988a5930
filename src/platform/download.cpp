#include "platform/download.h"

#include "os/os.h"
#include "run/errors.h"

bool DownloadFile(const std::string& url, const std::string& path) {
  os::NetHandle session = os::NetOpen("Pelmatic");
  os::NetHandle request = os::UrlOpen(session, url, /*noCache=*/false);
  if (!request) {
    os::InternetClose(session);
    return false;
  }
  auto closeNet = [&] {
    os::InternetClose(request);
    os::InternetClose(session);
  };
  os::FileHandle file = nullptr;
  int32_t err = os::FileCreateShared(path, file);
  if (err != 0) {
    closeNet();
    RaiseInOutError(err);
  }
  char buffer[1024];
  bool complete = true;
  for (;;) {
    uint32_t got = 0;
    if (!os::UrlRead(request, buffer, sizeof buffer, got)) {
      complete = false;
      break;
    }
    if (got == 0) break;
    uint32_t written = 0;
    err = os::FileWrite(file, buffer, got, written);
    if (err != 0) {
      // A partial package or installer is of no use to anyone; do not
      // leave it taking the space that ran out.
      os::FileClose(file);
      os::FileDelete(path);
      closeNet();
      RaiseInOutError(err);
    }
  }
  err = os::FileClose(file);
  closeNet();
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

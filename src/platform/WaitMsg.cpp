#include "platform/WaitMsg.h"

#include "os/os.h"
#include "run/runstate.h"

StatusPlace StatusPosition(int screenWidth, int screenHeight) {
  return {(screenWidth - StatusWidth) / 2, (screenHeight - StatusHeight) / 2};
}

void ShowStatus(const std::string& text) {
  if (gRun.StatusWindow) {
    os::DestroyWindow(gRun.StatusWindow);
    gRun.StatusWindow = nullptr;
  }
  if (text.empty()) return;
  int w = os::GetSystemMetrics(16);  // SM_CXFULLSCREEN
  int h = os::GetSystemMetrics(17);  // SM_CYFULLSCREEN
  StatusPlace at = StatusPosition(w, h);
  gRun.StatusWindow =
      os::CreateStatusWindow(text, StatusStyle, at.x, at.y, StatusWidth, StatusHeight);
}

void WaitMsgFinalize() { ShowStatus(""); }

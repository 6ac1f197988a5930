#include "platform/WaitMsg.h"

#include "core/runstate.h"
#include "os/os.h"

StatusPlace StatusPosition(int screenWidth, int screenHeight) {
  return {(screenWidth - StatusWidth) / 2, (screenHeight - StatusHeight) / 2};
}

void ShowStatus(const std::string& text, void (*progressTick)()) {
  // The old window goes before the new one comes: one at a time.
  gRun.StatusWindow.Reset();
  if (text.empty() || gRun.Unattended) return;  // an unattended run shows no window
  StatusPlace at = StatusPosition(os::GetSystemMetrics(os::kSmCxFullScreen),
                                  os::GetSystemMetrics(os::kSmCyFullScreen));
  gRun.StatusWindow.Reset(os::CreateStatusWindow(text, StatusStyle, at.x, at.y, StatusWidth,
                                                 StatusHeight, progressTick));
}

void WaitMsgFinalize() { ShowStatus(""); }

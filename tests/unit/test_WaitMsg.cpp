// The status window on each build's desktop: one window at a time, replaced
// rather than changed, removed by the empty text.
#include <gtest/gtest.h>

#include "core/runstate.h"
#include "platform/WaitMsg.h"

#ifdef _WIN32
#include <windows.h>

TEST(StatusWindow, OneRealWindowAtATimeCentredWithItsStyle) {
  ResetRunState();
  ShowStatus("pelmatic status one");
  ShowStatus("pelmatic status two");
  EXPECT_EQ(FindWindowA(nullptr, "pelmatic status one"), nullptr);
  HWND w = FindWindowA(nullptr, "pelmatic status two");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w, reinterpret_cast<HWND>(gRun.StatusWindow.Get()));
  char cls[64] = {};
  GetClassNameA(w, cls, sizeof cls);
  EXPECT_STRCASEEQ(cls, "STATIC");
  DWORD style = static_cast<DWORD>(GetWindowLongA(w, GWL_STYLE));
  EXPECT_EQ(style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), 0x808C0201u);
  EXPECT_NE(style & WS_VISIBLE, 0u);
  RECT r;
  ASSERT_TRUE(GetWindowRect(w, &r));
  StatusPlace at =
      StatusPosition(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
  EXPECT_EQ(r.left, at.x);
  EXPECT_EQ(r.top, at.y);
  EXPECT_EQ(r.right - r.left, StatusWidth);
  EXPECT_EQ(r.bottom - r.top, StatusHeight);

  ShowStatus("");
  EXPECT_FALSE(gRun.StatusWindow);
  EXPECT_FALSE(IsWindow(w));
  ShowStatus("");     // nothing shown: nothing happens
  ShowStatus("   ");  // blanks are a text
  HWND blank = reinterpret_cast<HWND>(gRun.StatusWindow.Get());
  EXPECT_TRUE(IsWindow(blank));
  WaitMsgFinalize();
  EXPECT_FALSE(IsWindow(blank));
}

#else

TEST(StatusWindow, TerminalLinesForEachWindow) {
  ResetRunState();
  testing::internal::CaptureStderr();
  ShowStatus("one");
  ShowStatus("two\r\nlines");
  ShowStatus("");
  ShowStatus("");
  ShowStatus("   ");
  WaitMsgFinalize();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[status] one\n[status closed]\n[status] two\r\nlines\n[status closed]\n"
            "[status]    \n[status closed]\n");
  EXPECT_FALSE(gRun.StatusWindow);
}

#endif

TEST(StatusWindow, CentredWithTruncatingDivision) {
  StatusPlace p = StatusPosition(1023, 705);
  EXPECT_EQ(p.x, 336);
  EXPECT_EQ(p.y, 302);
  EXPECT_EQ(StatusPosition(345, 100).x, -2);
  EXPECT_EQ(StatusPosition(345, 95).y, -2);
}

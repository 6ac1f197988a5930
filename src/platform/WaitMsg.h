// The status window: a small borderless box in the middle of the screen that
// shows one text while the program works.
#pragma once

#include <string>

constexpr int StatusWidth = 350;
constexpr int StatusHeight = 100;
constexpr unsigned StatusStyle = 0x808C0201;  // popup, border, sysmenu, thick frame, centred

struct StatusPlace {
  int x, y;
};
// Centred in the full-screen client area; division truncates toward zero.
StatusPlace StatusPosition(int screenWidth, int screenHeight);

// Replaces the status window by one showing text; the empty text removes it.
// With progressTick the window is an update's, which shows its progress.
void ShowStatus(const std::string& text, void (*progressTick)() = nullptr);
// End-of-program step: removes a status window still shown.
void WaitMsgFinalize();

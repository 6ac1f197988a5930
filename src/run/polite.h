// An update that asks politely: the check interval, "Skip this version",
// "Remind me later" and critical releases, by the choices of the user of
// this installation. The copy started with administrator rights never
// reads or writes them.
#pragma once

#include <string>

// Reads the choices kept for the installation and product of the run.
void LoadUserChoices();
// False when check_hours holds the check back: the last check that read a
// manifest is fewer hours ago (one in the future counts as none).
bool CheckIsDue();
// A manifest was read: its moment is kept, so that the next runs wait.
void RecordCheck();
// True when the manifest marks the release critical for this installation
// (critical= above the installed version, byte by byte).
bool IsCriticalRelease();
// True when the announced version is one the user skipped (or older), or
// one of which the user asked to be reminded later and the hours have not
// passed; never for a critical release.
bool HeldBack();
// Keeps what the user answered on the update question: No or Cancel with
// the box ticked skips the version, Cancel without it is a reminder where
// remind_hours asks for one.
void RememberAnswer(int answer, bool skipTicked);

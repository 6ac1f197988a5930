// How far an update is: counters that the work writes as it goes and the
// status window's timer reads, and the user's Cancel.
#pragma once

#include <cstdint>
#include <string>

enum class UpdatePhase { kDownload, kUnpack, kInstall };

// The status window of an update: the text, with a progress bar, a line
// and Cancel below it until the window goes. package: the bar runs over
// download (0 to 800), unpacking (to 900) and installing (to 1000);
// otherwise the download takes the whole bar.
void ShowUpdateStatus(const std::string& text, bool package);

// What comes now is not what the bar showed so far (the full package after
// a delta that could not be used): the note leads the line from here on,
// and the bar starts again.
void ProgressNote(const std::string& note);
// A phase begins: done of total so far (total 0 when unknown).
void ProgressBegin(UpdatePhase phase, uint64_t total, uint64_t done = 0);
void ProgressDone(uint64_t done);
// The total became known (or changed) during the phase.
void ProgressTotal(uint64_t total);
// The phase is complete: done becomes the total, and this is shown.
void ProgressComplete();

// True once the user asked to stop the update.
bool UpdateCancelled();
// From here on the update can no longer be stopped.
void DisableCancel();

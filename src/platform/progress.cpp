#include "platform/progress.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/runstate.h"
#include "os/os.h"
#include "platform/WaitMsg.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
// The rate is taken over the last few seconds, so that it follows a line
// that gets faster or slower.
constexpr uint64_t kRateWindowMs = 3000;
constexpr uint64_t kRateMinSpanMs = 500;
constexpr size_t kSamples = 32;

// Written by the work, read by the ticks.
std::atomic<int> gPhase{-1};
std::atomic<uint64_t> gDone{0}, gTotal{0};
std::atomic<bool> gPackage{false};

// The ticks' own state. The terminal desktop ticks from a thread of its
// own, beside the completion of a phase on the program's thread.
std::mutex gTickLock;
int gBar = 0;  // the bar never moves back
struct Sample {
  uint64_t ms, done;
};
Sample gSamples[kSamples];
size_t gSampleCount = 0;
std::string gNote;  // said before the line

const char* PhaseName(UpdatePhase phase) {
  switch (phase) {
    case UpdatePhase::kDownload: return "download";
    case UpdatePhase::kUnpack: return "unpack";
    case UpdatePhase::kInstall: return "install";
  }
  return "";
}

void PhaseRange(UpdatePhase phase, bool package, int& from, int& to) {
  if (!package) {
    from = 0;
    to = 1000;
    return;
  }
  from = phase == UpdatePhase::kDownload ? 0 : phase == UpdatePhase::kUnpack ? 800 : 900;
  to = phase == UpdatePhase::kDownload ? 800 : phase == UpdatePhase::kUnpack ? 900 : 1000;
}

// Bytes a second over the samples of the rate window; 0 while too few.
uint64_t Rate(uint64_t now, uint64_t done) {
  if (gSampleCount == kSamples) {
    std::copy(gSamples + 1, gSamples + kSamples, gSamples);
    --gSampleCount;
  }
  gSamples[gSampleCount++] = {now, done};
  size_t first = 0;
  while (first + 1 < gSampleCount && now - gSamples[first + 1].ms >= kRateWindowMs) ++first;
  std::copy(gSamples + first, gSamples + gSampleCount, gSamples);
  gSampleCount -= first;
  const Sample& oldest = gSamples[0];
  if (now - oldest.ms < kRateMinSpanMs || done < oldest.done) return 0;
  return (done - oldest.done) * 1000 / (now - oldest.ms);
}

// One decimal, rounded down: 12.3 for 12.34.
std::string Tenths(uint64_t value, uint64_t unit) {
  const uint64_t tenths = value * 10 / unit;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::string TimeLeft(uint64_t seconds) {
  if (seconds < 100) return "about " + std::to_string(seconds) + " s left";
  const uint64_t minutes = (seconds + 59) / 60;
  if (minutes < 100) return "about " + std::to_string(minutes) + " min left";
  return "about " + std::to_string((minutes + 59) / 60) + " h left";
}

// 1234567 as "1,234,567".
std::string GroupedNumber(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The bar within [from, to] of 1000 for done of total (total 0: unknown).
int ProgressBar(uint64_t done, uint64_t total, int from, int to) {
  if (total == 0) return from;
  const uint64_t part = std::min(done, total);
  return from + static_cast<int>(static_cast<uint64_t>(to - from) * part / total);
}

// The line of text under the bar; bytesPerSecond is 0 while no rate is
// known.
std::string ProgressLine(UpdatePhase phase, uint64_t done, uint64_t total,
                         uint64_t bytesPerSecond) {
  switch (phase) {
    case UpdatePhase::kDownload: {
      std::string line = Tenths(done, kMiB) + (total ? " of " + Tenths(total, kMiB) : "") + " MiB";
      if (bytesPerSecond == 0) return line;
      line += ", " + Tenths(bytesPerSecond, kMiB) + " MiB/s";
      if (total > done)
        line += ", " + TimeLeft((total - done + bytesPerSecond - 1) / bytesPerSecond);
      return line;
    }
    case UpdatePhase::kUnpack: return "Unpacking: " + GroupedNumber(done) + " files";
    case UpdatePhase::kInstall:
      return "Installing " + GroupedNumber(done) + " of " + GroupedNumber(total) + " files";
  }
  return std::string();
}

void Show(bool final) {
  std::lock_guard<std::mutex> hold(gTickLock);
  const int phaseValue = gPhase.load();
  if (phaseValue < 0) return;
  const auto phase = static_cast<UpdatePhase>(phaseValue);
  const uint64_t done = gDone.load(), total = gTotal.load();
  int from = 0, to = 0;
  PhaseRange(phase, gPackage.load(), from, to);
  gBar = std::max(gBar, ProgressBar(done, total, from, to));
  os::ProgressView view;
  view.phase = PhaseName(phase);
  view.done = done;
  view.total = total;
  view.final = final;
  view.bar = gBar;
  view.line = gNote + ProgressLine(phase, done, total, Rate(os::MonotonicMs(), done));
  os::ShowProgress(gRun.StatusWindow.Get(), view);
}

void Tick() { Show(false); }

}  // namespace

void ShowUpdateStatus(const std::string& text, bool package) {
  {
    std::lock_guard<std::mutex> hold(gTickLock);
    gPhase = -1;
    gDone = gTotal = 0;
    gPackage = package;
    gBar = 0;
    gSampleCount = 0;
    gNote.clear();
  }
  ShowStatus(text, &Tick);
}

void ProgressNote(const std::string& note) {
  std::lock_guard<std::mutex> hold(gTickLock);
  gNote = note;
  gBar = 0;  // the bar starts again with what comes instead
}

void ProgressBegin(UpdatePhase phase, uint64_t total, uint64_t done) {
  std::lock_guard<std::mutex> hold(gTickLock);
  gSampleCount = 0;
  gTotal = total;
  gDone = done;
  gPhase = static_cast<int>(phase);
}

// Called for every piece of a download: no fence is needed, the ticks
// only show the figure.
void ProgressDone(uint64_t done) { gDone.store(done, std::memory_order_relaxed); }

void ProgressTotal(uint64_t total) { gTotal = total; }

void ProgressComplete() {
  if (gTotal.load() == 0 || gTotal.load() < gDone.load()) gTotal = gDone.load();
  gDone = gTotal.load();
  Show(true);
}

bool UpdateCancelled() { return os::CancelRequested(); }

void DisableCancel() { os::EnableCancel(gRun.StatusWindow.Get(), false); }

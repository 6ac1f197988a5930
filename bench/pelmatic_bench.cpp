// Runs one step of the program on its own and reports its time and peak
// memory, so that bench/run.py can set it beside the best tool for the job.
//
//   pelmatic_bench download URL PATH [SHA256 SIZE] | fetch URL | unzip ZIP FOLDER | merge SRC DST
//                | baseline-merge SRC DST | delta-apply ZIP UNPACK APPDIR
//
// merge takes SRC as an unpack folder inside DST, the application folder.
// baseline-merge is the least that merge can do: the same renames (two for
// a replaced file, one for a new one) and mkdirs in a plain loop.
//
// delta-apply unpacks the delta package ZIP into the folder UNPACK (no
// trailing slash) as an update unpacks a package, then turns it into the
// files it brings over the installation at APPDIR (ending with a slash):
// result 1 done, 0 failed (the reason on standard error), -1 cancelled; it
// adds apply_seconds, the time of the second step alone, and
// apply_rss_growth_kib, how far that step raised the peak memory.
//
// Prints one line: "<step> seconds=<s> peak_rss_kib=<k> result=<r>"; merge adds
// finish_seconds=<s>, the clean-up after the commit, timed apart from it.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "install/ShellZipU.h"
#include "install/delta.h"
#include "install/merge.h"
#include "install/transaction.h"
#include "platform/download.h"
#include "version/manifest.h"

// The peak memory of this process image, in KiB: VmHWM belongs to the
// image, where getrusage's figure also holds what the process that started
// this one had before it was replaced.
static long ImagePeakKib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  long kib = -1;
  char line[256];
  while (f && std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  if (f) std::fclose(f);
  return kib;
}

// The same renames as the installation's merge, nothing else: an installed
// file of the same name goes into the backup folder, then the new one takes
// its place.
static long long BaselineMerge(const std::string& src, const std::string& dst,
                               const std::string& backup) {
  long long moved = 0;
  DIR* d = opendir(src.c_str());
  if (!d) return 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string from = src + name, to = dst + name, saved = backup + name;
    if (e->d_type == DT_DIR) {
      mkdir(to.c_str(), 0777);
      mkdir(saved.c_str(), 0777);
      moved += BaselineMerge(from + "/", to + "/", saved + "/");
    } else {
      rename(to.c_str(), saved.c_str());  // fails, as it should, for a new file
      if (rename(from.c_str(), to.c_str()) == 0) ++moved;
    }
  }
  closedir(d);
  return moved;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s download URL PATH | fetch URL | unzip ZIP FOLDER | merge SRC DST\n",
                 argv[0]);
    return 2;
  }
  const std::string step = argv[1];
  auto start = std::chrono::steady_clock::now();
  long long result = 0;
  double finishSeconds = -1;  // the clean-up after a commit, not part of the merge's time
  double applySeconds = -1;
  long applyGrowth = -1;
  if (step == "download" && (argc == 4 || argc == 6)) {
    // With a digest and a length the file is checked as it is written.
    FileCheck check;
    if (argc == 6) check = MakeFileCheck(argv[4], true, argv[5], true);
    result = DownloadFile(argv[2], argv[3], check) == DownloadResult::kDone;
  } else if (step == "fetch") {
    std::string text;
    result = FetchText(argv[2], text) ? static_cast<long long>(text.size()) : -1;
  } else if (step == "unzip" && argc == 4) {
    result = UnzipWithShell(argv[2], argv[3], "");
  } else if (step == "merge" && argc == 4) {
    // SRC is a folder inside DST, as the unpack folder is inside the
    // application folder: the merge with its journal and backups, through
    // the commit; the removal of the backups is timed on its own below.
    const std::string app = argv[3], src = argv[2];
    JournalRecord record;
    record.unpack = src.substr(app.size(), src.size() - app.size() - 1);
    record.config = "pelmatic.ini";
    record.configCopy = "pelmatic.OLD";
    Installation install(app, record);
    int32_t counter = 0;
    if (install.Begin()) MergeFolder(src, counter, install);
    result = counter > 0 && install.Commit() ? counter : -counter;
    const auto committed = std::chrono::steady_clock::now();
    install.Finish();
    finishSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - committed).count();
    start += std::chrono::steady_clock::now() - committed;
  } else if (step == "baseline-merge" && argc == 4) {
    const std::string backup = std::string(argv[3]) + "baseline.backup/";
    mkdir(backup.c_str(), 0777);
    result = BaselineMerge(argv[2], argv[3], backup);
  } else if (step == "delta-apply" && argc == 5) {
    if (UnzipWithShell(argv[2], argv[3], "")) {
      const long before = ImagePeakKib();
      const auto unpacked = std::chrono::steady_clock::now();
      const DeltaResult r = ApplyDelta(argv[3], argv[4]);
      applySeconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - unpacked).count();
      result = r.outcome == DeltaOutcome::kDone ? 1 : r.outcome == DeltaOutcome::kFailed ? 0 : -1;
      if (!r.reason.empty()) std::fprintf(stderr, "%s\n", r.reason.c_str());
      applyGrowth = ImagePeakKib() - before;
    }
  } else {
    std::fprintf(stderr, "unknown step %s\n", step.c_str());
    return 2;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  std::printf("%s seconds=%.6f peak_rss_kib=%ld result=%lld", step.c_str(), seconds, ru.ru_maxrss,
              result);
  if (finishSeconds >= 0) std::printf(" finish_seconds=%.6f", finishSeconds);
  if (applySeconds >= 0)
    std::printf(" apply_seconds=%.6f apply_rss_growth_kib=%ld", applySeconds, applyGrowth);
  std::printf("\n");
  return 0;
}

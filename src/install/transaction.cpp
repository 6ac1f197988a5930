#include "install/transaction.h"

#include <algorithm>
#include <utility>

#include "install/package.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/names.h"
#include "platform/progress.h"

const char kJournalName[] = "pelmatic.journal";
const char kBackupFolderName[] = "pelmatic.backup";

namespace {

const char kMagic[] = "PELMATIC JOURNAL 1\n";
const char kPlanned[] = "planned ";
const char kCommitted[] = "committed\n";

}  // namespace

Retry::Retry(uint64_t fileLimitMs, uint64_t totalLimitMs)
    : fileLimitMs_(fileLimitMs), deadline_(os::MonotonicMs() + totalLimitMs) {}

int32_t Retry::Run(const std::function<int32_t()>& attempt, bool cancellable) {
  const uint64_t start = os::MonotonicMs();
  const uint64_t until = std::min(start + fileLimitMs_, deadline_);
  uint32_t wait = 50;
  for (;;) {
    const int32_t code = attempt();
    if (code == 0 || !os::IsTransientFileError(code)) return code;
    if (os::MonotonicMs() + wait > until || (cancellable && UpdateCancelled())) return code;
    os::Sleep(wait);
    wait = std::min<uint32_t>(wait * 2, 1000);
  }
}

namespace {

// The file itself, not another whose name differs only in letter case.
bool FileEntryExists(const std::string& path) {
  uint32_t attributes = 0;
  return os::PathAttributes(path, attributes) && !(attributes & os::kAttrDirectory);
}

std::string Digest(const std::string& text) {
  os::Sha256Digest digest{};
  if (!Sha256Of(text, digest)) return "";
  return ToHex(digest.data(), digest.size());
}

// A path of the plan stays below the application folder, whoever wrote the
// journal.
bool IsPlanPath(const std::string& path) {
  std::string rest = path;
  if (!rest.empty() && rest.back() == os::kPathSep) rest.pop_back();
  size_t start = 0;
  for (;;) {
    size_t end = rest.find(os::kPathSep, start);
    if (!IsStorableName(rest.substr(start, end - start))) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool ReadJournal(const std::string& path, std::string& text) {
  os::FileHandle raw = nullptr;
  if (os::FileOpenRead(path, raw) != 0) return false;
  os::UniqueFile file(raw);
  char buf[65536];
  uint32_t got = 0;
  while (os::FileRead(file.Get(), buf, sizeof buf, got) == 0 && got > 0) text.append(buf, got);
  return true;
}

// Reads a journal; a plan counts only when its digest holds, since moves
// start only after the whole plan is on the disk.
bool ParseJournal(const std::string& text, JournalRecord& record) {
  if (text.compare(0, sizeof kMagic - 1, kMagic) != 0) return false;
  size_t at = sizeof kMagic - 1;
  std::vector<JournalRecord::Entry> entries;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line the kill cut short
    const std::string line = text.substr(at, end - at);
    const size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (word == "unpack" && IsPlainFileName(value)) {
      record.unpack = value;
    } else if (word == "package" && IsPlainFileName(value)) {
      record.package = value;
    } else if (word == "copy" && IsPlainFileName(value)) {
      record.configCopy = value;
    } else if (word.size() == 1 && std::string("DRrN").find(word[0]) != std::string::npos &&
               IsPlanPath(value)) {
      entries.push_back({word[0], value});
    } else if (line.compare(0, sizeof kPlanned - 1, kPlanned) == 0) {
      if (Digest(text.substr(0, at)) != line.substr(sizeof kPlanned - 1)) break;
      record.planned = true;
      record.entries = std::move(entries);
    } else if (line + "\n" == kCommitted && record.planned) {
      record.committed = true;
    } else {
      break;
    }
    at = end + 1;
  }
  return !record.unpack.empty();
}

// Puts back what the plan replaced or added, last step first. Each step
// looks at the disk rather than at a progress record, so that an undo cut
// short and started again ends the same way. False when a file could not
// be put back.
bool Undo(const std::string& appDir, const JournalRecord& record, Retry& retry) {
  const std::string backup = appDir + kBackupFolderName + os::kPathSep;
  bool whole = true;
  for (auto it = record.entries.rbegin(); it != record.entries.rend(); ++it) {
    os::KeepResponsive();
    const std::string installed = appDir + it->path;
    const std::string saved = backup + it->path;
    if (it->kind == 'D') {
      os::DirRemove(installed);  // what the application put there meanwhile stays
    } else if (it->kind == 'N') {
      // A new file goes into the backup folder, where nothing of that name
      // can be, and leaves with it.
      if (FileEntryExists(installed)) {
        os::SetReadOnly(installed, false);
        if (retry.Run([&] { return os::FileRename(installed, saved, false); }) != 0 &&
            !os::FileDelete(installed))
          whole = false;
      }
    } else {
      if (FileEntryExists(saved)) {
        os::SetReadOnly(installed, false);
        whole = retry.Run([&] { return os::FileRename(saved, installed, true); }) == 0 && whole;
      }
      // Cleared before the file went to the backup folder.
      if (it->kind == 'r' && !FileEntryExists(saved)) os::SetReadOnly(installed, true);
    }
  }
  return whole;
}

// Removes everything the installation made, the journal last. False when
// something could not go; the journal then stays, so that the next start
// tries again.
bool CleanUp(const std::string& appDir, const JournalRecord& record) {
  const std::string backup = appDir + kBackupFolderName;
  const std::string unpack = appDir + record.unpack;
  RemoveFolderTree(backup);
  RemoveFolderTree(unpack);
  if (record.committed && !record.package.empty()) os::FileDelete(appDir + record.package);
  if (!record.configCopy.empty()) os::FileDelete(appDir + record.configCopy);
  if (PathExists(backup) || PathExists(unpack)) return false;
  return os::FileDelete(appDir + kJournalName);
}

}  // namespace

Installation::Installation(const std::string& appDir, JournalRecord record)
    : appDir_(appDir), record_(std::move(record)) {}

Installation::~Installation() = default;

bool Installation::Append(const std::string& text) {
  uint32_t written = 0;
  if (os::FileWrite(journal_.Get(), text.data(), static_cast<uint32_t>(text.size()), written) !=
          0 ||
      written != text.size())
    return false;
  written_ += text;
  return os::FileSync(journal_.Get()) == 0;
}

bool Installation::Begin() {
  os::FileHandle raw = nullptr;
  if (os::FileCreateExclusive(appDir_ + kJournalName, raw) != 0) return false;
  journal_ = os::UniqueFile(raw);
  std::string head = kMagic;
  head += "unpack " + record_.unpack + "\n";
  if (!record_.package.empty()) head += "package " + record_.package + "\n";
  if (Append(head) && os::SyncVolume(appDir_)) return true;
  Discard();
  return false;
}

void Installation::Discard() {
  journal_.Close();
  os::FileDelete(appDir_ + kJournalName);
}

bool Installation::Prepare(const std::vector<MergeStep>& steps) {
  std::string plan;
  for (const MergeStep& step : steps) {
    os::KeepResponsive();
    uint32_t attributes = 0;
    const bool exists = os::PathAttributes(appDir_ + step.path, attributes);
    if (step.folder) {
      folders_.push_back(step.path);
      if (!exists) {
        record_.entries.push_back({'D', step.path});
        plan += "D " + step.path + "\n";
      }
      continue;
    }
    char kind = 'N';
    if (exists && (attributes & os::kAttrDirectory)) {
      kind = 'X';  // the move fails there, as a move onto a folder does
    } else if (exists) {
      kind = (attributes & os::kAttrReadOnly) ? 'r' : 'R';
      const std::string installed = appDir_ + step.path;
      if (retry_.Run([&] { return os::FileProbeReplaceable(installed); }, true) != 0) return false;
    }
    kinds_.push_back(kind);
    if (kind != 'X') {
      record_.entries.push_back({kind, step.path});
      plan += std::string(1, kind) + " " + step.path + "\n";
    }
  }
  plan += "copy " + record_.configCopy + "\n";
  // The unpacked files go on the disk before the plan that moves them, so
  // that no power cut after the commit can leave a file empty.
  os::SyncTree(appDir_ + record_.unpack);
  if (!Append(plan + kPlanned + Digest(written_ + plan) + "\n")) return false;
  record_.planned = true;

  const std::string backup = appDir_ + kBackupFolderName;
  RemoveFolderTree(backup);  // never ours while no journal was pending
  if (!os::DirCreate(backup)) return false;
  // Without a copy of the configuration nothing is moved.
  return os::FileCopy(appDir_ + record_.config, appDir_ + record_.configCopy, false);
}

void Installation::CreateFolder(const std::string& path) {
  os::DirCreate(appDir_ + path);
  os::DirCreate(appDir_ + kBackupFolderName + os::kPathSep + path);
}

bool Installation::MoveIn(const std::string& path) {
  if (nextFile_ >= kinds_.size()) return false;
  const char kind = kinds_[nextFile_++];
  const std::string installed = appDir_ + path;
  const std::string unpacked = appDir_ + record_.unpack + os::kPathSep + path;
  if (kind == 'X') return false;
  if (kind != 'N') {
    // Windows' rename cannot replace a read-only file, and the backup has
    // to be deletable after the commit.
    if (kind == 'r') os::SetReadOnly(installed, false);
    const std::string saved = appDir_ + kBackupFolderName + os::kPathSep + path;
    if (retry_.Run([&] { return os::FileRename(installed, saved, false); }, true) != 0)
      return false;
  }
  return retry_.Run([&] { return os::FileRename(unpacked, installed, false); }, true) == 0;
}

bool Installation::UnpackFolderEmptied() {
  const std::string unpack = appDir_ + record_.unpack;
  // The deepest first, as each folder the merge went through is emptied.
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it)
    os::DirRemove(unpack + os::kPathSep + *it);
  return os::DirRemove(unpack);
}

bool Installation::Commit() {
  // The renames must be on the disk before the record that says they are.
  os::SyncVolume(appDir_);
  if (!Append(kCommitted)) return false;
  record_.committed = true;
  journal_.Close();
  return true;
}

void Installation::Finish() { CleanUp(appDir_, record_); }

bool Installation::RollBack() {
  journal_.Close();
  if (record_.planned && !Undo(appDir_, record_, retry_)) return false;
  record_.committed = false;
  return CleanUp(appDir_, record_);
}

bool InstallationPending(const std::string& appDir) { return PathExists(appDir + kJournalName); }

bool RecoverInstallation(const std::string& appDir) {
  const std::string journal = appDir + kJournalName;
  std::string text;
  if (!ReadJournal(journal, text)) return !PathExists(journal);
  JournalRecord record;
  if (!ParseJournal(text, record)) {
    // Cut short before its first line was whole: nothing had started.
    os::FileDelete(journal);
    return !PathExists(journal);
  }
  Retry retry;
  if (!record.committed && record.planned && !Undo(appDir, record, retry)) return false;
  return CleanUp(appDir, record);
}

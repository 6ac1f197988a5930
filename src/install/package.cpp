#include "install/package.h"

#include <climits>
#include <vector>

#include "core/runstate.h"
#include "install/ShellZipU.h"
#include "install/delta.h"
#include "install/merge.h"
#include "install/transaction.h"
#include "os/os.h"
#include "platform/desktop.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/names.h"
#include "platform/progress.h"
#include "version/signing.h"
#include "version/versiontext.h"

uint32_t gRandomSeed = 0;

void SeedRandom(int hour, int minute, int second, int millisecond) {
  gRandomSeed = static_cast<uint32_t>(((hour * 60 + minute) * 60 + second) * 1000 + millisecond);
}

uint32_t RandomDraw(uint32_t range) {
  gRandomSeed = gRandomSeed * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(gRandomSeed) * range) >> 32);
}

namespace {

template <typename Visit>
void ForEachEntry(const std::string& folder, Visit visit) {
  os::FindData entry;
  os::UniqueFind search(os::FindFirst(folder + os::kPathSep + "*.*", entry));
  if (!search) return;
  do {
    if (entry.name == "." || entry.name == "..") continue;
    if (!visit(entry)) break;
  } while (os::FindNext(search.Get(), entry));
}

}  // namespace

namespace {

// Removes what is in folder, a folder of the tree at root. A subfolder far
// down the tree is first moved up into root under a short name, so that
// what it holds comes within reach of the platform's path length however
// deep the tree is.
void RemoveFolderContents(const std::string& folder, const std::string& root, int& hoisted) {
  std::vector<os::FindData> entries;
  ForEachEntry(folder, [&](const os::FindData& e) {
    entries.push_back(e);
    return true;
  });
  for (const os::FindData& e : entries) {
    os::KeepResponsive();
    std::string path = folder + os::kPathSep + e.name;
    bool realFolder =
        (e.attributes & os::kAttrDirectory) && !(e.attributes & os::kAttrReparsePoint);
    // Whatever names arrived (a device name, a trailing dot) go as they are.
    const std::string verbatim = os::VerbatimPath(path);
    if (realFolder) {
      if (path.size() > os::kMaxPathLength / 2) {
        const std::string up = root + os::kPathSep + "~" + std::to_string(++hoisted);
        if (os::FileMove(verbatim, os::VerbatimPath(up))) path = up;
      }
      RemoveFolderContents(path, root, hoisted);
      os::DirRemove(os::VerbatimPath(path));
    } else if (!os::FileDelete(verbatim) &&
               !(os::SetReadOnly(verbatim, false) && os::FileDelete(verbatim))) {
      os::DirRemove(verbatim);  // a link to a folder goes as a folder entry
    }
  }
}

}  // namespace

void RemoveFolderTree(const std::string& folder) {
  int hoisted = 0;
  RemoveFolderContents(folder, folder, hoisted);
  os::DirRemove(os::VerbatimPath(folder));
}

bool TreeHoldsLink(const std::string& folder) {
  bool found = false;
  ForEachEntry(folder, [&](const os::FindData& e) {
    if (e.attributes & os::kAttrReparsePoint)
      found = true;
    else if (e.attributes & os::kAttrDirectory)
      found = TreeHoldsLink(folder + os::kPathSep + e.name);
    return !found;
  });
  return found;
}

bool TreeFitsInto(const std::string& folder, const std::string& target,
                  const std::string& relative) {
  bool fits = true;
  ForEachEntry(folder, [&](const os::FindData& e) {
    const std::string path = relative + e.name;
    if (!IsStorableName(e.name) || target.size() + path.size() > os::kMaxPathLength)
      fits = false;
    else if ((e.attributes & os::kAttrDirectory) && !(e.attributes & os::kAttrReparsePoint))
      fits = TreeFitsInto(folder + os::kPathSep + e.name, target, path + os::kPathSep);
    return fits;
  });
  return fits;
}

bool UpdateFileCheck(FileCheck& check) {
  check = MakeFileCheck(gRun.UpdateSha256, gRun.UpdateSha256Given, gRun.UpdateSize,
                        gRun.UpdateSizeGiven);
  if (!gRun.PubKey.empty()) return check.hasDigest && !check.malformed;
  // An old manifest's notes may hold "size=" by chance: only what is well
  // formed binds the file.
  check.malformed = false;
  return true;
}

namespace {

// In strict mode a package may bring a configuration only if it still
// trusts the key that verified this update: it may add or rotate keys,
// never switch the check off or lock the installation out.
bool KeepsTheVerifyingKey(const std::string& unpack) {
  if (gRun.PubKey.empty()) return true;
  const std::string ini = unpack + os::kPathSep + "pelmatic.ini";
  if (!FileExists(ini)) return true;
  const TrustedKeys brought =
      ParseTrustedKeys(Trim(os::ProfileString("Check", "pub_key", "", ini)));
  for (const os::P256Key& key : brought.keys)
    if (ToHex(key.data(), key.size()) == gRun.VerifiedKey) return true;
  return false;
}

}  // namespace

int32_t CheckUnpackedPackage(const std::string& unpack, const std::string& appDir) {
  // Whatever arrived must stay inside the application folder: a link would
  // let the merge move files to or from anywhere. And each file must be
  // one Windows can store there, or the merge would fail half way (a path
  // too long) or write where no file should go (a device, another stream
  // of the configuration), or over the installation's own journal.
  const std::string inner = unpack + os::kPathSep;
  if (TreeHoldsLink(unpack) || !TreeFitsInto(unpack, appDir) || PathExists(inner + kJournalName) ||
      PathExists(inner + kBackupFolderName))
    return -12;
  return KeepsTheVerifyingKey(unpack) ? 0 : -14;
}

namespace {

// True when the user stopped the update. A package this run downloaded
// goes with it; one that was there before (local mode) stays.
bool Cancelled(const std::string& archive) {
  if (!UpdateCancelled()) return false;
  if (!gRun.LocalMode) os::FileDelete(archive);
  return true;
}

// What a delta gives when it cannot be used before the installation
// starts: the full package is taken instead.
constexpr int32_t kUseFullPackage = INT32_MIN;

// Unpacks the archive (named name in the application folder) and installs
// what it brings; a delta is first turned into what the full package would
// bring.
int32_t InstallArchive(const std::string& name, bool delta) {
  const std::string archive = gRun.AppDir + name;
  const int32_t unusable = delta ? kUseFullPackage : -12;
  os::Sleep(200);
  const std::string folderName = "Temp" + std::to_string(1000 + RandomDraw(8999));
  if (!FileExists(archive)) return -12;
  // An installation that could not be undone is finished first, at the
  // next start: nothing new goes in over it.
  if (InstallationPending(gRun.AppDir)) return -13;
  const std::string unpack = gRun.AppDir + folderName;
  JournalRecord record;
  record.unpack = folderName;
  if (!gRun.LocalMode) record.package = name;
  record.config = ExtractFileName(gRun.IniPath);
  record.configCopy = ChangeFileExt(record.config, ".OLD");
  Installation install(gRun.AppDir, record);
  if (!install.Begin()) return -12;
  if (!os::DirCreate(unpack)) {
    install.Discard();
    return unusable;
  }
  if (!UnzipWithShell(archive, unpack, "")) {
    install.RollBack();
    return Cancelled(archive) ? 0 : unusable;
  }
  os::Sleep(200);

  // Nothing of a delta that does not give exactly the full package's files
  // is installed: a base file changed by hand, a damaged patch.
  if (delta &&
      (!HoldsDelta(unpack) || ApplyDelta(unpack, gRun.AppDir).outcome != DeltaOutcome::kDone)) {
    install.RollBack();
    return Cancelled(archive) ? 0 : unusable;
  }
  const std::string inner = unpack + os::kPathSep;
  if (int32_t refused = CheckUnpackedPackage(unpack, gRun.AppDir)) {
    install.RollBack();
    return delta ? unusable : refused;
  }
  if (Cancelled(archive)) {
    install.RollBack();
    return 0;
  }

  os::FindData self;
  if (os::UniqueFind(os::FindFirst(inner + "PELMATIC.EXE", self)) &&
      !(self.attributes & os::kAttrDirectory))
    os::FileMove(inner + self.name, inner + "NEW_PELMATIC.EXE");

  int32_t counter = 0;
  MergeFolder(inner, counter, install);
  // Cancel ends with the commit: after it the new installation stays.
  DisableCancel();
  if (Cancelled(archive)) {
    install.RollBack();
    return 0;
  }
  if (counter > 0) {
    const bool emptied = install.UnpackFolderEmptied();
    if (install.Commit()) {
      install.Finish();
      os::Sleep(200);
      if (!emptied) ShowNotice("Not able to replace all files from folder: " + folderName);
      os::Sleep(100);
      return counter;
    }
  }
  // Everything goes back as it was; an undo that cannot finish now is
  // finished at the next start.
  install.RollBack();
  return -13;
}

// The delta from the installed version, when the manifest offers one:
// fetched and checked like the package, then installed as the package
// would be. kUseFullPackage for anything that keeps it from being used.
int32_t InstallDelta() {
  const std::string& name = gRun.DeltaFile;
  if (gRun.LocalMode || name.empty() || UpperCase(name) == UpperCase(gRun.UpdateFile))
    return kUseFullPackage;
  const FileCheck check = MakeFileCheck(gRun.DeltaSha256, true, gRun.DeltaSize, true);
  const DownloadResult got = DownloadFile(gRun.UrlFile + name, gRun.AppDir + name, check);
  if (got == DownloadResult::kCancelled) return 0;
  if (got != DownloadResult::kDone) return kUseFullPackage;
  const int32_t code = InstallArchive(name, true);
  // What did not fit goes: a delta is never offered again once it failed.
  if (code == kUseFullPackage) os::FileDelete(gRun.AppDir + name);
  return code;
}

}  // namespace

int32_t InstallPackage() {
  // The name comes from the server and is joined to local folders: only a
  // plain file name may be, or the package could be written or read
  // anywhere on the disk.
  if (!IsPlainFileName(gRun.UpdateFile)) return gRun.LocalMode ? -12 : -11;
  const std::string archive = gRun.AppDir + gRun.UpdateFile;
  FileCheck check;
  if (!UpdateFileCheck(check)) return -14;
  const int32_t viaDelta = InstallDelta();
  if (viaDelta != kUseFullPackage) return viaDelta;
  if (!gRun.DeltaFile.empty() && !gRun.LocalMode) ProgressNote("Full package: ");
  if (!gRun.LocalMode) {
    DownloadResult got = DownloadFile(gRun.UrlFile + gRun.UpdateFile, archive, check);
    if (got == DownloadResult::kCancelled) return 0;
    if (got == DownloadResult::kMismatch) return -14;
    if (got != DownloadResult::kDone) return -11;
  } else if ((check.hasDigest || check.hasSize) && FileExists(archive) &&
             !FileMatches(archive, check)) {
    return -14;  // the package stays where it is
  }
  return InstallArchive(gRun.UpdateFile, false);
}

#include "tool/verify.h"

#include "core/errors.h"
#include "core/runstate.h"
#include "install/ShellZipU.h"
#include "install/merge.h"
#include "install/package.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/http.h"
#include "platform/names.h"
#include "run/pelmaticu.h"
#include "version/config.h"
#include "version/manifest.h"
#include "version/rollout.h"
#include "version/signing.h"

namespace {

// A message box's text as indented lines.
std::string Indented(const std::string& text) {
  std::string out = "    ";
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    out += text[i];
    if (text[i] == '\n') out += "    ";
  }
  return out + "\n";
}

int Refuse(std::ostream& out, const std::string& why) {
  out << "refused: " << why << "\n";
  return 1;
}

// A name in the temporary folder for what verify fetches or unpacks.
std::string TempName(const std::string& name) {
  return os::TempPath() + "pelmatic-verify-" + std::to_string(os::UnixTimeUtc()) + "-" + name;
}

// Unpacks a package as the installation does and checks it by the same
// rules; 0 when it would be installed.
int CheckPackage(std::ostream& out, const std::string& archive) {
  const std::string unpack = TempName("unpack");
  if (!os::DirCreate(unpack)) return Refuse(out, unpack + " cannot be made.");
  int32_t refused =
      UnzipWithShell(archive, unpack, "") ? CheckUnpackedPackage(unpack, gRun.AppDir) : -12;
  size_t files = 0;
  if (refused == 0)
    for (const MergeStep& step : MergeOrder(unpack + os::kPathSep)) files += !step.folder;
  RemoveFolderTree(unpack);
  if (refused == -12)
    return Refuse(out,
                  "the package cannot be unpacked, or holds links, names Windows cannot "
                  "store, paths too long or PelMatic's own names: installed copies fail "
                  "with -12.");
  if (refused == -14)
    return Refuse(out,
                  "the package's pelmatic.ini no longer trusts the key that signed this "
                  "manifest: installed copies fail with -14.");
  if (files == 0) return Refuse(out, "the package holds no file: installed copies fail with -13.");
  out << "package: " << files << " files, each one the application folder can hold\n";
  return 0;
}

// Fetches (or finds) the update file and checks it as the installation
// would; fills what the file turned out to be.
int CheckUpdateFile(std::ostream& out, bool bind) {
  const std::string type = UpperCase(ExtractFileExt(gRun.UpdateFile));
  const char* code = type == ".ZIP" ? "-14" : "-4";
  const auto mismatch = [&](const std::string& where) {
    return Refuse(out, where +
                           " does not match the sha256 or size of the manifest: installed "
                           "copies fail with " +
                           code + ".");
  };
  FileCheck check;
  if (!UpdateFileCheck(check) && bind)
    return Refuse(out, std::string("the manifest gives no well-formed sha256 for the file, which "
                                   "installed copies with a pub_key require: they fail with ") +
                           code + ".");
  if (!bind) check = FileCheck();
  std::string path = gRun.AppDir + gRun.UpdateFile;
  bool downloaded = false;
  if (!gRun.LocalMode) {
    const std::string url = gRun.UrlFile + gRun.UpdateFile;
    path = TempName(gRun.UpdateFile);
    const DownloadResult got = DownloadFile(url, path, check);
    if (got == DownloadResult::kFailed)
      return Refuse(out, url + " could not be downloaded: installed copies fail with -1.");
    if (got == DownloadResult::kMismatch) return mismatch(url);
    downloaded = true;
  } else if (!FileExists(path)) {
    return Refuse(out, path + " is not there.");
  } else if ((check.hasDigest || check.hasSize) && !FileMatches(path, check)) {
    return mismatch(path);
  }
  uint64_t size = 0;
  os::Sha256Digest digest{};
  const bool measured = MeasureFile(path, size, digest);
  if (measured)
    out << "file: " << gRun.UpdateFile << ", " << size << " bytes, sha256 "
        << ToHex(digest.data(), digest.size()) << ": "
        << (check.hasDigest || check.hasSize ? "matches the manifest"
                                             : "not bound by the manifest (no sha256 or size)")
        << "\n";
  const int checked = !measured                ? Refuse(out, path + " cannot be read.")
                      : bind && type == ".ZIP" ? CheckPackage(out, path)
                                               : 0;
  if (downloaded) os::FileDelete(path);
  return checked;
}

// The share of a staged release now, and where this machine stands in it.
void ReportRollout(std::ostream& out) {
  const uint32_t share = gRun.RolloutShare;
  if (share >= kWholeShare) {
    out << "rollout: every installation is offered the release now\n";
    return;
  }
  out << "rollout: " << ShareText(share) << " % of the installations are offered the release now"
      << (share == 0 ? " (rollout=0, or a rollout key that is not well formed)" : "") << "\n";
  const std::string id = os::MachineId();
  if (id.empty()) {
    out << "this machine: no machine id, so it is offered the release\n";
    return;
  }
  const bool offered = RolloutOffers(id, share, gRun.VerFile, gRun.RemoteVer);
  out << "this machine: bucket " << RolloutBucket(id, gRun.VerFile, gRun.RemoteVer) << ", "
      << (offered ? "offered" : "not offered yet: an installed copy here says it is up to date")
      << "\n";
}

int Report(std::ostream& out) {
  const TrustedKeys trusted = ParseTrustedKeys(gRun.PubKey);
  int32_t outcome = -1;
  try {
    outcome = EvaluateManifest();
  } catch (const EPelmaticError& e) {
    return Refuse(out, std::string("the manifest cannot be read: ") + e.what());
  }
  if (!trusted.strict) {
    out << "signature: not checked (pelmatic.ini has no pub_key)\n";
  } else if (!gRun.VerifiedKey.empty()) {
    for (size_t i = 0; i < trusted.keys.size(); ++i)
      if (ToHex(trusted.keys[i].data(), 64) == gRun.VerifiedKey)
        out << "signature: valid, by key " << i + 1 << " of " << trusted.keys.size() << " ("
            << gRun.VerifiedKey.substr(0, 16) << "...)\n";
  }
  if (outcome < 0) {
    out << "an installed copy would say:\n" << Indented(NoInformationText());
    return Refuse(out,
                  gRun.CheckReason.empty() ? "no usable version information." : gRun.CheckReason);
  }
  if (outcome == 0) {
    out << "an installed copy would say:\n" << Indented(UpToDateText());
    return 0;
  }
  out << "version: " << gRun.RemoteVer << " is newer than " << gRun.VerNow << "\n";
  ReportRollout(out);
  if (gRun.UpdateMode == "0") {
    out << "offer: announced only (mode 0); nothing is downloaded\n";
    return 0;
  }
  if (gRun.UpdateFile.empty() || gRun.UpdateMode == "1") {
    out << "offer: the homepage " << gRun.UrlDown << " (mode " << gRun.UpdateMode << ")\n";
    return 0;
  }
  if (!IsPlainFileName(gRun.UpdateFile))
    return Refuse(out, "\"" + gRun.UpdateFile +
                           "\" is not a plain file name: installed copies "
                           "refuse it before anything is downloaded.");
  const std::string type = UpperCase(ExtractFileExt(gRun.UpdateFile));
  if (gRun.UpdateMode == "2") {
    out << "offer: " << gRun.UrlFile + gRun.UpdateFile << " handed to the browser (mode 2)\n";
    return CheckUpdateFile(out, false);
  }
  if (type != ".EXE" && type != ".ZIP")
    return Refuse(out, "\"" + gRun.UpdateFile +
                           "\" is neither .exe nor .zip: installed copies "
                           "ask, then do nothing with it.");
  out << "offer: " << (type == ".ZIP" ? "a ZIP package installed" : "an installer started")
      << " by PelMatic (mode " << gRun.UpdateMode << ")\n";
  const int checked = CheckUpdateFile(out, true);
  if (checked == 0)
    out << "an installed copy would update to " << gRun.RemoteVer << " when the user agrees\n";
  return checked;
}

}  // namespace

int VerifyRelease(const VerifyRequest& request, std::ostream& out) {
  ResetRunState();
  gRun.IniPath = os::FullPath(request.ini);
  gRun.AppDir = ExtractFilePath(gRun.IniPath);
  if (!LoadConfig()) return Refuse(out, gRun.IniPath + " is not there or names no ver_now.");
  if (!request.verNow.empty()) gRun.VerNow = request.verNow;
  if (IsWebUrl(request.source)) {
    gRun.UrlFile = request.source;
    if (gRun.UrlFile.back() != '/') gRun.UrlFile += '/';
  } else if (!request.source.empty()) {
    gRun.LocalMode = true;
    gRun.AppDir = os::FullPath(request.source);
    if (!os::IsPathDelimiter(gRun.AppDir.back())) gRun.AppDir += os::kPathSep;
  }
  os::ComInitialize();  // the shell unpacks packages on Windows, as for the checker
  out << "manifest: " << (gRun.LocalMode ? gRun.AppDir : gRun.UrlFile) + gRun.VerFile + ".ver"
      << "\n";
  const int code = Report(out);
  ResetRunState();
  os::ComUninitialize();
  return code;
}

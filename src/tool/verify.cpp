#include "tool/verify.h"

#include "core/errors.h"
#include "core/runstate.h"
#include "install/ShellZipU.h"
#include "install/delta.h"
#include "install/merge.h"
#include "install/package.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/http.h"
#include "platform/names.h"
#include "run/pelmaticu.h"
#include "run/polite.h"
#include "tool/deltamake.h"
#include "tool/publish.h"
#include "tool/scratch.h"
#include "version/config.h"
#include "version/keys.h"
#include "version/manifest.h"
#include "version/policy.h"
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

// Checks one delta: its digest and length, its index against the new
// package's files (unpacked at package), and, when base names the full
// package of its version, that it rebuilds the new package from it.
int CheckDelta(std::ostream& out, const std::string& version, const std::string& value,
               const DeltaIndex& package, const std::string& base) {
  DeltaLine line;
  const std::string from = "the delta from " + version;
  if (!ParseDeltaLine(value, line))
    return Refuse(out, from + " is not a .zip name, a sha256 and a size: installed copies at " +
                           version + " ignore it.");
  out << "delta from " << version << ": " << line.file << ", " << line.size << " bytes\n";
  const FileCheck check = MakeFileCheck(line.sha256, true, line.size, true);
  std::string path = gRun.AppDir + line.file;
  const bool web = !gRun.LocalMode;
  if (web) path = TempName(line.file);
  const bool got =
      web ? DownloadFile(gRun.UrlFile + line.file, path, check) == DownloadResult::kDone
          : FileMatches(path, check);
  ScratchFolder unpack("verify-delta"), installed("verify-base");
  DeltaIndex index;
  std::string why;
  if (!got)
    why = (web ? gRun.UrlFile : gRun.AppDir) + line.file +
          " is missing or does not match its sha256 and size";
  else if (!unpack.Made() || !UnzipWithShell(path, unpack.Path(), "") || !HoldsDelta(unpack.Path()))
    why = line.file + " cannot be unpacked as a delta";
  else
    why = ReadDeltaIndex(unpack.Path(), index);
  if (web) os::FileDelete(path);
  if (why.empty() && index.files.size() != package.files.size())
    why = "it names " + std::to_string(index.files.size()) + " files, the package holds " +
          std::to_string(package.files.size());
  for (size_t i = 0; why.empty() && i < index.files.size(); ++i) {
    const DeltaFile &a = index.files[i], *b = nullptr;
    for (const DeltaFile& f : package.files)
      if (UpperCase(f.path) == UpperCase(a.path)) b = &f;
    if (!b || b->size != a.size || b->sha256 != a.sha256)
      why = a.path + (b ? " differs from" : " is not in") + " the package";
  }
  if (why.empty() && !base.empty()) {
    // The earlier version as it was installed, and the delta applied to it.
    if (!installed.Made() || !UnzipWithShell(base, installed.Path(), ""))
      return Refuse(out, base + " cannot be unpacked.");
    const DeltaResult applied = ApplyDelta(unpack.Path(), installed.Inner());
    if (applied.outcome != DeltaOutcome::kDone) why = applied.reason;
  }
  if (!why.empty())
    return Refuse(out, from + " does not give the new package's files (" + why +
                           "): installed copies at " + version +
                           " download it, then the full package.");
  out << "  "
      << (base.empty() ? "its index names the package's files (give --base " + version +
                             "=PACKAGE.zip to apply it too)"
                       : "applied to " + base + ": gives the package's files")
      << "\n";
  return 0;
}

// Unpacks a package as the installation does and checks it by the same
// rules, then the manifest's deltas against it; 0 when it would be
// installed.
int CheckPackage(std::ostream& out, const std::string& archive, const std::string& manifest,
                 const std::vector<std::pair<std::string, std::string>>& bases) {
  ScratchFolder unpack("verify-unpack"), none("verify-none");
  if (!unpack.Made() || !none.Made())
    return Refuse(out, "no folder can be made in the temporary folder.");
  int32_t refused = UnzipWithShell(archive, unpack.Path(), "")
                        ? CheckUnpackedPackage(unpack.Path(), gRun.AppDir)
                        : -12;
  size_t files = 0;
  if (refused == 0)
    for (const MergeStep& step : MergeOrder(unpack.Inner())) files += !step.folder;
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
  const std::vector<std::string> deltas = DeltaBases(manifest);
  if (deltas.empty()) return 0;
  // Every file of the package, measured, as a delta's index names them.
  DeltaPlan plan;
  const std::string planned = PlanDelta(none.Inner(), unpack.Inner(), plan);
  if (!planned.empty()) return Refuse(out, planned);
  for (const std::string& version : deltas) {
    std::string base;
    for (const auto& b : bases)
      if (b.first == version) base = b.second;
    const std::string value = KeyValue(manifest, DeltaKey(version));
    if (int code = CheckDelta(out, version, value, plan.index, base)) return code;
  }
  return 0;
}

// Fetches (or finds) the update file and checks it as the installation
// would; fills what the file turned out to be.
int CheckUpdateFile(std::ostream& out, bool bind, const std::string& manifest,
                    const std::vector<std::pair<std::string, std::string>>& bases) {
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
                      : bind && type == ".ZIP" ? CheckPackage(out, path, manifest, bases)
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

int Report(std::ostream& out, const std::vector<std::pair<std::string, std::string>>& bases) {
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
  if (!gRun.CriticalVer.empty())
    out << "critical: for installations below " << gRun.CriticalVer << ", this one "
        << (IsCriticalRelease() ? "among them" : "not") << ": no Skip, no Remind\n";
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
    return CheckUpdateFile(out, false, std::string(), {});
  }
  if (type != ".EXE" && type != ".ZIP")
    return Refuse(out, "\"" + gRun.UpdateFile +
                           "\" is neither .exe nor .zip: installed copies "
                           "ask, then do nothing with it.");
  out << "offer: " << (type == ".ZIP" ? "a ZIP package installed" : "an installer started")
      << " by PelMatic (mode " << gRun.UpdateMode << ")\n";
  if (type == ".EXE")
    out << "unattended runs: "
        << (gRun.SilentArgs.empty() ? "do not start it (no silent_args)"
                                    : "start it with " + gRun.SilentArgs)
        << "\n";
  // The text once more, for the delta lines of every earlier version.
  std::string text;
  const bool read = gRun.LocalMode ? ReadTextFile(gRun.AppDir + gRun.VerFile + ".ver", text)
                                   : FetchText(gRun.UrlFile + gRun.VerFile + ".ver", text);
  const int checked = CheckUpdateFile(out, true, read ? text + "\r" : std::string(), bases);
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
  out << "policy on this machine: " << DescribePolicy(ReadPolicy(gRun.VerFile)) << "\n";
  const int code = Report(out, request.bases);
  ResetRunState();
  os::ComUninitialize();
  return code;
}

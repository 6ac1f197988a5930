// The manifest is whatever the server sends. Each input is written out as a
// local manifest and evaluated for real, in a folder without and in one with
// an uninstaller; the outcome and every field are compared with a plain
// re-reading of the manifest rules. ExtractValue is also compared with its
// contract on the raw bytes for every marker the program looks for.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/runstate.h"
#include "fuzz_util.h"
#include "line_model.h"
#include "platform/names.h"
#include "version/keys.h"
#include "version/manifest.h"
#include "version/versiontext.h"

namespace {

using fuzzutil::Printable;

const char* const kStartMarkers[] = {"ver=", "file=", "mode=", "msg=", "filealt="};
const char* const kEndMarkers[] = {"\r", "<>"};
// What an installed application may claim to be, including nothing at all.
const char* const kInstalledVersions[] = {"2.30", "0.00.0.a", "", "\x7f"};

// The first start marker, then the first end marker at or after its end.
std::string NaiveExtract(const std::string& text, const std::string& start,
                         const std::string& end) {
  if (start.empty() || end.empty()) return std::string();
  for (size_t p = 0; p + start.size() <= text.size(); ++p) {
    if (text.compare(p, start.size(), start) != 0) continue;
    size_t s = p + start.size();
    for (size_t q = s; q + end.size() <= text.size(); ++q)
      if (text.compare(q, end.size(), end) == 0) return text.substr(s, q - s);
    return std::string();
  }
  return std::string();
}

std::string NaiveTrim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

bool IsExeName(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || name.find('/', dot) != std::string::npos) return false;
  std::string ext = name.substr(dot);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return ext == ".EXE";
}

struct Outcome {
  int32_t result;
  std::string remoteVer, updateFile, updateMode, whatsNew;
};

// The manifest rules applied to the text as read from the file.
Outcome Expected(const std::string& text, const std::string& installed, bool hasUninstaller) {
  Outcome o;
  o.remoteVer = NaiveTrim(NaiveExtract(text, "ver=", "\r"));
  // Versions compare byte by byte, unsigned, the longer greater on a common
  // prefix: exactly std::string's ordering.
  o.result = o.remoteVer.empty() ? -1 : (o.remoteVer.compare(installed) > 0 ? 1 : 0);
  o.updateFile = NaiveTrim(NaiveExtract(text, "file=", "\r"));
  o.updateMode = NaiveTrim(NaiveExtract(text, "mode=", "\r"));
  if (o.updateMode.empty()) o.updateMode = "3";
  o.whatsNew = NaiveTrim(NaiveExtract(text, "msg=", "<>"));
  if (o.whatsNew.empty()) o.whatsNew = NaiveTrim(NaiveExtract(text, "msg=", "\r"));
  std::string alternative = NaiveTrim(NaiveExtract(text, "filealt=", "\r"));
  if (hasUninstaller && IsExeName(alternative)) o.updateFile = alternative;
  return o;
}

void Compare(const char* what, const std::string& seen, const std::string& expected) {
  FUZZ_CHECK(seen == expected, "%s: expected \"%s\", got \"%s\"", what, Printable(expected).c_str(),
             Printable(seen).c_str());
}

void CheckTrimmed(const char* what, const std::string& s) {
  FUZZ_CHECK(s.empty() || (static_cast<unsigned char>(s.front()) > 32 &&
                           static_cast<unsigned char>(s.back()) > 32),
             "%s is not trimmed: \"%s\"", what, Printable(s).c_str());
}

// The steps of the evaluation that work on text, through the program's own
// functions, in the program's order, on text that never went through a file.
Outcome TextSteps(const std::string& text, const std::string& installed, bool hasUninstaller) {
  Outcome o;
  o.remoteVer = Trim(ExtractValue(text, "ver=", "\r"));
  o.result = o.remoteVer.empty() ? -1 : (CompareVersions(o.remoteVer, installed) > 0 ? 1 : 0);
  o.updateFile = Trim(ExtractValue(text, "file=", "\r"));
  o.updateMode = Trim(ExtractValue(text, "mode=", "\r"));
  if (o.updateMode.empty()) o.updateMode = "3";
  o.whatsNew = Trim(ExtractValue(text, "msg=", "<>"));
  if (o.whatsNew.empty()) o.whatsNew = Trim(ExtractValue(text, "msg=", "\r"));
  std::string alternative = Trim(ExtractValue(text, "filealt=", "\r"));
  if (hasUninstaller && UpperCase(ExtractFileExt(alternative)) == ".EXE")
    o.updateFile = alternative;
  return o;
}

void CheckOutcome(const char* where, const Outcome& seen, const Outcome& expected) {
  FUZZ_CHECK(seen.result == expected.result, "%s: outcome %d, expected %d", where, seen.result,
             expected.result);
  Compare("remote version", seen.remoteVer, expected.remoteVer);
  Compare("update file", seen.updateFile, expected.updateFile);
  Compare("update mode", seen.updateMode, expected.updateMode);
  Compare("what's new", seen.whatsNew, expected.whatsNew);
  CheckTrimmed("remote version", seen.remoteVer);
  CheckTrimmed("update file", seen.updateFile);
  CheckTrimmed("update mode", seen.updateMode);
  CheckTrimmed("what's new", seen.whatsNew);
}

struct Folders {
  fuzzutil::ScratchDir plain{"manifest"};
  fuzzutil::ScratchDir withUninstaller{"manifest-uninst"};
  Folders() {
    fuzzutil::WriteWhole(withUninstaller / "uninstal.exe", reinterpret_cast<const uint8_t*>("MZ"),
                         2);
    // One write per run serves both folders.
    if (::symlink((plain / "app.ver").c_str(), (withUninstaller / "app.ver").c_str()) != 0)
      fuzzutil::Fail("cannot link the manifest into the second folder");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folders folders;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string installed =
      kInstalledVersions[size % (sizeof kInstalledVersions / sizeof *kInstalledVersions)];

  // ExtractValue against its contract, on the bytes exactly as they came.
  for (const char* start : kStartMarkers)
    for (const char* end : kEndMarkers)
      Compare(start, ExtractValue(raw, start, end), NaiveExtract(raw, start, end));
  // And with markers cut from the input itself: overlapping, at the very
  // start and end, or empty.
  {
    std::string start = raw.substr(0, size < 3 ? size : 3);
    std::string end = raw.substr(size < 2 ? 0 : size - 2);
    Compare("input-made markers", ExtractValue(raw, start, end), NaiveExtract(raw, start, end));
  }
  for (bool hasUninstaller : {false, true}) {
    CheckOutcome("text steps on raw bytes", TextSteps(raw + '\r', installed, hasUninstaller),
                 Expected(raw + '\r', installed, hasUninstaller));
  }

  // The real evaluation of a local manifest.
  fuzzutil::WriteWhole(folders.plain / "app.ver", data, size);
  const std::string asRead = fuzzmodel::ManifestText(fuzzmodel::TextFileLines(data, size) + '\r');
  for (bool hasUninstaller : {false, true}) {
    ResetRunState();
    gRun.LocalMode = true;
    gRun.AppDir = hasUninstaller ? folders.withUninstaller.Path() : folders.plain.Path();
    gRun.VerFile = "app";
    gRun.VerNow = installed;
    Outcome seen;
    seen.result = EvaluateManifest();
    seen.remoteVer = gRun.RemoteVer;
    seen.updateFile = gRun.UpdateFile;
    seen.updateMode = gRun.UpdateMode;
    seen.whatsNew = gRun.WhatsNew;
    CheckOutcome(hasUninstaller ? "manifest beside an uninstaller" : "manifest", seen,
                 Expected(asRead, installed, hasUninstaller));
    // Nothing after Ctrl-Z and no lone CR can reach a one-line value.
    FUZZ_CHECK(seen.remoteVer.find('\r') == std::string::npos &&
                   seen.updateFile.find('\r') == std::string::npos &&
                   seen.updateMode.find('\r') == std::string::npos,
               "a one-line value holds a CR");
    FUZZ_CHECK(seen.remoteVer.find('\x1a') == std::string::npos &&
                   seen.whatsNew.find('\x1a') == std::string::npos,
               "text after Ctrl-Z was read");
  }
  return 0;
}

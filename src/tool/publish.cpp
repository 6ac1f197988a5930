#include "tool/publish.h"

#include <cctype>

#include "os/utf16.h"
#include "platform/hex.h"
#include "version/keys.h"
#include "version/manifest.h"
#include "version/rollout.h"
#include "version/signing.h"
#include "version/versiontext.h"

namespace {

// Every key an installed copy looks for, found anywhere in the text.
const char* const kKeys[] = {
    "ver=",           "file=",          "mode=",      "msg=",         "filealt=", "product=",
    "sha256=",        "size=",          "sha256alt=", "sizealt=",     "expires=", "rollout=",
    "rollout_start=", "rollout_hours=", "critical=",  "silent_args=", "sig="};

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Digit runs and the texts between them.
std::vector<std::string> Runs(const std::string& s) {
  std::vector<std::string> runs;
  for (size_t i = 0; i < s.size();) {
    const bool digit = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
    size_t j = i;
    while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) != 0) == digit) ++j;
    runs.push_back(s.substr(i, j - i));
    i = j;
  }
  return runs;
}

bool IsDigits(const std::string& s) {
  return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0]));
}

// The line of text that holds position at, and its number from 1.
std::string LineAt(const std::string& text, size_t at, size_t& number) {
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  number = 1;
  for (size_t i = 0; i < start; ++i) number += text[i] == '\n';
  size_t end = text.find_first_of("\r\n", at);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The text after a leading UTF-8 byte order mark: where lines begin.
std::string WithoutMark(const std::string& text) {
  return text.compare(0, 3, kUtf8Mark) == 0 ? text.substr(3) : text;
}

bool IsAscii(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

std::string RefuseValue(const std::string& what, const std::string& value, bool notes) {
  for (const char* key : kKeys)
    if (value.find(key) != std::string::npos)
      return what + " holds " + Quoted(key) +
             ", which an installed copy would read as that key of the manifest. Reword it "
             "(for example \"" +
             std::string(key, std::string(key).size() - 1) + " =\").";
  if (notes && value.find("<>") != std::string::npos)
    return what +
           " holds \"<>\", which ends the notes: an installed copy would show only the "
           "text before it. Take it out.";
  for (unsigned char c : value)
    if (c < 32 && !(notes && (c == '\r' || c == '\n' || c == '\t')))
      return what + " holds a control character or a line end; it must be one line of text.";
  return std::string();
}

std::string RefuseVersion(const std::string& ver, const std::string& previous) {
  if (CompareVersions(ver, previous) > 0) return std::string();
  std::string refusal = ver + " is not newer than " + previous +
                        " for PelMatic: versions are compared byte by byte, not as numbers.";
  // When the versions differ only in how many digits their numbers have,
  // padding them shows the way out.
  const std::vector<std::string> a = Runs(ver), b = Runs(previous);
  bool alike = a.size() == b.size();
  std::string paddedVer, paddedPrevious;
  for (size_t i = 0; alike && i < a.size(); ++i) {
    if (IsDigits(a[i]) != IsDigits(b[i]) || (!IsDigits(a[i]) && a[i] != b[i])) {
      alike = false;
      break;
    }
    const size_t width = std::max(a[i].size(), b[i].size());
    paddedVer += std::string(width - a[i].size(), IsDigits(a[i]) ? '0' : ' ') + a[i];
    paddedPrevious += std::string(width - b[i].size(), IsDigits(b[i]) ? '0' : ' ') + b[i];
  }
  if (alike && CompareVersions(paddedVer, paddedPrevious) > 0)
    return refusal + " Keep the same number of digits (" + paddedPrevious + ", then " + paddedVer +
           ").";
  return refusal + " Choose a version greater byte by byte.";
}

std::string ComposeManifest(const Release& r) {
  std::string text;
  auto line = [&](const char* key, const std::string& value) {
    if (!value.empty()) text += std::string(key) + value + "\r\n";
  };
  line("ver=", r.ver);
  line("file=", r.file);
  line("filealt=", r.filealt);
  line("mode=", r.mode);
  if (!r.notes.empty()) {
    std::string notes;
    for (char c : r.notes) {
      if (c == '\r') continue;
      if (c == '\n') notes += '\r';
      notes += c;
    }
    text += "msg=" + Trim(notes) + "<>\r\n";
  }
  line("product=", r.product);
  line("sha256=", r.sha256);
  line("size=", r.size);
  line("sha256alt=", r.sha256alt);
  line("sizealt=", r.sizealt);
  line("expires=", r.expires);
  line("rollout=", r.rollout);
  line("rollout_start=", r.rolloutStart);
  line("rollout_hours=", r.rolloutHours);
  line("critical=", r.critical);
  line("silent_args=", r.silentArgs);
  for (const auto& [base, value] : r.deltas) text += DeltaKey(base) + "=" + value + "\r\n";
  // A text in UTF-8 beyond ASCII (notes in any script, a name such as
  // Справка.zip) is marked as such; without the mark installed copies
  // would read it in their system code page.
  if (!IsAscii(text) && CleanUtf8(text) == text) text = kUtf8Mark + text;
  return text;
}

std::vector<std::string> DeltaBases(const std::string& manifest) {
  const std::string text = WithoutMark(manifest);
  std::vector<std::string> bases;
  const std::string prefix = DeltaKey("");
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
    const size_t eq = text.find('=', at), end = text.find('\r', at);
    if ((at > 0 && text[at - 1] != '\n') || eq == std::string::npos || eq > end) continue;
    bases.push_back(text.substr(at + prefix.size(), eq - at - prefix.size()));
  }
  return bases;
}

std::string RefuseManifest(const std::string& manifest) {
  const std::string text = WithoutMark(manifest);
  size_t number = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool lfAlone = text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
    const bool crAlone = text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n');
    if (lfAlone || crAlone || text[i] == '\0') {
      const std::string line = LineAt(text, i == 0 ? 0 : i - 1, number);
      return "line " + std::to_string(number) + " (" + Quoted(line) + ") " +
             (text[i] == '\0' ? std::string("holds a zero byte")
                              : std::string("does not end with CR LF")) +
             ": installed copies read a value up to CR and may read this one differently. Save "
             "the manifest with CR LF line ends.";
    }
  }
  // The notes run from msg= to "<>", or to the line end without one.
  size_t notesBegin = text.find("msg="), notesEnd = std::string::npos;
  if (notesBegin != std::string::npos) {
    notesEnd = text.find("<>", notesBegin);
    if (notesEnd == std::string::npos) notesEnd = text.find('\r', notesBegin);
  }
  for (const char* key : kKeys) {
    const size_t at = text.find(key);
    if (at == std::string::npos) continue;
    const std::string line = LineAt(text, at, number);
    const std::string where = "line " + std::to_string(number) + ": " + Quoted(line);
    const std::string name(key, std::string(key).size() - 1);
    if (std::string(key) == "sig=")
      return "a signature line stands before the end (" + where +
             "); everything after it would not be signed. Remove it.";
    if (at > 0 && text[at - 1] != '\n')
      return "the first " + Quoted(key) + " is inside " + where +
             ": installed copies find keys "
             "anywhere in the text and would read " +
             name +
             " from there. Rename that key or "
             "move the " +
             name + "= line above it.";
    if (notesBegin != std::string::npos && at > notesBegin && at < notesEnd)
      return "the first " + Quoted(key) + " is inside the notes (" + where +
             "): installed copies would read " + name +
             " from there. Reword the notes or move "
             "the " +
             name + "= line above msg=.";
  }
  if (text.find("ver=") == std::string::npos) return "the manifest has no ver= line.";
  const size_t productAt = text.find("product=");
  if (productAt == std::string::npos)
    return "the manifest has no product= line: installed copies with a pub_key refuse it "
           "(\"The version information is for another product.\"). Add product= with the "
           "ver_file of pelmatic.ini.";
  const size_t expiresAt = text.find("expires=");
  if (expiresAt != std::string::npos) {
    int64_t seconds = 0;
    const size_t end = text.find('\r', expiresAt);
    if (!ParseExpires(Trim(text.substr(expiresAt + 8, end - expiresAt - 8)), seconds))
      return "expires= is not a moment in the form YYYY-MM-DDTHH:MM:SSZ (UTC): installed "
             "copies would take the manifest as expired.";
  }
  // Each delta line is where an installed copy of its base version finds
  // its key first, and says what that copy can take.
  for (const std::string& base : DeltaBases(text)) {
    const std::string key = DeltaKey(base);
    const size_t at = text.find(key + "=");
    const std::string where = "line " + std::to_string((LineAt(text, at, number), number)) + ": " +
                              Quoted(LineAt(text, at, number));
    DeltaLine delta;
    if (at > 0 && text[at - 1] != '\n')
      return "the first " + Quoted(key + "=") + " is inside " + where +
             ": installed copies would read the delta from there.";
    if (!ParseDeltaLine(KeyValue(text + "\r", key), delta))
      return where +
             " is not a delta line installed copies take: the name of a .zip, its sha256 "
             "(64 hex digits) and its size, separated by blanks.";
  }
  if (ReadRolloutPlan(text).malformed)
    return "the rollout keys are not well formed: rollout= must be 0 to 100 with at most two "
           "decimals, and a ramp needs both rollout_start= (YYYY-MM-DDTHH:MM:SSZ, UTC) and "
           "rollout_hours= (1 to 8760) beside it. Installed copies would offer the release to "
           "no machine.";
  return std::string();
}

std::string SignedPart(const std::string& raw) {
  size_t length = raw.size();
  os::P256Signature ignored{};
  FindSignatureLine(raw, length, ignored);
  std::string text = raw.substr(0, length);
  if (text.empty() || text.back() == '\n') return text;
  return text + (text.back() == '\r' ? "\n" : "\r\n");
}

bool AppendSignature(const std::string& text, const SigningKey& key, std::string& out) {
  os::Sha256Digest digest{};
  os::P256Signature signature{};
  if (!Sha256Of(text, digest) || !os::P256Sign(key.secret, key.key, digest, signature))
    return false;
  out = text + "sig=" + ToHex(signature.data(), signature.size()) + "\r\n";
  return true;
}

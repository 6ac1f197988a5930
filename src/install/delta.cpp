#include "install/delta.h"

#include <set>

#include "install/package.h"
#include "install/patch.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/names.h"
#include "platform/progress.h"

const char kDeltaFolder[] = "@delta";

namespace {

const char kVersionLine[] = "pelmatic-delta 1";
const char kIndexName[] = "index";

// The first field of rest, up to a blank, taken off it.
bool TakeField(std::string& rest, std::string& field) {
  const size_t blank = rest.find(' ');
  if (blank == 0 || blank == std::string::npos) return false;
  field = rest.substr(0, blank);
  rest.erase(0, blank + 1);
  return true;
}

bool TakeNumber(std::string& rest, uint64_t& value) {
  std::string field;
  return TakeField(rest, field) && (field.size() == 1 || field[0] != '0') &&
         ParseDecimal(field, 19, value);
}

bool TakeDigest(std::string& rest, os::Sha256Digest& digest) {
  std::string field;
  return TakeField(rest, field) && ParseHex(field, digest.data(), digest.size());
}

// A relative path below the application folder that every build can hold
// and that cannot reach outside it.
bool IsSafePath(const std::string& path) {
  if (path.empty() || path.size() > kDeltaMaxPath) return false;
  for (size_t start = 0;;) {
    const size_t end = path.find('/', start);
    const std::string name = path.substr(start, end - start);
    if (!IsStorableName(name)) return false;
    if (start == 0 && UpperCase(name) == UpperCase(kDeltaFolder)) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string Native(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '/') c = os::kPathSep;
  return native;
}

const char* Kind(DeltaArrival arrival) {
  return arrival == DeltaArrival::kSame    ? "same"
         : arrival == DeltaArrival::kWhole ? "whole"
                                           : "patch";
}

// The base line before a patch and the file line itself.
std::string ParseRecord(const std::string& line, DeltaFile& file, bool& base) {
  std::string rest = line, kind;
  if (!TakeField(rest, kind) || (kind != "base" && kind != "file")) return "not a record";
  base = kind == "base";
  if (!TakeNumber(rest, base ? file.baseSize : file.size) ||
      !TakeDigest(rest, base ? file.baseSha256 : file.sha256))
    return "a size or digest that is not well formed";
  if (!base) {
    if (!TakeField(rest, kind)) return "no arrival";
    uint64_t n = 0;
    if (kind == "same") {
      file.arrival = DeltaArrival::kSame;
    } else if (kind == "whole") {
      file.arrival = DeltaArrival::kWhole;
    } else if (kind == "patch" && TakeNumber(rest, n) && n <= kDeltaMaxFiles) {
      file.arrival = DeltaArrival::kPatch;
      file.patch = static_cast<uint32_t>(n);
    } else {
      return "an arrival that is not same, whole or patch N";
    }
  }
  if (!IsSafePath(rest)) return "a path that is not a safe relative path";
  file.path = rest;
  return "";
}

// Each path once, letter case aside, and none below another file.
std::string CheckPaths(const DeltaIndex& index) {
  std::set<std::string> seen;
  for (const DeltaFile& f : index.files)
    if (!seen.insert(UpperCase(f.path)).second) return f.path + " is named twice";
  for (const DeltaFile& f : index.files)
    for (size_t slash = f.path.find('/'); slash != std::string::npos;
         slash = f.path.find('/', slash + 1))
      if (seen.count(UpperCase(f.path.substr(0, slash))))
        return f.path + " lies below a file of the package";
  return "";
}

// The file at path, at most limit bytes; false when it cannot be read or
// is longer.
bool ReadBounded(const std::string& path, uint64_t limit, std::string& bytes) {
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return false;
  os::UniqueFile file(h);
  char buffer[1 << 14];
  for (;;) {
    uint32_t got = 0;
    if (os::FileRead(file.Get(), buffer, sizeof buffer, got) != 0) return false;
    if (got == 0) return true;
    bytes.append(buffer, got);
    if (bytes.size() > limit) return false;
  }
}

// Every file below folder (which ends with the separator) as a path with
// '/'; links and anything else that is no folder count as files.
void ListFiles(const std::string& folder, const std::string& relative, std::set<std::string>& out) {
  std::vector<std::string> folders;
  os::FindData e;
  if (os::UniqueFind search{os::FindFirst(folder + "*.*", e)}) {
    do {
      if (e.name == "." || e.name == "..") continue;
      if ((e.attributes & os::kAttrDirectory) && !(e.attributes & os::kAttrReparsePoint))
        folders.push_back(e.name);
      else
        out.insert(relative + e.name);
    } while (os::FindNext(search.Get(), e));
  }
  for (const std::string& name : folders)
    ListFiles(folder + name + os::kPathSep, relative + name + "/", out);
}

bool Matches(const std::string& path, uint64_t size, const os::Sha256Digest& digest) {
  FileCheck check;
  check.hasSize = check.hasDigest = true;
  check.size = size;
  check.digest = digest;
  return FileMatches(path, check);
}

DeltaResult Failed(const std::string& reason) { return {DeltaOutcome::kFailed, reason}; }

// The folders of path below inner, made where missing.
bool MakeFolders(const std::string& inner, const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = inner + Native(path.substr(0, slash));
    if (!PathExists(folder) && !os::DirCreate(folder)) return false;
  }
  return true;
}

}  // namespace

std::string DeltaPatchName(uint32_t n) {
  return std::string(kDeltaFolder) + "/" + std::to_string(n) + ".patch";
}

std::string ParseDeltaIndex(const std::string& text, DeltaIndex& index) {
  index.files.clear();
  bool ended = false, pendingBase = false;
  DeltaFile file;
  uint32_t patches = 0;
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t lf = text.find('\n', at);
    if (lf == std::string::npos) return "the last line has no line end";
    const std::string line = text.substr(at, lf - at);
    at = lf + 1;
    const std::string where = "line " + std::to_string(++number) + ": ";
    if (ended) return where + "text after the end";
    if (number == 1) {
      if (line != kVersionLine) return where + "not an index this version reads";
      continue;
    }
    if (line == "end") {
      if (pendingBase) return where + "a base that no patch reads";
      ended = true;
      continue;
    }
    if (!pendingBase) file = DeltaFile();
    const std::string basePath = file.path;
    bool base = false;
    const std::string why = ParseRecord(line, file, base);
    if (!why.empty()) return where + why;
    if (pendingBase && (base || file.arrival != DeltaArrival::kPatch || file.path != basePath))
      return where + "a base that the next line does not patch";
    if (!pendingBase && !base && file.arrival == DeltaArrival::kPatch)
      return where + "a patch without its base";
    pendingBase = base;
    if (base) continue;
    if (file.arrival == DeltaArrival::kPatch &&
        (file.patch != ++patches || file.size > kPatchMaxFileSize ||
         file.baseSize > kPatchMaxFileSize))
      return where + "a patch out of order or over the size a patch may have";
    if (index.files.size() == kDeltaMaxFiles) return where + "too many files";
    index.files.push_back(file);
  }
  if (!ended) return "no end line";
  return CheckPaths(index);
}

std::string ComposeDeltaIndex(const DeltaIndex& index) {
  std::string text = std::string(kVersionLine) + "\n";
  for (const DeltaFile& f : index.files) {
    if (f.arrival == DeltaArrival::kPatch)
      text += "base " + std::to_string(f.baseSize) + " " + ToHex(f.baseSha256.data(), 32) + " " +
              f.path + "\n";
    text += "file " + std::to_string(f.size) + " " + ToHex(f.sha256.data(), 32) + " " +
            Kind(f.arrival) +
            (f.arrival == DeltaArrival::kPatch ? " " + std::to_string(f.patch) : "") + " " +
            f.path + "\n";
  }
  return text + "end\n";
}

bool HoldsDelta(const std::string& unpack) {
  return FileExists(unpack + os::kPathSep + kDeltaFolder + os::kPathSep + kIndexName);
}

DeltaResult ApplyDelta(const std::string& unpack, const std::string& appDir) {
  const std::string inner = unpack + os::kPathSep;
  const std::string own = inner + kDeltaFolder + os::kPathSep;
  std::string text;
  DeltaIndex index;
  if (!ReadBounded(own + kIndexName, kDeltaIndexMaxBytes, text))
    return Failed("the delta's index cannot be read");
  const std::string why = ParseDeltaIndex(text, index);
  if (!why.empty()) return Failed("the delta's index is refused: " + why);

  // The delta brings what its index names, nothing more and nothing less.
  std::set<std::string> expected{std::string(kDeltaFolder) + "/" + kIndexName}, found;
  for (const DeltaFile& f : index.files) {
    if (f.arrival == DeltaArrival::kWhole) expected.insert(f.path);
    if (f.arrival == DeltaArrival::kPatch) expected.insert(DeltaPatchName(f.patch));
  }
  ListFiles(inner, "", found);
  for (const std::string& path : found)
    if (!expected.count(path)) return Failed("the delta holds " + path + ", which its index lacks");
  for (const std::string& path : expected)
    if (!found.count(path)) return Failed("the delta lacks " + path);

  // What stays as installed, and what the patches read, must be exactly
  // what the previous version installed: a file changed by hand would
  // leave a result that no full package brings.
  for (const DeltaFile& f : index.files) {
    if (UpdateCancelled()) return {DeltaOutcome::kCancelled, ""};
    const bool same = f.arrival == DeltaArrival::kSame;
    const std::string installed = appDir + Native(f.path);
    if (same && !Matches(installed, f.size, f.sha256))
      return Failed(f.path + " is not as the previous version installed it");
    if (f.arrival == DeltaArrival::kPatch && !Matches(installed, f.baseSize, f.baseSha256))
      return Failed(f.path + " is not as the previous version installed it");
    if (f.arrival == DeltaArrival::kWhole && !Matches(inner + Native(f.path), f.size, f.sha256))
      return Failed(f.path + " in the delta differs from its index");
  }
  for (const DeltaFile& f : index.files) {
    if (f.arrival != DeltaArrival::kPatch) continue;
    if (!MakeFolders(inner, f.path)) return Failed(f.path + ": its folder cannot be made");
    os::Sha256Digest built{};
    const PatchResult r =
        ApplyPatch(appDir + Native(f.path), own + std::to_string(f.patch) + ".patch",
                   inner + Native(f.path), f.size, &built);
    if (r == PatchResult::kCancelled) return {DeltaOutcome::kCancelled, ""};
    if (r == PatchResult::kMalformed) return Failed(f.path + ": its patch is damaged");
    if (r == PatchResult::kFailed) return Failed(f.path + " cannot be built");
    if (built != f.sha256) return Failed(f.path + " was built otherwise than its index says");
  }
  RemoveFolderTree(inner + kDeltaFolder);
  if (PathExists(inner + kDeltaFolder)) return Failed("the delta's own folder cannot be removed");
  return {DeltaOutcome::kDone, ""};
}

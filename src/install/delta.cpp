#include "install/delta.h"

#include <cstdlib>
#include <string_view>

#include "install/package.h"
#include "install/patch.h"
#include "platform/download.h"
#include "platform/files.h"
#include "platform/hex.h"
#include "platform/names.h"
#include "platform/progress.h"

const char kDeltaFolder[] = "@delta";

namespace {

const char kIndexName[] = "index";

// The field of line that starts at at and ends with a blank; at moves past
// the blank.
std::string_view Field(std::string_view line, size_t& at) {
  const size_t blank = line.find(' ', at);
  if (blank == std::string_view::npos) return {};
  const std::string_view field = line.substr(at, blank - at);
  at = blank + 1;
  return field;
}

bool Number(std::string_view line, size_t& at, uint64_t& value) {
  const std::string_view field = Field(line, at);
  return ParseDecimal(field, 19, value) && (field.size() == 1 || field[0] != '0');
}

bool Digest(std::string_view line, size_t& at, os::Sha256Digest& digest) {
  return ParseHex(Field(line, at), digest.data(), digest.size());
}

// A relative path below the application folder that every build can hold
// and that cannot reach outside it.
bool IsSafePath(std::string_view path) {
  if (path.empty() || path.size() > kDeltaMaxPath) return false;
  for (size_t start = 0;;) {
    const size_t end = path.find('/', start);
    const std::string name(path.substr(start, end - start));
    if (!IsStorableName(name) || (start == 0 && UpperCase(name) == "@DELTA")) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// The file at path (with '/') below folder, which ends with the separator.
std::string In(const std::string& folder, const std::string& path) {
  std::string native = folder + path;
  for (size_t i = folder.size(); i < native.size(); ++i)
    if (native[i] == '/') native[i] = os::kPathSep;
  return native;
}

std::string PatchIn(const std::string& own, uint32_t n) {
  return own + std::to_string(n) + ".patch";
}

// One file's line into file; true when it is well formed.
bool ParseRecord(std::string_view line, DeltaFile& file) {
  size_t at = 0;
  const std::string_view kind = Field(line, at);
  uint64_t n = 0;
  file.arrival = kind == "same"    ? DeltaArrival::kSame
                 : kind == "whole" ? DeltaArrival::kWhole
                                   : DeltaArrival::kPatch;
  if ((file.arrival == DeltaArrival::kPatch && kind != "patch") || !Number(line, at, file.size) ||
      !Digest(line, at, file.sha256))
    return false;
  if (file.arrival == DeltaArrival::kPatch) {
    // The patch and the installed file it reads: sizes a patch may have.
    if (!Number(line, at, n) || n > kDeltaMaxFiles || !Number(line, at, file.baseSize) ||
        !Digest(line, at, file.baseSha256) || file.size > kPatchMaxFileSize ||
        file.baseSize > kPatchMaxFileSize)
      return false;
    file.patch = static_cast<uint32_t>(n);
  }
  const std::string_view path = line.substr(at);
  file.path.assign(path.data(), path.size());
  return IsSafePath(path);
}

// The lines of the index into index; why they are refused, null when they
// are taken. number is the line last read.
const char* ReadLines(std::string_view text, DeltaIndex& index, size_t& number) {
  uint32_t patches = 0;
  for (size_t at = 0;;) {
    ++number;
    const size_t lf = text.find('\n', at);
    if (lf == std::string_view::npos) return "no line end";
    const std::string_view line = text.substr(at, lf - at);
    at = lf + 1;
    if (number == 1) {
      if (line != kDeltaIndexFirstLine) return "not an index this version reads";
    } else if (line == "end") {
      return at == text.size() ? nullptr : "text after the end";
    } else {
      if (index.files.size() == kDeltaMaxFiles) return "too many files";
      index.files.emplace_back();
      DeltaFile& file = index.files.back();
      if (!ParseRecord(line, file)) return "not a record of a safe relative path";
      if (file.arrival == DeltaArrival::kPatch && file.patch != ++patches)
        return "a patch out of order";
    }
  }
}

// For the C library's sort and search, which keep the checker small: the
// paths are reached through pointers, since a string may not be moved
// byte by byte.
int ComparePaths(const void* a, const void* b) {
  return (*static_cast<const std::string* const*>(a))
      ->compare(**static_cast<const std::string* const*>(b));
}

// Each path once, letter case aside, and none below another file.
std::string CheckPaths(const DeltaIndex& index) {
  std::vector<std::string> paths;
  for (const DeltaFile& f : index.files) paths.push_back(UpperCase(f.path));
  std::vector<const std::string*> order;
  for (const std::string& path : paths) order.push_back(&path);
  std::qsort(order.data(), order.size(), sizeof order[0], ComparePaths);
  for (size_t i = 0; i < order.size(); ++i) {
    const std::string& path = *order[i];
    if (i > 0 && path == *order[i - 1]) return path + " is named twice";
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      const std::string folder = path.substr(0, slash);
      const std::string* key = &folder;
      if (std::bsearch(&key, order.data(), order.size(), sizeof order[0], ComparePaths))
        return path + " lies below a file of the package";
    }
  }
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

// The files below folder (which ends with the separator); links and
// anything else that is no folder count as files.
size_t CountFiles(const std::string& folder) {
  size_t files = 0;
  std::vector<std::string> folders;
  os::FindData e;
  if (os::UniqueFind search{os::FindFirst(folder + "*.*", e)}) {
    do {
      if ((e.attributes & os::kAttrDirectory) && !(e.attributes & os::kAttrReparsePoint)) {
        if (e.name != "." && e.name != "..") folders.push_back(e.name);
      } else {
        ++files;
      }
    } while (os::FindNext(search.Get(), e));
  }
  for (const std::string& name : folders) files += CountFiles(folder + name + os::kPathSep);
  return files;
}

bool Matches(const std::string& path, uint64_t size, const os::Sha256Digest& digest) {
  FileCheck check;
  check.hasSize = check.hasDigest = true;
  check.size = size;
  check.digest = digest;
  return FileMatches(path, check);
}

DeltaResult Failed(const std::string& reason, const char* what = "") {
  return {DeltaOutcome::kFailed, reason + what};
}

// The folders of path below inner, made where missing.
bool MakeFolders(const std::string& inner, const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = In(inner, path.substr(0, slash));
    if (!PathExists(folder) && !os::DirCreate(folder)) return false;
  }
  return true;
}

}  // namespace

std::string ParseDeltaIndex(const std::string& text, DeltaIndex& index) {
  index.files.clear();
  size_t number = 0;
  if (const char* why = ReadLines(text, index, number))
    return "line " + std::to_string(number) + ": " + why;
  return CheckPaths(index);
}

bool HoldsDelta(const std::string& unpack) {
  return FileExists(unpack + os::kPathSep + kDeltaFolder + os::kPathSep + kIndexName);
}

std::string ReadDeltaIndex(const std::string& unpack, DeltaIndex& index) {
  std::string text;
  if (!ReadBounded(unpack + os::kPathSep + kDeltaFolder + os::kPathSep + kIndexName,
                   kDeltaIndexMaxBytes, text))
    return "the delta's index cannot be read";
  const std::string why = ParseDeltaIndex(text, index);
  return why.empty() ? why : "the delta's index is refused: " + why;
}

DeltaResult ApplyDelta(const std::string& unpack, const std::string& appDir) {
  const std::string inner = unpack + os::kPathSep;
  const std::string own = inner + kDeltaFolder + os::kPathSep;
  DeltaIndex index;
  const std::string why = ReadDeltaIndex(unpack, index);
  if (!why.empty()) return Failed(why);

  // What stays as installed, and what the patches read, must be exactly
  // what the previous version installed: a file changed by hand would
  // leave a result that no full package brings. What the delta carries
  // must be what its index says, and nothing else may come with it.
  size_t carried = 1;  // the index
  for (const DeltaFile& f : index.files) {
    if (UpdateCancelled()) return {DeltaOutcome::kCancelled, ""};
    const bool whole = f.arrival == DeltaArrival::kWhole;
    const bool patch = f.arrival == DeltaArrival::kPatch;
    if (!Matches(In(whole ? inner : appDir, f.path), patch ? f.baseSize : f.size,
                 patch ? f.baseSha256 : f.sha256))
      return Failed(f.path, whole ? " in the delta differs from its index"
                                  : " is not as the previous version installed it");
    if (patch && !FileExists(PatchIn(own, f.patch)))
      return Failed(f.path, ": its patch is missing from the delta");
    carried += whole || patch;
  }
  if (CountFiles(inner) != carried) return Failed("the delta holds files its index does not name");

  for (const DeltaFile& f : index.files) {
    if (f.arrival != DeltaArrival::kPatch) continue;
    os::Sha256Digest built{};
    const PatchResult r = MakeFolders(inner, f.path)
                              ? ApplyPatch(In(appDir, f.path), PatchIn(own, f.patch),
                                           In(inner, f.path), f.size, &built)
                              : PatchResult::kFailed;
    if (r == PatchResult::kCancelled) return {DeltaOutcome::kCancelled, ""};
    if (r == PatchResult::kFailed) return Failed(f.path, " cannot be built");
    if (r != PatchResult::kDone || built != f.sha256)
      return Failed(f.path, ": its patch does not rebuild it");
  }
  RemoveFolderTree(inner + kDeltaFolder);
  if (PathExists(inner + kDeltaFolder)) return Failed("the delta's own folder cannot be removed");
  return {DeltaOutcome::kDone, ""};
}

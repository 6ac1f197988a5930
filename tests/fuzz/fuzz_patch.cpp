// Patches and delta indexes come from the vendor's server, so they are any
// bytes. Each input is read twice:
//  - as a delta index: one taken must hold only safe relative paths and
//    read back the same once composed again;
//  - as one byte n, n bytes of an old file, then a patch, applied as the
//    checker applies it (expecting the size its header names) and set
//    beside a plain in-memory reading of the format written out anew: both
//    take the same patches and give the same bytes, and a patch not taken
//    leaves no file behind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_util.h"
#include "install/delta.h"
#include "install/patch.h"

namespace {

uint64_t Get64(const std::string& s, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The format by its rules, on whole strings.
bool Model(const std::string& old, const std::string& p, uint64_t expected, std::string& out) {
  if (p.size() < 48 || p.compare(0, 8, std::string("PMPT\x01\0\0\0", 8)) != 0) return false;
  const uint64_t oldSize = Get64(p, 8), newSize = Get64(p, 16), c = Get64(p, 24), d = Get64(p, 32),
                 e = Get64(p, 40), cap = 64 << 20;
  if (oldSize > cap || newSize > cap || c > cap * 25 || d > cap || e > cap) return false;
  if (newSize != expected || oldSize != old.size() || c % 24 != 0 || c / 24 > newSize + 1 ||
      d + e != newSize || 48 + c + d + e != p.size())
    return false;
  size_t oldPos = 0, diffAt = 48 + c, extraAt = diffAt + d;
  out.clear();
  for (uint64_t t = 0; t < c / 24; ++t) {
    const uint64_t add = Get64(p, 48 + 24 * t), insert = Get64(p, 56 + 24 * t),
                   seek = Get64(p, 64 + 24 * t);
    if (t > 0 && add == 0 && insert == 0) return false;
    if (add > old.size() - oldPos || add > newSize - out.size() || add > 48 + c + d - diffAt)
      return false;
    for (uint64_t i = 0; i < add; ++i) out += static_cast<char>(p[diffAt++] + old[oldPos++]);
    if (insert > newSize - out.size() || insert > p.size() - extraAt) return false;
    out += p.substr(extraAt, insert);
    extraAt += insert;
    const uint64_t distance = seek & ~(1ull << 63);
    const bool back = seek >> 63;
    if (back ? distance == 0 || distance > oldPos : distance > old.size() - oldPos) return false;
    oldPos = back ? oldPos - distance : oldPos + distance;
  }
  return out.size() == newSize;
}

bool SafePath(const std::string& path) {
  if (path.empty() || path.size() > 259 || path.front() == '/' || path.back() == '/') return false;
  if (path.find_first_of("\\:") != std::string::npos || path.find("//") != std::string::npos)
    return false;
  if (path == ".." || path.rfind("../", 0) == 0 || path.find("/../") != std::string::npos ||
      (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0))
    return false;
  std::string top = path.substr(0, path.find('/'));
  for (char& ch : top) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
  return top != "@DELTA";
}

void CheckIndex(const std::string& text) {
  DeltaIndex index;
  if (!ParseDeltaIndex(text, index).empty()) return;
  for (const DeltaFile& f : index.files)
    FUZZ_CHECK(SafePath(f.path), "unsafe path taken: %s", fuzzutil::Printable(f.path).c_str());
  const std::string composed = ComposeDeltaIndex(index);
  DeltaIndex again;
  const std::string why = ParseDeltaIndex(composed, again);
  FUZZ_CHECK(why.empty() && ComposeDeltaIndex(again) == composed,
             "a taken index does not read back once composed: %s", why.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzutil::ScratchDir box("patch");
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckIndex(input);

  if (input.empty()) return 0;
  const size_t oldLength = std::min<size_t>(static_cast<uint8_t>(input[0]), input.size() - 1);
  const std::string old = input.substr(1, oldLength), patch = input.substr(1 + oldLength);
  const uint64_t expected = patch.size() >= 24 ? Get64(patch, 16) : 0;
  fuzzutil::WriteWhole(box / "old", reinterpret_cast<const uint8_t*>(old.data()), old.size());
  fuzzutil::WriteWhole(box / "patch", reinterpret_cast<const uint8_t*>(patch.data()), patch.size());
  std::string modelled;
  const bool taken = Model(old, patch, expected, modelled);
  const PatchResult r = ApplyPatch(box / "old", box / "patch", box / "new", expected);
  FUZZ_CHECK(r == PatchResult::kDone || r == PatchResult::kMalformed, "result %d",
             static_cast<int>(r));
  FUZZ_CHECK(taken == (r == PatchResult::kDone), "the checker %s a patch the rules %s",
             taken ? "refused" : "took", taken ? "take" : "refuse");
  if (r != PatchResult::kDone) {
    FUZZ_CHECK(fuzzutil::ListFolder(box.Path()).size() == 2, "a refused patch left a file");
    return 0;
  }
  FILE* f = std::fopen((box / "new").c_str(), "rb");
  FUZZ_CHECK(f != nullptr, "no file from a patch taken");
  std::string built(modelled.size() + 1, '\0');
  const size_t got = std::fread(&built[0], 1, built.size(), f);
  std::fclose(f);
  built.resize(got);
  FUZZ_CHECK(built == modelled, "the checker built other bytes than the rules give");
  std::remove((box / "new").c_str());
  return 0;
}

// The writing side of the patch and delta index formats, beside the
// readers in patch.cpp and delta.cpp but in a file of its own, so that only
// the tool links it and the checker stays small.
#include <string>

#include "install/delta.h"
#include "install/patch.h"
#include "platform/hex.h"

namespace {

void Put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

const char* Kind(DeltaArrival arrival) {
  return arrival == DeltaArrival::kSame    ? "same"
         : arrival == DeltaArrival::kWhole ? "whole"
                                           : "patch";
}

}  // namespace

std::string PatchHeaderBytes(const PatchHeader& header) {
  std::string out(kPatchMagic, 8);
  for (uint64_t v : {header.oldSize, header.newSize, header.controlLength, header.diffLength,
                     header.extraLength})
    Put64(out, v);
  return out;
}

std::string PatchTripleBytes(uint64_t add, uint64_t insert, int64_t seek) {
  std::string out;
  Put64(out, add);
  Put64(out, insert);
  Put64(out, seek < 0 ? (0 - static_cast<uint64_t>(seek)) | kPatchSeekBack
                      : static_cast<uint64_t>(seek));
  return out;
}

std::string DeltaPatchName(uint32_t n) {
  return std::string(kDeltaFolder) + "/" + std::to_string(n) + ".patch";
}

std::string ComposeDeltaIndex(const DeltaIndex& index) {
  std::string text = std::string(kDeltaIndexFirstLine) + "\n";
  for (const DeltaFile& f : index.files) {
    text += Kind(f.arrival) + (" " + std::to_string(f.size)) + " " + ToHex(f.sha256.data(), 32);
    if (f.arrival == DeltaArrival::kPatch)
      text += " " + std::to_string(f.patch) + " " + std::to_string(f.baseSize) + " " +
              ToHex(f.baseSha256.data(), 32);
    text += " " + f.path + "\n";
  }
  return text + "end\n";
}

// Binary patches: how one version of a file is rebuilt from the installed
// one, so that an update sends only what changed.
//
// A patch file is a header and three sections, one after the other, each
// kept apart so that the package's deflate compresses it well:
//
//   header   48 bytes: "PMPT", the format version (1) as 4 bytes, then
//            old size, new size and the lengths of the control, diff and
//            extra sections, 8 bytes each; every number little-endian.
//   control  triples of 8-byte numbers: add, insert, seek. add bytes of
//            the new file are old bytes at the current old position plus
//            as many bytes of the diff section (byte-wise, modulo 256);
//            the old position moves past them. Then insert bytes come as
//            they are from the extra section. Then the old position moves
//            by seek, a sign (top bit, set for backwards) and a magnitude;
//            it must stay within the old file. Only the first triple may
//            move no byte at all (it may only seek).
//   diff     the differences of the add runs, in order.
//   extra    the inserted bytes, in order.
//
// The new file is exactly the bytes the triples give, in order; nothing of
// any section may be left over, and nothing may follow the extra section.
#pragma once

#include <cstdint>
#include <string>

#include "os/os.h"

// The largest old or new file a patch may describe: the old file is held
// in memory while the new one is built.
constexpr uint64_t kPatchMaxFileSize = 64ull << 20;
constexpr size_t kPatchHeaderSize = 48;
constexpr size_t kPatchTripleSize = 24;
// The first 8 bytes: the magic, then the version as a 4-byte number.
constexpr char kPatchMagic[] = "PMPT\x01\0\0";
// The top bit of a seek: backwards.
constexpr uint64_t kPatchSeekBack = 1ull << 63;

struct PatchHeader {
  uint64_t oldSize = 0, newSize = 0;
  uint64_t controlLength = 0, diffLength = 0, extraLength = 0;
};

// The header's bytes for the maker of patches (in install/deltawrite.cpp,
// which only the tool links).
std::string PatchHeaderBytes(const PatchHeader& header);
// One control triple's bytes.
std::string PatchTripleBytes(uint64_t add, uint64_t insert, int64_t seek);
// Reads the header from its 48 bytes; false when it is not one this reader
// takes: another magic or version, sizes above kPatchMaxFileSize, section
// lengths that cannot describe a new file of its size.
bool ParsePatchHeader(const uint8_t* bytes, PatchHeader& header);

enum class PatchResult {
  kDone,
  kMalformed,  // the patch is damaged or was not made for this old file and size
  kFailed,     // a file could not be read or written
  kCancelled,  // the user stopped the update
};

// Builds the file at outPath (created anew) from the file at oldPath and
// the patch at patchPath, which must make a file of expectedSize bytes.
// Memory: the old file and a constant; the patch is read and the new file
// written piece by piece. On anything but kDone no file is left at outPath.
// newDigest, when given, receives the SHA-256 of what was written.
PatchResult ApplyPatch(const std::string& oldPath, const std::string& patchPath,
                       const std::string& outPath, uint64_t expectedSize,
                       os::Sha256Digest* newDigest = nullptr);

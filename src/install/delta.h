// Delta packages: a ZIP that brings only what changed between two full
// packages. Files that differ come whole, at their own path, or as a patch
// against the installed file of the same path (@delta/N.patch); files
// that are the same in both stay as installed. The index @delta/index names
// every file of the new package, so that the result can be checked before
// anything is installed.
//
// The index is text, LF line ends, one record a line, numbers in decimal
// without leading zeros, digests as 64 hexadecimal digits:
//
//   pelmatic-delta 1
//   same SIZE SHA256 PATH            in the application folder already
//   whole SIZE SHA256 PATH           carried whole at PATH
//   patch SIZE SHA256 N BASESIZE BASESHA256 PATH
//                                    built from @delta/N.patch (N = 1, 2, ...
//                                    in order) and the installed file at PATH,
//                                    which must have BASESIZE and BASESHA256
//   end
//
// PATH is relative with '/' between names Windows can store, at most
// kDeltaMaxPath bytes, each file once (letter case aside) and never below
// another file or in @delta.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"

// The folder of the delta's own files, a name no package may hold.
extern const char kDeltaFolder[];
constexpr char kDeltaIndexFirstLine[] = "pelmatic-delta 1";
constexpr size_t kDeltaMaxFiles = 65536;
constexpr size_t kDeltaMaxPath = 259;
constexpr uint64_t kDeltaIndexMaxBytes = 16 << 20;

enum class DeltaArrival { kSame, kWhole, kPatch };

struct DeltaFile {
  std::string path;  // relative, '/' between names
  uint64_t size = 0;
  os::Sha256Digest sha256{};
  DeltaArrival arrival = DeltaArrival::kSame;
  // For a patch: its number and the installed file it reads.
  uint32_t patch = 0;
  uint64_t baseSize = 0;
  os::Sha256Digest baseSha256{};
};

struct DeltaIndex {
  std::vector<DeltaFile> files;
};

// Reads the index; empty when it is taken, else why not (with the line).
std::string ParseDeltaIndex(const std::string& text, DeltaIndex& index);
// The index's text, as ParseDeltaIndex reads it back (in
// install/deltawrite.cpp, which only the tool links).
std::string ComposeDeltaIndex(const DeltaIndex& index);
// Where patch n lies in the delta, with '/' (for the tool, beside
// ComposeDeltaIndex).
std::string DeltaPatchName(uint32_t n);

enum class DeltaOutcome { kDone, kFailed, kCancelled };
struct DeltaResult {
  DeltaOutcome outcome = DeltaOutcome::kFailed;
  std::string reason;  // for a failure: a short text for the progress line and the log
};

// True when the unpacked package at unpack (no trailing separator) is a
// delta: it holds @delta/index.
bool HoldsDelta(const std::string& unpack);

// Reads the index of the unpacked delta at unpack (no trailing separator);
// empty when it is taken, else why not.
std::string ReadDeltaIndex(const std::string& unpack, DeltaIndex& index);

// Turns an unpacked delta at unpack (no trailing separator) into what the
// full package would bring, less the files that stay as installed: checks
// every installed file the delta relies on in appDir (ending with the
// separator), builds each patched file into unpack and checks it and every
// file carried whole against the index, then removes @delta. On a failure
// or Cancel unpack is left as it is, for the caller to remove.
DeltaResult ApplyDelta(const std::string& unpack, const std::string& appDir);

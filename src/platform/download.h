#pragma once

#include <cstdint>
#include <string>

#include "os/os.h"

// What the manifest binds an update file to. A file is checked against a
// digest and a length that are given; malformed says that one of them was
// given but not well formed (strict mode then counts it as a mismatch).
struct FileCheck {
  bool hasDigest = false;
  os::Sha256Digest digest{};
  bool hasSize = false;
  uint64_t size = 0;
  bool malformed = false;
};
// From the manifest's texts: 64 hex digits, a decimal length.
FileCheck MakeFileCheck(const std::string& sha256, bool sha256Given, const std::string& size,
                        bool sizeGiven);

enum class DownloadResult { kDone, kFailed, kMismatch, kCancelled };

// Saves the body of url into a file created anew at path, checked against
// check while it is written: kFailed when the URL did not open (an error
// status included) or the transfer broke off, kMismatch when the announced
// or received length or the digest differ from check, kCancelled when the
// user stopped the update; no file is left behind then. The progress of
// the update's download phase follows the bytes written. Errors creating
// or writing the file raise EInOutError.
DownloadResult DownloadFile(const std::string& url, const std::string& path,
                            const FileCheck& check = FileCheck());

// The length and SHA-256 of the file at path; false when it cannot be read.
bool MeasureFile(const std::string& path, uint64_t& size, os::Sha256Digest& digest);
// True when the file at path has the length and digest check gives.
bool FileMatches(const std::string& path, const FileCheck& check);

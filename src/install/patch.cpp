#include "install/patch.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/progress.h"

namespace {

const uint8_t kMagic[4] = {'P', 'M', 'P', 'T'};
constexpr uint32_t kFormatVersion = 1;
constexpr uint64_t kSeekBack = 1ull << 63;
constexpr size_t kChunk = 1 << 15;
// How much new file is written between two looks at the window and Cancel.
constexpr uint64_t kTickBytes = 1 << 20;

uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void Put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

// One section of the patch file, through a handle of its own, so that the
// three sections are read side by side without going back in the file.
class Section {
 public:
  Section() : buffer_(kChunk) {}

  // Opens the patch and reads past the skip bytes before the section.
  PatchResult Open(const std::string& path, uint64_t skip, uint64_t length) {
    os::FileHandle h = nullptr;
    if (os::FileOpenRead(path, h) != 0) return PatchResult::kFailed;
    file_.Reset(h);
    while (skip > 0) {
      if (!Fill()) return problem_;
      const size_t step = static_cast<size_t>(std::min<uint64_t>(skip, got_ - at_));
      at_ += step;
      skip -= step;
    }
    left_ = length;
    return PatchResult::kDone;
  }

  // The next size bytes of the section; false when it has fewer (problem()
  // tells why).
  bool Read(uint8_t* out, size_t size) {
    if (size > left_) {
      problem_ = PatchResult::kMalformed;
      return false;
    }
    left_ -= size;
    while (size > 0) {
      if (!Fill()) return false;
      const size_t step = std::min(size, got_ - at_);
      std::memcpy(out, buffer_.data() + at_, step);
      at_ += step;
      out += step;
      size -= step;
    }
    return true;
  }

  uint64_t Left() const { return left_; }
  // True when nothing follows the bytes read so far in the file.
  bool AtFileEnd() { return at_ == got_ && !Fill() && problem_ == PatchResult::kMalformed; }
  PatchResult problem() const { return problem_; }

 private:
  // At least one unread byte in the buffer; false at the end of the file
  // (the patch is shorter than its header says) or on a read error.
  bool Fill() {
    if (at_ < got_) return true;
    uint32_t got = 0;
    if (os::FileRead(file_.Get(), buffer_.data(), kChunk, got) != 0) {
      problem_ = PatchResult::kFailed;
      return false;
    }
    at_ = 0;
    got_ = got;
    if (got == 0) problem_ = PatchResult::kMalformed;
    return got > 0;
  }

  os::UniqueFile file_;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0, got_ = 0;
  uint64_t left_ = 0;
  PatchResult problem_ = PatchResult::kDone;
};

// The new file, written in pieces and hashed on the way.
class Output {
 public:
  explicit Output(bool hash) : hash_(hash ? os::Sha256Open() : nullptr) {
    buffer_.reserve(2 * kChunk);
  }

  bool Create(const std::string& path) {
    os::FileHandle h = nullptr;
    if (os::FileCreateExclusive(path, h) != 0) return false;
    file_.Reset(h);
    return true;
  }

  bool Put(const uint8_t* data, size_t size) {
    if (hash_) os::Sha256Update(hash_.Get(), data, size);
    buffer_.insert(buffer_.end(), data, data + size);
    return buffer_.size() < kChunk || Flush();
  }

  bool Finish(os::Sha256Digest* digest) {
    if (!Flush() || file_.Close() != 0) return false;
    return !digest || (hash_ && os::Sha256Finish(hash_.Get(), *digest));
  }

 private:
  bool Flush() {
    uint32_t written = 0;
    const uint32_t size = static_cast<uint32_t>(buffer_.size());
    const bool ok = size == 0 || (os::FileWrite(file_.Get(), buffer_.data(), size, written) == 0 &&
                                  written == size);
    buffer_.clear();
    return ok;
  }

  os::UniqueFile file_;
  os::UniqueHash hash_;
  std::vector<uint8_t> buffer_;
};

// The whole old file, which must be exactly size bytes long. Room for the
// size the header claims is only taken, not touched, before the bytes come.
PatchResult ReadOld(const std::string& path, uint64_t size, std::vector<uint8_t>& old) {
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return PatchResult::kFailed;
  os::UniqueFile file(h);
  std::vector<uint8_t> chunk(kChunk);
  old.clear();
  old.reserve(static_cast<size_t>(size));
  for (;;) {
    uint32_t got = 0;
    if (os::FileRead(file.Get(), chunk.data(), kChunk, got) != 0) return PatchResult::kFailed;
    if (got == 0) break;
    if (got > size - old.size()) return PatchResult::kMalformed;
    old.insert(old.end(), chunk.begin(), chunk.begin() + got);
    os::KeepResponsive();
  }
  return old.size() == size ? PatchResult::kDone : PatchResult::kMalformed;
}

PatchResult Build(const std::string& oldPath, const std::string& patchPath, Output& out,
                  uint64_t expectedSize) {
  Section head;
  uint8_t raw[kPatchHeaderSize];
  PatchHeader h;
  if (PatchResult r = head.Open(patchPath, 0, kPatchHeaderSize); r != PatchResult::kDone) return r;
  if (!head.Read(raw, sizeof raw)) return head.problem();
  if (!ParsePatchHeader(raw, h) || h.newSize != expectedSize) return PatchResult::kMalformed;

  Section control, diff, extra;
  const uint64_t diffAt = kPatchHeaderSize + h.controlLength;
  for (PatchResult r : {control.Open(patchPath, kPatchHeaderSize, h.controlLength),
                        diff.Open(patchPath, diffAt, h.diffLength),
                        extra.Open(patchPath, diffAt + h.diffLength, h.extraLength)})
    if (r != PatchResult::kDone) return r;
  std::vector<uint8_t> old;
  if (PatchResult r = ReadOld(oldPath, h.oldSize, old); r != PatchResult::kDone) return r;

  std::vector<uint8_t> chunk(kChunk);
  uint64_t oldPos = 0, newPos = 0, sinceTick = 0;
  const uint64_t triples = h.controlLength / kPatchTripleSize;
  for (uint64_t t = 0; t < triples; ++t) {
    uint8_t triple[kPatchTripleSize];
    if (!control.Read(triple, sizeof triple)) return control.problem();
    uint64_t add = Get64(triple), insert = Get64(triple + 8);
    const uint64_t seek = Get64(triple + 16);
    if ((add == 0 && insert == 0 && t != 0) || add > h.newSize - newPos ||
        add > h.oldSize - oldPos || insert > h.newSize - newPos - add)
      return PatchResult::kMalformed;
    while (add > 0 || insert > 0) {
      const bool adding = add > 0;
      uint64_t& run = adding ? add : insert;
      const size_t step = static_cast<size_t>(std::min<uint64_t>(run, kChunk));
      Section& from = adding ? diff : extra;
      if (!from.Read(chunk.data(), step)) return from.problem();
      if (adding) {
        for (size_t i = 0; i < step; ++i)
          chunk[i] = static_cast<uint8_t>(chunk[i] + old[oldPos + i]);
        oldPos += step;
      }
      if (!out.Put(chunk.data(), step)) return PatchResult::kFailed;
      run -= step;
      newPos += step;
      if ((sinceTick += step) >= kTickBytes) {
        sinceTick = 0;
        os::KeepResponsive();
        if (UpdateCancelled()) return PatchResult::kCancelled;
      }
    }
    const uint64_t distance = seek & ~kSeekBack;
    if (seek & kSeekBack) {
      // A backward move of zero has two spellings: only one is taken.
      if (distance == 0 || distance > oldPos) return PatchResult::kMalformed;
      oldPos -= distance;
    } else {
      if (distance > h.oldSize - oldPos) return PatchResult::kMalformed;
      oldPos += distance;
    }
  }
  if (newPos != h.newSize || diff.Left() != 0 || extra.Left() != 0 || !extra.AtFileEnd())
    return extra.problem() == PatchResult::kFailed ? PatchResult::kFailed : PatchResult::kMalformed;
  return UpdateCancelled() ? PatchResult::kCancelled : PatchResult::kDone;
}

}  // namespace

std::string PatchHeaderBytes(const PatchHeader& header) {
  std::string out(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
  for (int i = 0; i < 4; ++i) out += static_cast<char>(kFormatVersion >> (8 * i) & 0xFF);
  for (uint64_t v : {header.oldSize, header.newSize, header.controlLength, header.diffLength,
                     header.extraLength})
    Put64(out, v);
  return out;
}

std::string PatchTripleBytes(uint64_t add, uint64_t insert, int64_t seek) {
  std::string out;
  Put64(out, add);
  Put64(out, insert);
  Put64(out,
        seek < 0 ? (0 - static_cast<uint64_t>(seek)) | kSeekBack : static_cast<uint64_t>(seek));
  return out;
}

bool ParsePatchHeader(const uint8_t* bytes, PatchHeader& h) {
  if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  if (bytes[4] != kFormatVersion || bytes[5] != 0 || bytes[6] != 0 || bytes[7] != 0) return false;
  h.oldSize = Get64(bytes + 8);
  h.newSize = Get64(bytes + 16);
  h.controlLength = Get64(bytes + 24);
  h.diffLength = Get64(bytes + 32);
  h.extraLength = Get64(bytes + 40);
  // Every new byte comes from the diff or the extra section, and every
  // triple but the first moves at least one.
  return h.oldSize <= kPatchMaxFileSize && h.newSize <= kPatchMaxFileSize &&
         h.controlLength % kPatchTripleSize == 0 &&
         h.controlLength / kPatchTripleSize <= h.newSize + 1 && h.diffLength <= h.newSize &&
         h.extraLength <= h.newSize - h.diffLength && h.diffLength + h.extraLength == h.newSize;
}

PatchResult ApplyPatch(const std::string& oldPath, const std::string& patchPath,
                       const std::string& outPath, uint64_t expectedSize,
                       os::Sha256Digest* newDigest) {
  if (UpdateCancelled()) return PatchResult::kCancelled;
  PatchResult result = PatchResult::kFailed;
  {
    Output out(newDigest != nullptr);
    if (!out.Create(outPath)) return PatchResult::kFailed;
    result = Build(oldPath, patchPath, out, expectedSize);
    if (result == PatchResult::kDone && !out.Finish(newDigest)) result = PatchResult::kFailed;
  }
  // The output's handle is closed here, before the file goes.
  if (result != PatchResult::kDone) os::FileDelete(outPath);
  return result;
}

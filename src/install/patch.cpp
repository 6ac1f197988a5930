#include "install/patch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/progress.h"

namespace {

constexpr uint32_t kChunk = 1 << 15;
// How much new file is written between two looks at the window and Cancel.
constexpr uint32_t kTickBytes = 1 << 20;

uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

// One section of the patch file, through a handle of its own, so that the
// three sections are read side by side without going back in the file.
struct Section {
  os::UniqueFile file;
  uint64_t left = 0;  // bytes of the section not read yet
  uint32_t at = 0, got = 0;
  PatchResult problem = PatchResult::kMalformed;  // why the last read stopped
  uint8_t buffer[kChunk];

  // The next size bytes of the file into out, or past them when out is
  // null; false when the file ends first or cannot be read.
  bool Take(uint8_t* out, uint64_t size) {
    while (size > 0) {
      if (at == got) {
        uint32_t n = 0;
        const bool failed = os::FileRead(file.Get(), buffer, kChunk, n) != 0;
        if (failed || n == 0) {
          problem = failed ? PatchResult::kFailed : PatchResult::kMalformed;
          return false;
        }
        at = 0;
        got = n;
      }
      const uint32_t step = static_cast<uint32_t>(std::min<uint64_t>(size, got - at));
      if (out) {
        std::memcpy(out, buffer + at, step);
        out += step;
      }
      at += step;
      size -= step;
    }
    return true;
  }

  // The next size bytes of the section; false when it has fewer.
  bool Read(uint8_t* out, uint64_t size) {
    problem = PatchResult::kMalformed;
    if (size > left) return false;
    left -= size;
    return Take(out, size);
  }

  PatchResult Open(const std::string& path, uint64_t skip) {
    os::FileHandle h = nullptr;
    if (os::FileOpenRead(path, h) != 0) return PatchResult::kFailed;
    file.Reset(h);
    return Take(nullptr, skip) ? PatchResult::kDone : problem;
  }
};

// The new file, written in pieces and hashed on the way.
struct Output {
  os::UniqueFile file;
  os::UniqueHash hash;
  uint32_t used = 0;
  uint8_t buffer[kChunk];

  bool Flush() {
    uint32_t written = 0;
    const bool ok =
        used == 0 || (os::FileWrite(file.Get(), buffer, used, written) == 0 && written == used);
    used = 0;
    return ok;
  }

  bool Put(const uint8_t* data, uint32_t size) {
    if (hash) os::Sha256Update(hash.Get(), data, size);
    while (size > 0) {
      const uint32_t step = std::min(size, kChunk - used);
      std::memcpy(buffer + used, data, step);
      used += step;
      data += step;
      size -= step;
      if (used == kChunk && !Flush()) return false;
    }
    return true;
  }
};

// What one application of a patch works with, taken from the heap at once.
struct Work {
  Section control, diff, extra;
  Output out;
  uint8_t chunk[kChunk];
  std::unique_ptr<uint8_t[]> old;
};

// The whole old file, which must be exactly size bytes long. Room for the
// size the header claims is only taken, not touched, before the bytes come.
PatchResult ReadOld(const std::string& path, uint32_t size, Work& w) {
  os::FileHandle h = nullptr;
  if (os::FileOpenRead(path, h) != 0) return PatchResult::kFailed;
  os::UniqueFile file(h);
  w.old.reset(new uint8_t[size]);
  uint32_t have = 0, got = 0;
  for (; have < size; have += got) {
    if (os::FileRead(file.Get(), w.old.get() + have, std::min(size - have, kChunk), got) != 0)
      return PatchResult::kFailed;
    if (got == 0) return PatchResult::kMalformed;
    os::KeepResponsive();
  }
  if (os::FileRead(file.Get(), w.chunk, 1, got) != 0) return PatchResult::kFailed;
  return got == 0 ? PatchResult::kDone : PatchResult::kMalformed;
}

PatchResult Build(const std::string& oldPath, const std::string& patchPath, Work& w,
                  uint64_t expectedSize) {
  // The control section follows the header on the same handle.
  uint8_t raw[kPatchHeaderSize];
  PatchHeader h;
  PatchResult r = w.control.Open(patchPath, 0);
  if (r != PatchResult::kDone) return r;
  w.control.left = kPatchHeaderSize;
  if (!w.control.Read(raw, sizeof raw)) return w.control.problem;
  if (!ParsePatchHeader(raw, h) || h.newSize != expectedSize) return PatchResult::kMalformed;
  w.control.left = h.controlLength;
  const uint64_t diffAt = kPatchHeaderSize + h.controlLength;
  if ((r = w.diff.Open(patchPath, diffAt)) != PatchResult::kDone ||
      (r = w.extra.Open(patchPath, diffAt + h.diffLength)) != PatchResult::kDone ||
      (r = ReadOld(oldPath, static_cast<uint32_t>(h.oldSize), w)) != PatchResult::kDone)
    return r;
  w.diff.left = h.diffLength;
  w.extra.left = h.extraLength;

  // The header keeps every size within 32 bits.
  const uint32_t oldSize = static_cast<uint32_t>(h.oldSize);
  const uint32_t newSize = static_cast<uint32_t>(h.newSize);
  uint32_t oldPos = 0, newPos = 0, sinceTick = 0;
  const uint64_t triples = h.controlLength / kPatchTripleSize;
  for (uint64_t t = 0; t < triples; ++t) {
    uint8_t triple[kPatchTripleSize];
    if (!w.control.Read(triple, sizeof triple)) return w.control.problem;
    const uint64_t add64 = Get64(triple), insert64 = Get64(triple + 8), seek = Get64(triple + 16);
    if ((add64 == 0 && insert64 == 0 && t != 0) || add64 > newSize - newPos ||
        add64 > oldSize - oldPos || insert64 > newSize - newPos - add64)
      return PatchResult::kMalformed;
    uint32_t add = static_cast<uint32_t>(add64), insert = static_cast<uint32_t>(insert64);
    while (add > 0 || insert > 0) {
      const bool adding = add > 0;
      uint32_t& run = adding ? add : insert;
      const uint32_t step = std::min(run, kChunk);
      Section& from = adding ? w.diff : w.extra;
      if (!from.Read(w.chunk, step)) return from.problem;
      for (uint32_t i = 0; adding && i < step; ++i) w.chunk[i] += w.old[oldPos + i];
      if (adding) oldPos += step;
      if (!w.out.Put(w.chunk, step)) return PatchResult::kFailed;
      run -= step;
      newPos += step;
      if ((sinceTick += step) >= kTickBytes) {
        sinceTick = 0;
        os::KeepResponsive();
        if (UpdateCancelled()) return PatchResult::kCancelled;
      }
    }
    const uint64_t distance = seek & ~kPatchSeekBack;
    const bool back = (seek & kPatchSeekBack) != 0;
    // A backward move of zero has two spellings: only one is taken.
    if (back ? distance == 0 || distance > oldPos : distance > oldSize - oldPos)
      return PatchResult::kMalformed;
    oldPos =
        back ? oldPos - static_cast<uint32_t>(distance) : oldPos + static_cast<uint32_t>(distance);
  }
  // Nothing of any section may be left, nor anything after the last.
  uint8_t more;
  if (newPos != newSize || w.diff.left != 0 || w.extra.left != 0 || w.extra.Take(&more, 1))
    return PatchResult::kMalformed;
  if (w.extra.problem == PatchResult::kFailed) return PatchResult::kFailed;
  return UpdateCancelled() ? PatchResult::kCancelled : PatchResult::kDone;
}

}  // namespace

bool ParsePatchHeader(const uint8_t* bytes, PatchHeader& h) {
  if (std::memcmp(bytes, kPatchMagic, 8) != 0) return false;
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
  std::unique_ptr<Work> w(new Work);
  os::FileHandle h = nullptr;
  if (os::FileCreateExclusive(outPath, h) != 0) return PatchResult::kFailed;
  w->out.file.Reset(h);
  if (newDigest) w->out.hash.Reset(os::Sha256Open());
  PatchResult result = Build(oldPath, patchPath, *w, expectedSize);
  if (result == PatchResult::kDone &&
      (!w->out.Flush() || w->out.file.Close() != 0 ||
       (newDigest && !(w->out.hash && os::Sha256Finish(w->out.hash.Get(), *newDigest)))))
    result = PatchResult::kFailed;
  // The output's handle is closed before the file goes.
  w.reset();
  if (result != PatchResult::kDone) os::FileDelete(outPath);
  return result;
}

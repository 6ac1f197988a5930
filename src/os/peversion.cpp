#include "os/peversion.h"

#include <cstring>

namespace {

// Every read goes through this view, which refuses anything past its end.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Has(size_t at, size_t n) const { return at <= size_ && n <= size_ - at; }
  bool U16(size_t at, uint16_t& v) const {
    if (!Has(at, 2)) return false;
    v = static_cast<uint16_t>(data_[at] | (data_[at + 1] << 8));
    return true;
  }
  bool U32(size_t at, uint32_t& v) const {
    uint16_t lo, hi;
    if (!U16(at, lo) || !U16(at + 2, hi)) return false;
    v = lo | (uint32_t{hi} << 16);
    return true;
  }
  bool U64(size_t at, uint64_t& v) const {
    uint32_t lo, hi;
    if (!U32(at, lo) || !U32(at + 4, hi)) return false;
    v = lo | (uint64_t{hi} << 32);
    return true;
  }
  Bytes Sub(size_t at, size_t n) const {
    if (!Has(at, n)) return Bytes(data_, 0);
    return Bytes(data_ + at, n);
  }
  size_t Size() const { return size_; }
  const uint8_t* Data() const { return data_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// VS_VERSIONINFO: header, the UTF-16 key "VS_VERSION_INFO", padding to a
// 32-bit boundary, then VS_FIXEDFILEINFO.
bool ParseVersionInfo(const Bytes& b, uint32_t& ms, uint32_t& ls) {
  uint16_t length, valueLength;
  if (!b.U16(0, length) || !b.U16(2, valueLength)) return false;
  if (length > b.Size() || valueLength < 52) return false;
  Bytes blob = b.Sub(0, length);
  const char key[] = "VS_VERSION_INFO";
  for (size_t i = 0; i < sizeof key; ++i) {
    uint16_t c;
    if (!blob.U16(6 + 2 * i, c) || c != static_cast<uint8_t>(key[i])) return false;
  }
  const size_t fixed = 40;  // 6 + 32 bytes of key, rounded up to 4
  uint32_t signature;
  if (!blob.U32(fixed, signature) || signature != 0xFEEF04BD) return false;
  return blob.U32(fixed + 8, ms) && blob.U32(fixed + 12, ls);
}

struct Section {
  uint32_t va, vsize, raw, rawSize;
};

bool RvaToOffset(const Bytes& b, size_t sectionTable, uint16_t count, uint32_t rva, uint32_t size,
                 size_t& offset) {
  for (uint16_t i = 0; i < count; ++i) {
    size_t at = sectionTable + 40u * i;
    Section s;
    if (!b.U32(at + 8, s.vsize) || !b.U32(at + 12, s.va) || !b.U32(at + 16, s.rawSize) ||
        !b.U32(at + 20, s.raw))
      return false;
    uint32_t extent = s.vsize > s.rawSize ? s.vsize : s.rawSize;
    if (rva >= s.va && rva - s.va < extent) {
      uint64_t off = uint64_t{s.raw} + (rva - s.va);
      if (!b.Has(static_cast<size_t>(off), size)) return false;
      offset = static_cast<size_t>(off);
      return true;
    }
  }
  return false;
}

// One level of the resource tree: the subdirectory or data entry for the
// id wanted (any id when wantId is 0), as an offset within the resource
// section; isDir tells which.
bool ResourceEntry(const Bytes& rsrc, size_t dir, uint32_t wantId, size_t& next, bool& isDir) {
  uint16_t named, ids;
  if (!rsrc.U16(dir + 12, named) || !rsrc.U16(dir + 14, ids)) return false;
  for (uint32_t i = 0; i < uint32_t{named} + ids; ++i) {
    uint32_t name, target;
    if (!rsrc.U32(dir + 16 + 8 * i, name) || !rsrc.U32(dir + 20 + 8 * i, target)) return false;
    bool byId = (name & 0x80000000u) == 0;
    if (wantId != 0 && (!byId || name != wantId)) continue;
    isDir = (target & 0x80000000u) != 0;
    next = target & 0x7FFFFFFFu;
    return rsrc.Has(next, 16);
  }
  return false;
}

bool FromPe(const Bytes& b, uint32_t& ms, uint32_t& ls) {
  uint32_t peAt, signature;
  if (!b.U32(0x3C, peAt) || !b.U32(peAt, signature) || signature != 0x00004550) return false;
  size_t coff = size_t{peAt} + 4;
  uint16_t sections, optSize, magic;
  if (!b.U16(coff + 2, sections) || !b.U16(coff + 16, optSize)) return false;
  size_t opt = coff + 20;
  if (!b.U16(opt, magic)) return false;
  size_t dirs;
  if (magic == 0x10B)
    dirs = opt + 96;
  else if (magic == 0x20B)
    dirs = opt + 112;
  else
    return false;
  uint32_t dirCount;
  if (!b.U32(dirs - 4, dirCount) || dirCount < 3) return false;
  if (dirs + 3 * 8 > opt + optSize) return false;
  uint32_t rsrcRva, rsrcSize;
  if (!b.U32(dirs + 16, rsrcRva) || !b.U32(dirs + 20, rsrcSize) || rsrcRva == 0) return false;
  size_t table = opt + optSize;
  size_t rsrcAt;
  if (!RvaToOffset(b, table, sections, rsrcRva, 16, rsrcAt)) return false;
  // The resource section may be declared larger than the file holds.
  size_t avail = b.Size() - rsrcAt;
  Bytes rsrc = b.Sub(rsrcAt, rsrcSize < avail ? rsrcSize : avail);

  size_t at = 0;
  bool isDir = true;
  const uint32_t wanted[3] = {16 /* RT_VERSION */, 0, 0};
  for (uint32_t level : wanted) {
    if (!isDir || !ResourceEntry(rsrc, at, level, at, isDir)) return false;
  }
  if (isDir) return false;
  uint32_t dataRva, dataSize;
  if (!rsrc.U32(at, dataRva) || !rsrc.U32(at + 4, dataSize)) return false;
  size_t dataAt;
  if (!RvaToOffset(b, table, sections, dataRva, dataSize, dataAt)) return false;
  return ParseVersionInfo(b.Sub(dataAt, dataSize), ms, ls);
}

bool FromElf(const Bytes& b, uint32_t& ms, uint32_t& ls) {
  uint8_t cls = b.Has(4, 2) ? b.Data()[4] : 0, order = b.Has(5, 1) ? b.Data()[5] : 0;
  if (order != 1) return false;  // little-endian only
  bool wide = cls == 2;
  if (cls != 1 && cls != 2) return false;
  uint64_t shoff;
  uint16_t shentsize, shnum, shstrndx;
  if (wide) {
    if (!b.U64(0x28, shoff) || !b.U16(0x3A, shentsize) || !b.U16(0x3C, shnum) ||
        !b.U16(0x3E, shstrndx))
      return false;
  } else {
    uint32_t off32;
    if (!b.U32(0x20, off32) || !b.U16(0x2E, shentsize) || !b.U16(0x30, shnum) ||
        !b.U16(0x32, shstrndx))
      return false;
    shoff = off32;
  }
  if (shentsize < (wide ? 64 : 40) || shstrndx >= shnum || shoff > b.Size()) return false;
  auto header = [&](uint16_t i, uint32_t& name, uint64_t& off, uint64_t& size) {
    uint64_t at = shoff + uint64_t{shentsize} * i;
    if (at > b.Size()) return false;
    size_t h = static_cast<size_t>(at);
    if (wide) return b.U32(h, name) && b.U64(h + 0x18, off) && b.U64(h + 0x20, size);
    uint32_t o, s;
    if (!b.U32(h, name) || !b.U32(h + 0x10, o) || !b.U32(h + 0x14, s)) return false;
    off = o;
    size = s;
    return true;
  };
  uint32_t n;
  uint64_t strOff, strSize;
  if (!header(shstrndx, n, strOff, strSize) || strOff > b.Size() || strSize > b.Size() - strOff)
    return false;
  Bytes names = b.Sub(static_cast<size_t>(strOff), static_cast<size_t>(strSize));
  const size_t wantLen = std::strlen(kVersionSectionName) + 1;
  for (uint16_t i = 0; i < shnum; ++i) {
    uint64_t off, size;
    if (!header(i, n, off, size)) return false;
    if (!names.Has(n, wantLen) || std::memcmp(names.Data() + n, kVersionSectionName, wantLen) != 0)
      continue;
    if (off > b.Size() || size > b.Size() - off) return false;
    return ParseVersionInfo(b.Sub(static_cast<size_t>(off), static_cast<size_t>(size)), ms, ls);
  }
  return false;
}

}  // namespace

bool FindFixedFileVersion(const uint8_t* data, size_t size, uint32_t& versionMS,
                          uint32_t& versionLS) {
  Bytes b(data, size);
  if (b.Has(0, 2) && data[0] == 'M' && data[1] == 'Z') return FromPe(b, versionMS, versionLS);
  if (b.Has(0, 4) && std::memcmp(data,
                                 "\x7f"
                                 "ELF",
                                 4) == 0)
    return FromElf(b, versionMS, versionLS);
  return false;
}

ExeMachine FindExeMachine(const uint8_t* data, size_t size) {
  Bytes b(data, size);
  ExeMachine m;
  uint32_t peAt = 0, signature = 0;
  if (b.Has(0, 2) && data[0] == 'M' && data[1] == 'Z') {
    if (b.U32(0x3C, peAt) && b.U32(peAt, signature) && signature == 0x00004550 &&
        b.U16(size_t{peAt} + 4, m.machine))
      m.format = ExeFormat::kPe;
  } else if (b.Has(0, 6) &&
             std::memcmp(data,
                         "\x7f"
                         "ELF",
                         4) == 0 &&
             data[5] == 1 && b.U16(18, m.machine)) {
    m.format = ExeFormat::kElf;
  }
  if (m.format == ExeFormat::kUnknown) m.machine = 0;
  return m;
}

std::string ExeMachineName(const ExeMachine& m) {
  if (m.format == ExeFormat::kPe) {
    switch (m.machine) {
      case 0x014C: return "x86 (32-bit Windows)";
      case 0x8664: return "x64 (64-bit Windows)";
      case 0xAA64: return "ARM64 (Windows)";
      default: return "PE machine " + std::to_string(m.machine);
    }
  }
  if (m.format == ExeFormat::kElf) {
    switch (m.machine) {
      case 3: return "x86 (Linux)";
      case 62: return "x86-64 (Linux)";
      case 183: return "AArch64 (Linux)";
      default: return "ELF machine " + std::to_string(m.machine);
    }
  }
  return "no executable";
}

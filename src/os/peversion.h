// A bounds-checked reader of the fixed file version in an executable's
// version resource, for the build that has no version.dll. It reads PE
// files, and ELF files that carry the same record in a section of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The section of an ELF executable that holds its version record.
constexpr const char* kVersionSectionName = ".pelmatic_version";

// False when the bytes hold no well-formed record; nothing outside
// [data, data + size) is ever read.
bool FindFixedFileVersion(const uint8_t* data, size_t size, uint32_t& versionMS,
                          uint32_t& versionLS);

// What an executable is built to run on: the format and its machine
// number (IMAGE_FILE_MACHINE_* for PE files, e_machine for ELF files).
// Two executables run on the same machines exactly when both are equal.
enum class ExeFormat : uint8_t { kUnknown, kPe, kElf };
struct ExeMachine {
  ExeFormat format = ExeFormat::kUnknown;
  uint16_t machine = 0;
  bool operator==(const ExeMachine& o) const { return format == o.format && machine == o.machine; }
  bool operator!=(const ExeMachine& o) const { return !(*this == o); }
};
// The machine of the executable whose first bytes are [data, data + size):
// unknown when they are not the headers of one.
ExeMachine FindExeMachine(const uint8_t* data, size_t size);
// How a vendor names it: "x86 (32-bit Windows)", "x64 (64-bit Windows)",
// "ARM64 (Windows)", "x86-64 (Linux)"; the number for others.
std::string ExeMachineName(const ExeMachine& m);

// A version record (VS_VERSIONINFO with its VS_FIXEDFILEINFO, no children)
// for a file version a.b.c.d, as the reader above expects it.
struct VersionRecord {
  uint8_t bytes[92];
};
constexpr VersionRecord MakeVersionRecord(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
  VersionRecord r{};
  auto put16 = [&r](size_t at, uint16_t v) {
    r.bytes[at] = static_cast<uint8_t>(v);
    r.bytes[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [&put16](size_t at, uint32_t v) {
    put16(at, static_cast<uint16_t>(v));
    put16(at + 2, static_cast<uint16_t>(v >> 16));
  };
  put16(0, 92);  // wLength
  put16(2, 52);  // wValueLength: the fixed record
  put16(4, 0);   // wType: binary
  const char key[] = "VS_VERSION_INFO";
  for (size_t i = 0; i < sizeof key; ++i) put16(6 + 2 * i, static_cast<uint16_t>(key[i]));
  const uint32_t ms = (uint32_t{a} << 16) | b, ls = (uint32_t{c} << 16) | d;
  const uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, ms, ls, ms, ls, 0x3F, 0, 0x4, 0x1, 0, 0, 0};
  for (size_t i = 0; i < 13; ++i) put32(40 + 4 * i, fixed[i]);
  return r;
}

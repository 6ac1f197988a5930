// The version reader parses executables found in the application folder,
// including ones an update brought. The input is copied into a heap block
// of exactly its size, so any read past the end is an AddressSanitizer
// report rather than a silent read of libFuzzer's own buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_util.h"
#include "os/peversion.h"

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// A version can only come from a fixed record in the file: its signature,
// then the two halves of the file version 8 and 12 bytes on.
bool RecordHolds(const uint8_t* data, size_t size, uint32_t ms, uint32_t ls) {
  for (size_t at = 0; at + 16 <= size; ++at) {
    if (Le32(data + at) == 0xFEEF04BD && Le32(data + at + 8) == ms && Le32(data + at + 12) == ls)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  if (size) std::memcpy(copy.get(), data, size);

  uint32_t ms = 0xAAAAAAAA, ls = 0x55555555;
  bool found = FindFixedFileVersion(copy.get(), size, ms, ls);
  if (!found) return 0;
  FUZZ_CHECK(RecordHolds(copy.get(), size, ms, ls),
             "version %08X.%08X does not come from a fixed record in the input", ms, ls);
  uint32_t ms2 = 0, ls2 = 0;
  FUZZ_CHECK(FindFixedFileVersion(copy.get(), size, ms2, ls2) && ms2 == ms && ls2 == ls,
             "a second reading of the same bytes differs");
  return 0;
}

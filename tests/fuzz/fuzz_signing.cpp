// The parts of a signed manifest that come from outside, read with strict
// bounds: the signature line, the expiry time, hex digits and key lists.
// Each result is checked against the rules written out anew.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "version/signing.h"

namespace {

bool LineStart(const std::string& s, size_t at) {
  return at == 0 || s[at - 1] == '\r' || s[at - 1] == '\n';
}

void CheckSignatureLine(const std::string& raw) {
  size_t length = 0;
  os::P256Signature sig{};
  const bool found = FindSignatureLine(raw, length, sig);
  // The model: the last "sig=" at a line start, 128 hex digits, then only
  // line ends.
  size_t last = std::string::npos;
  for (size_t p = raw.find("sig="); p != std::string::npos; p = raw.find("sig=", p + 1))
    if (LineStart(raw, p)) last = p;
  bool valid = last != std::string::npos && raw.size() >= last + 4 + 128;
  for (size_t i = last + 4; valid && i < last + 4 + 128; ++i)
    valid = std::isxdigit(static_cast<unsigned char>(raw[i])) != 0;
  for (size_t i = last + 4 + 128; valid && i < raw.size(); ++i)
    valid = raw[i] == '\r' || raw[i] == '\n';
  FUZZ_CHECK(found == valid, "signature line %s where the rules say %s", found ? "found" : "missed",
             valid ? "there is one" : "there is none");
  if (found) {
    FUZZ_CHECK(length == last, "signed bytes end at %zu, the line starts at %zu", length, last);
    FUZZ_CHECK(ToHex(sig.data(), sig.size()).size() == 128, "signature of the wrong size");
  }
}

void CheckExpires(const std::string& text) {
  int64_t seconds = 0;
  if (!ParseExpires(text, seconds)) return;
  FUZZ_CHECK(text.size() == 20 && text[10] == 'T' && text[19] == 'Z', "odd expiry taken");
  // Years before 1970 count back from it: the time of day stays positive.
  const int64_t timeOfDay = (seconds % 86400 + 86400) % 86400;
  FUZZ_CHECK(timeOfDay == ((text[11] - '0') * 10 + (text[12] - '0')) * 3600 +
                              ((text[14] - '0') * 10 + (text[15] - '0')) * 60 +
                              (text[17] - '0') * 10 + (text[18] - '0'),
             "the time of day of %s is not its seconds", text.c_str());
}

void CheckHex(const std::string& text) {
  uint8_t out[64];
  const size_t size = text.size() / 2;
  if (size > sizeof out || !ParseHex(text, out, size)) return;
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  FUZZ_CHECK(ToHex(out, size) == lower, "hex does not read back as written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckSignatureLine(input);
  CheckExpires(input);
  CheckHex(input);
  if (size <= 512) {
    TrustedKeys t = ParseTrustedKeys(input);
    FUZZ_CHECK(t.strict == !input.empty(), "strict mode does not follow the text");
    FUZZ_CHECK(t.valid || t.keys.empty(), "keys kept from a list that is not valid");
  }
  return 0;
}

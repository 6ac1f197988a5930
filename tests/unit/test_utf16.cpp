// UTF-8 inside, UTF-16 at the Windows edge: exact both ways for every name
// the system can give, a clear refusal of bytes that are no UTF-8.
#include <gtest/gtest.h>

#include <vector>

#include "os/utf16.h"

namespace {

std::vector<uint16_t> ToUtf16(const std::string& s, bool lenient = false) {
  const size_t n = Utf8ToUtf16(s.data(), s.size(), nullptr, lenient);
  if (n == kNotUtf8) return {0xDEAD, 0xBEEF};
  std::vector<uint16_t> out(n);
  Utf8ToUtf16(s.data(), s.size(), out.data(), lenient);
  return out;
}

std::string ToUtf8(const std::vector<uint16_t>& units) {
  std::string out;
  AppendUtf16AsUtf8(units.data(), units.size(), out);
  return out;
}

}  // namespace

TEST(Utf16, EveryScriptAndLoneSurrogatesGoBothWaysExactly) {
  const std::vector<std::pair<std::string, std::vector<uint16_t>>> cases = {
      {"", {}},
      {"C:\\x", {'C', ':', '\\', 'x'}},
      {"\xD0\x9F\xD1\x80\xD0\xBE", {0x41F, 0x440, 0x43E}},  // "Про"
      {"\xE6\x9D\x8E", {0x674E}},                           // 李
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},               // U+1F600, a pair
      // NTFS takes a surrogate without its pair: it keeps its three-byte
      // form, so the name names the same file when it goes back.
      {"a\xED\xA0\x80z", {'a', 0xD800, 'z'}},
      {"\xED\xBF\xBF", {0xDFFF}},
  };
  for (const auto& [utf8, utf16] : cases) {
    EXPECT_EQ(ToUtf16(utf8), utf16) << utf8;
    EXPECT_EQ(ToUtf8(utf16), utf8) << utf8;
  }
  // A low half before a high one is two lone halves, not a pair.
  EXPECT_EQ(ToUtf8({0xDC00, 0xD800}), "\xED\xB0\x80\xED\xA0\x80");
}

TEST(Utf16, BytesThatAreNoUtf8AreRefusedOrShownAsReplacements) {
  for (const std::string bad : {"\xFF", "a\x80", "\xC3", "\xE6\x9D", "\xC0\x80", "\xE0\x80\x80",
                                "\xF4\x90\x80\x80", "\xED\xA0\xBD\xED\xB8\x80"}) {
    EXPECT_EQ(Utf8ToUtf16(bad.data(), bad.size(), nullptr), kNotUtf8) << bad;
    for (uint16_t unit : ToUtf16(bad, true)) EXPECT_TRUE(unit == 0xFFFD || unit < 0x80) << bad;
  }
  EXPECT_EQ(ToUtf16("a\xFF"
                    "b",
                    true),
            (std::vector<uint16_t>{'a', 0xFFFD, 'b'}));
  // A text from a file is made fit to show: no stray byte, no lone half.
  EXPECT_EQ(CleanUtf8("ok \xE6\x9D\x8E"), "ok \xE6\x9D\x8E");
  EXPECT_EQ(CleanUtf8("x\xFFy\xED\xA0\x80"), "x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

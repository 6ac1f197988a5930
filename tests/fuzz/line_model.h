// The line rules of a text file, written out byte by byte with no buffering,
// so that the buffered reader of the program can be compared with them:
// CR ends a line and swallows one LF right after it, a lone LF is an
// ordinary byte, Ctrl-Z ends the file, and every line (at least one, even
// for an empty file) comes back followed by CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzmodel {

inline std::string TextFileLines(const uint8_t* data, size_t size) {
  const char kCtrlZ = 26;
  const char* d = reinterpret_cast<const char*>(data);
  std::string out;
  size_t i = 0;
  do {
    size_t j = i;
    while (j < size && d[j] != '\r' && d[j] != kCtrlZ) ++j;
    out.append(d + i, j - i);
    out += "\r\n";
    if (j < size && d[j] == '\r') {
      ++j;
      if (j < size && d[j] == '\n') ++j;
    }
    i = j;
  } while (i < size && d[i] != kCtrlZ);
  return out;
}

// A manifest's text after the UTF-8 byte order mark, by the well-formed
// byte sequences of the Unicode standard (table 3-7): each one is kept,
// each byte that starts none becomes U+FFFD. Without the mark, the text
// as it is (the POSIX build's system code page is its bytes).
inline std::string ManifestText(const std::string& text) {
  if (text.compare(0, 3, "\xEF\xBB\xBF") != 0) return text;
  std::string out;
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 3; i < n;) {
    size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
    if (b[i] < 0x80)
      len = 1;
    else if (b[i] >= 0xC2 && b[i] <= 0xDF)
      len = 2;
    else if (b[i] == 0xE0)
      len = 3, lo = 0xA0;
    else if (b[i] == 0xED)
      len = 3, hi = 0x9F;
    else if (b[i] >= 0xE1 && b[i] <= 0xEF)
      len = 3;
    else if (b[i] == 0xF0)
      len = 4, lo = 0x90;
    else if (b[i] == 0xF4)
      len = 4, hi = 0x8F;
    else if (b[i] >= 0xF1 && b[i] <= 0xF3)
      len = 4;
    bool ok = len > 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k)
      ok = k == 1 ? (b[i + 1] >= lo && b[i + 1] <= hi) : (b[i + k] >= 0x80 && b[i + k] <= 0xBF);
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace fuzzmodel

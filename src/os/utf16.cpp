#include "os/utf16.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The code point at in[i], its length in len; false for no UTF-8 there.
// With surrogates, a surrogate's three-byte form is taken (a name from the
// system), unless it is the high half of a pair whose low half follows in
// the same form; without, it is no UTF-8 (a text).
bool Decode(const unsigned char* in, size_t size, size_t i, uint32_t& cp, size_t& len,
            bool surrogates) {
  const unsigned char c = in[i];
  if (c < 0x80) {
    cp = c;
    len = 1;
    return true;
  }
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (size - i < len) return false;
  for (size_t k = 1; k < len; ++k) {
    if (!IsContinuation(in[i + k])) return false;
    cp = (cp << 6) | (in[i + k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) return false;
  if (cp >= 0xD800 && cp <= 0xDFFF && !surrogates) return false;
  if (cp >= 0xD800 && cp <= 0xDBFF && size - i >= 6 && in[i + 3] == 0xED &&
      (in[i + 4] & 0xF0) == 0xB0)
    return false;  // a pair is one four-byte form, never two halves
  return true;
}

void Put(uint16_t* out, size_t& n, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    if (out) {
      out[n] = static_cast<uint16_t>(0xD800 + (cp >> 10));
      out[n + 1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    }
    n += 2;
    return;
  }
  if (out) out[n] = static_cast<uint16_t>(cp);
  ++n;
}

void Append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

size_t Utf8ToUtf16(const char* in, size_t size, uint16_t* out, bool lenient) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(in);
  size_t n = 0;
  for (size_t i = 0; i < size;) {
    uint32_t cp = 0;
    size_t len = 0;
    if (!Decode(bytes, size, i, cp, len, !lenient)) {
      if (!lenient) return kNotUtf8;
      cp = kReplacement;
      len = 1;
    }
    Put(out, n, cp);
    i += len;
  }
  return n;
}

void AppendUtf16AsUtf8(const uint16_t* in, size_t size, std::string& out) {
  for (size_t i = 0; i < size; ++i) {
    uint32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < size && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
    Append(out, cp);
  }
}

std::string CleanUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    size_t len = 0;
    if (!Decode(bytes, text.size(), i, cp, len, false)) {
      cp = kReplacement;
      len = 1;
    }
    Append(out, cp);
    i += len;
  }
  return out;
}

// The program's strings are UTF-8; Windows takes and gives UTF-16. These
// conversions are exact both ways for everything a Windows call can give,
// a surrogate without its pair included (NTFS allows one in a name): it is
// written as its own three-byte form, as WTF-8 does, so that a name read
// from the system names the same file when it is given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// UTF-16 code units, written to out (when not null) and counted. Strict:
// kNotUtf8 for bytes that are no UTF-8 (a stray continuation byte, a
// sequence cut short, an overlong form, a code point above U+10FFFF, or a
// surrogate pair written as two three-byte forms). Lenient, for texts
// that are only shown: each byte that starts no UTF-8 becomes U+FFFD, and
// so does each byte of a surrogate's form.
constexpr size_t kNotUtf8 = static_cast<size_t>(-1);
size_t Utf8ToUtf16(const char* in, size_t size, uint16_t* out, bool lenient = false);

// The UTF-8 form of size code units, appended to out.
void AppendUtf16AsUtf8(const uint16_t* in, size_t size, std::string& out);

// text with every byte that starts no UTF-8 turned into U+FFFD (a
// surrogate's form counting as no UTF-8): a text from a file, made fit to
// show and to name things.
std::string CleanUtf8(const std::string& text);

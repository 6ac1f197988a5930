// Digits and what they stand for: hexadecimal ones for bytes, decimal ones
// for whole numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/os.h"

// Exactly 2 * size hexadecimal digits, either letter case, into out.
bool ParseHex(std::string_view text, uint8_t* out, size_t size);
// Lower-case digits, two a byte.
std::string ToHex(const uint8_t* data, size_t size);
// At most maxDigits decimal digits (leading zeros allowed, no sign, no
// blanks) into value; maxDigits up to 19 keeps value below 2^63.
bool ParseDecimal(std::string_view text, size_t maxDigits, uint64_t& value);

// The SHA-256 of bytes held whole in memory; false when the platform cannot
// hash.
bool Sha256Of(std::string_view bytes, os::Sha256Digest& digest);

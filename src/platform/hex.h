// Hexadecimal digits and the bytes they stand for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Exactly 2 * size hexadecimal digits, either letter case, into out.
bool ParseHex(const std::string& text, uint8_t* out, size_t size);
// Lower-case digits, two a byte.
std::string ToHex(const uint8_t* data, size_t size);

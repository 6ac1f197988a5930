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

}  // namespace fuzzmodel

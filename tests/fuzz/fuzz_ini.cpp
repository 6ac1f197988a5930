// The configuration file of the POSIX build is read by IniLookup; vendors
// and users edit it by hand, so it may hold anything. Every lookup is
// compared with a second reading of the rules, and with the same lookup
// under other spellings of the names and other line ends.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "os/ini.h"

namespace {

using fuzzutil::Printable;

// The names the program asks for, other spellings, and a few the reader
// must cope with although the program never uses them.
const char* const kSections[] = {"Check", "OTHER", "", "a b"};
const char* const kKeys[] = {"ver_now", "VER_FILE", "url_file", "close_app", "run_app", "", "k"};

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string StripBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

std::string SwapCase(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 32);
    else if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c + 32);
  }
  return s;
}

// Non-empty, non-comment lines, blanks stripped; CR and LF both end a line.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\r' || text[i] == '\n') {
      std::string line = StripBlanks(cur);
      if (!line.empty() && line[0] != ';') lines.push_back(line);
      cur.clear();
    } else {
      cur += text[i];
    }
  }
  return lines;
}

// The first section of the name, then the first key of the name in it.
bool ModelLookup(const std::vector<std::string>& lines, const std::string& section,
                 const std::string& key, std::string& value) {
  size_t i = 0;
  for (; i < lines.size(); ++i) {
    if (lines[i][0] != '[') continue;
    std::string name = lines[i].substr(1);
    size_t close = name.find(']');
    if (close != std::string::npos) name.resize(close);
    if (Upper(StripBlanks(name)) == Upper(section)) break;
  }
  for (++i; i < lines.size() && lines[i][0] != '['; ++i) {
    size_t eq = lines[i].find('=');
    if (eq == std::string::npos || Upper(StripBlanks(lines[i].substr(0, eq))) != Upper(key))
      continue;
    std::string v = StripBlanks(lines[i].substr(eq + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v[v.size() - 1] == v[0])
      v = v.substr(1, v.size() - 2);
    value = v.substr(0, 1023);
    return true;
  }
  return false;
}

const char kUntouched[] = "\x01untouched";

struct Found {
  bool found;
  std::string value;
};

Found Lookup(const std::string& text, const std::string& section, const std::string& key) {
  Found f{false, kUntouched};
  f.found = IniLookup(text, section, key, f.value);
  if (!f.found)
    FUZZ_CHECK(f.value == kUntouched, "a failed lookup changed the value to \"%s\"",
               Printable(f.value).c_str());
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = Lines(text);
  const size_t keyCount = sizeof kKeys / sizeof *kKeys;
  const size_t pairCount = keyCount * (sizeof kSections / sizeof *kSections);
  // The other spellings are looked up for one pair of names per input only:
  // each lookup reads the whole text.
  const size_t variedPair = size % pairCount;

  for (size_t pair = 0; pair < pairCount; ++pair) {
    const std::string section = kSections[pair / keyCount], key = kKeys[pair % keyCount];
    Found seen = Lookup(text, section, key);
    Found model{false, kUntouched};
    model.found = ModelLookup(lines, section, key, model.value);
    FUZZ_CHECK(seen.found == model.found && seen.value == model.value,
               "[%s] %s: got %d \"%s\" (%zu bytes), expected %d \"%s\" (%zu bytes)",
               section.c_str(), key.c_str(), seen.found, Printable(seen.value).c_str(),
               seen.value.size(), model.found, Printable(model.value).c_str(), model.value.size());
    if (seen.found) {
      FUZZ_CHECK(seen.value.size() <= 1023, "value of %zu bytes", seen.value.size());
      FUZZ_CHECK(seen.value.find_first_of("\r\n") == std::string::npos,
                 "value runs over a line end");
      FUZZ_CHECK(text.find(seen.value) != std::string::npos, "value not taken from the text");
    }
    if (pair != variedPair) continue;

    Found other = Lookup(text, SwapCase(section), SwapCase(key));
    FUZZ_CHECK(other.found == seen.found && other.value == seen.value,
               "[%s] %s: names matched with regard to case", section.c_str(), key.c_str());
    std::string lineFeeds = text;
    for (char& c : lineFeeds)
      if (c == '\r') c = '\n';
    Found unix = Lookup(lineFeeds, section, key);
    FUZZ_CHECK(unix.found == seen.found && unix.value == seen.value,
               "[%s] %s: LF line ends read differently", section.c_str(), key.c_str());
  }
  return 0;
}

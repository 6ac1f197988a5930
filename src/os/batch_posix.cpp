#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/batch.h"

namespace {

// A batch line's %% stands for one %.
std::string Expand(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    out += line[i];
    if (line[i] == '%' && i + 1 < line.size() && line[i + 1] == '%') ++i;
  }
  return out;
}

// Arguments separated by blanks; a double-quoted stretch keeps its blanks.
std::vector<std::string> Arguments(const std::string& rest) {
  std::vector<std::string> args;
  std::string cur;
  bool quoted = false, any = false;
  for (char c : rest) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) args.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) args.push_back(cur);
  return args;
}

bool IsWord(const std::string& line, const char* word, std::string& rest) {
  size_t n = std::string(word).size();
  if (line.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if ((line[i] | 0x20) != word[i]) return false;
  if (line.size() > n && line[n] != ' ' && line[n] != '\t') return false;
  rest = line.substr(n);
  return true;
}

}  // namespace

void RunBatchScript(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Expand(line);
    std::string rest;
    if (IsWord(line, "echo", rest)) continue;
    if (IsWord(line, "chdir", rest) || IsWord(line, "cd", rest)) {
      std::vector<std::string> a = Arguments(rest);
      if (a.size() == 1) (void)!::chdir(a[0].c_str());
    } else if (IsWord(line, "del", rest)) {
      for (const std::string& f : Arguments(rest)) ::unlink(f.c_str());
    } else if (IsWord(line, "rename", rest) || IsWord(line, "ren", rest)) {
      std::vector<std::string> a = Arguments(rest);
      // The new name is a bare name in the old file's folder, and an
      // existing file of that name is never replaced.
      if (a.size() == 2 && a[1].find('/') == std::string::npos) {
        std::string folder = a[0].substr(0, a[0].rfind('/') + 1);
        ::renameat2(AT_FDCWD, a[0].c_str(), AT_FDCWD, (folder + a[1]).c_str(), RENAME_NOREPLACE);
      }
    }
    // Anything else, the drive switch included, has nothing to do here.
  }
}

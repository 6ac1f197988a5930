#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

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

// True when a running process has the file as its program image: Windows
// lets nobody delete such a file, and the script relies on that. The
// interpreter itself, a fork of the program that started it, does not
// count: the command interpreter it stands in for is a program of its own.
bool IsRunningImage(const std::string& path) {
  struct stat file;
  if (::stat(path.c_str(), &file) != 0) return false;
  DIR* d = ::opendir("/proc");
  if (!d) return false;
  bool found = false;
  const std::string self = std::to_string(::getpid());
  while (struct dirent* e = ::readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9' || e->d_name == self) continue;
    struct stat image;
    const std::string exe = std::string("/proc/") + e->d_name + "/exe";
    found = ::stat(exe.c_str(), &image) == 0 && image.st_dev == file.st_dev &&
            image.st_ino == file.st_ino;
    if (found) break;
  }
  ::closedir(d);
  return found;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

// Takes the first word off text, a double-quoted stretch keeping its
// blanks, and gives it.
std::string TakeWord(std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) start = text.size();
  size_t end = start;
  for (bool quoted = false;
       end < text.size() && (quoted || (text[end] != ' ' && text[end] != '\t')); ++end)
    if (text[end] == '"') quoted = !quoted;
  const std::string word = text.substr(start, end - start);
  text.erase(0, end);
  return word;
}

// One line; a goto leaves the label the script goes on at in jump.
void RunLine(const std::string& line, std::string& jump) {
  std::string rest;
  if (IsWord(line, "chdir", rest) || IsWord(line, "cd", rest)) {
    std::vector<std::string> a = Arguments(rest);
    if (a.size() == 1) (void)!::chdir(a[0].c_str());
  } else if (IsWord(line, "del", rest)) {
    for (const std::string& f : Arguments(rest))
      if (!IsRunningImage(f)) ::unlink(f.c_str());
  } else if (IsWord(line, "rename", rest) || IsWord(line, "ren", rest)) {
    std::vector<std::string> a = Arguments(rest);
    // The new name is a bare name in the old file's folder, and an
    // existing file of that name is never replaced.
    if (a.size() == 2 && a[1].find('/') == std::string::npos) {
      std::string folder = a[0].substr(0, a[0].rfind('/') + 1);
      ::renameat2(AT_FDCWD, a[0].c_str(), AT_FDCWD, (folder + a[1]).c_str(), RENAME_NOREPLACE);
    }
  } else if (IsWord(line, "goto", rest)) {
    jump = TakeWord(rest);
  } else if (IsWord(line, "if", rest)) {
    // if [not] exist "path" command
    std::string word = TakeWord(rest);
    const bool negate = SameText(word, "not");
    if (negate) word = TakeWord(rest);
    if (!SameText(word, "exist")) return;
    const std::vector<std::string> path = Arguments(TakeWord(rest));
    struct stat st;
    const bool exists = path.size() == 1 && ::stat(path[0].c_str(), &st) == 0;
    const size_t command = rest.find_first_not_of(" \t");
    if (exists != negate && command != std::string::npos) RunLine(rest.substr(command), jump);
  } else if (IsWord(line, "ping", rest)) {
    // "ping -n N 127.0.0.1" is how a script waits N - 1 seconds.
    std::vector<std::string> a = Arguments(rest);
    if (a.size() >= 2 && a[0] == "-n") {
      const long n = std::strtol(a[1].c_str(), nullptr, 10);
      if (n > 1 && n <= 3600) ::sleep(static_cast<unsigned>(n - 1));
    }
  }
  // Anything else, echo and the drive switch included, has nothing to do here.
}

}  // namespace

void RunBatchScript(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(Expand(line));
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string jump;
    RunLine(lines[i], jump);
    if (jump.empty()) continue;
    // On at the line after ":label", the name matched without regard to
    // case; a goto to no label ends the script, as the interpreter's does.
    size_t target = lines.size();
    for (size_t j = 0; j < lines.size() && target == lines.size(); ++j)
      if (!lines[j].empty() && lines[j][0] == ':' && SameText(lines[j].substr(1), jump)) target = j;
    i = target;
  }
}

#include "os/cmdline.h"

std::vector<std::string> ArgumentsOf(const std::string& commandLine) {
  auto separator = [](char c) { return c >= 1 && c <= 32; };
  auto end = [&](size_t i) { return i >= commandLine.size() || commandLine[i] == '\0'; };
  std::vector<std::string> args;
  size_t i = 0;
  for (;;) {
    while (!end(i) && separator(commandLine[i])) ++i;
    if (end(i)) return args;
    std::string arg;
    bool quoted = false;
    for (; !end(i); ++i) {
      char c = commandLine[i];
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && separator(c)) break;
      arg += c;
    }
    args.push_back(arg);
  }
}

std::string ArgumentOf(const std::string& commandLine, int index) {
  const std::vector<std::string> args = ArgumentsOf(commandLine);
  return index >= 0 && static_cast<size_t>(index) < args.size() ? args[index] : std::string();
}

std::string FirstArgumentOf(const std::string& commandLine) { return ArgumentOf(commandLine, 1); }

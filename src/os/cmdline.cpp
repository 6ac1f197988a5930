#include "os/cmdline.h"

std::string FirstArgumentOf(const std::string& commandLine) {
  auto separator = [](char c) { return c >= 1 && c <= 32; };
  size_t i = 0;
  auto next = [&]() {
    while (i < commandLine.size() && separator(commandLine[i])) ++i;
    std::string arg;
    bool quoted = false;
    for (; i < commandLine.size() && commandLine[i] != '\0'; ++i) {
      char c = commandLine[i];
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && separator(c)) break;
      arg += c;
    }
    return arg;
  };
  next();  // the program path
  return next();
}

#include "version/config.h"

#include "core/runstate.h"
#include "platform/files.h"
#include "version/choices.h"
#include "version/versiontext.h"

bool LoadConfig() {
  if (!FileExists(gRun.IniPath)) return false;
  auto read = [](const char* key) { return os::ProfileString("Check", key, "", gRun.IniPath); };
  // Every key is written, present or not: a configuration that lacks a key
  // must not leave the built-in default in place.
  gRun.VerNow = Trim(read("ver_now"));
  gRun.VerFile = read("ver_file");
  gRun.UrlFile = read("url_file");
  gRun.UrlDown = read("url_down");
  gRun.CloseApp = read("close_app");
  gRun.RunApp = read("run_app");
  gRun.PubKey = Trim(read("pub_key"));
  gRun.RemindHours = ParseHours(read("remind_hours"));
  gRun.SkipAllowed = Trim(read("skip")) == "1";
  gRun.CheckHours = ParseHours(read("check_hours"));
  return !gRun.VerNow.empty();
}

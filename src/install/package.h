#pragma once

#include <cstdint>
#include <string>

#include "platform/download.h"

// Installs the ZIP package named by the manifest: the number of files moved
// into the application folder, or -11 (not downloaded), -12 (missing,
// unpack folder not made, extraction refused, a file the application
// folder cannot hold), -13 (merge failed, configuration restored) or -14
// (the package failed its check, or would drop the key that verified the
// manifest).
int32_t InstallPackage();

// What the installation checks of a package once unpacked (at unpack, a
// folder path without the trailing separator) before anything moves: 0,
// -12 for links, names or paths appDir cannot hold or PelMatic's own names,
// -14 for a pelmatic.ini that drops the key that verified the manifest.
int32_t CheckUnpackedPackage(const std::string& unpack, const std::string& appDir);

// How the update file of this run is to be checked. False when it may not
// be taken at all: in strict mode (trusted keys in pub_key) without a
// well-formed digest. Outside strict mode what is not well formed is left
// out of the check.
bool UpdateFileCheck(FileCheck& check);

// The seed of the draw that names the unpack folder; start-up seeds it
// from the time of day.
extern uint32_t gRandomSeed;
void SeedRandom(int hour, int minute, int second, int millisecond);
// A number from 0 to range - 1.
uint32_t RandomDraw(uint32_t range);

// Removes a folder tree without following links inside it.
void RemoveFolderTree(const std::string& folder);
// True when the tree holds a link or reparse point anywhere.
bool TreeHoldsLink(const std::string& folder);
// True when everything in the tree at folder may go to the same place
// below target (a folder path ending in the separator): names Windows can
// store, paths within os::kMaxPathLength. relative is the tree's own place
// below target.
bool TreeFitsInto(const std::string& folder, const std::string& target,
                  const std::string& relative = "");

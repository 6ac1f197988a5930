// Writing manifests that every installed copy reads as the vendor meant:
// the checks run before anything is written, then the signature.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tool/keyfile.h"

// What a release offers; empty texts are left out of the manifest.
struct Release {
  std::string ver, file, filealt, mode, notes, product, expires;
  std::string sha256, size, sha256alt, sizealt;
  std::string rollout, rolloutStart, rolloutHours;
  std::string critical;    // installations below it may not skip or postpone the release
  std::string silentArgs;  // how the installer runs with no one at the screen
  // Base version and "file sha256 size" of each delta package.
  std::vector<std::pair<std::string, std::string>> deltas;
};

// Why value (named what, as on the command line) would be misread by an
// installed copy; empty when it reads as given. Notes may span lines.
std::string RefuseValue(const std::string& what, const std::string& value, bool notes);

// Why ver is not an update over previous by the byte-wise rule, with
// advice; empty when it is.
std::string RefuseVersion(const std::string& ver, const std::string& previous);

// The manifest's lines, CR LF, in the order ver, file, filealt, mode, msg,
// product, digests and sizes, expires, rollout keys, deltas; the notes
// closed by "<>", then critical. Texts in UTF-8 beyond ASCII put the UTF-8 byte order mark
// first, by which installed copies read the manifest as UTF-8.
std::string ComposeManifest(const Release& release);

// Why the manifest text (without its signature line) would not be read
// as written: line ends other than CR LF, a key first found inside another
// line or inside the notes, no ver=, no product=, an expires= that is not
// a moment, rollout keys that are not well formed (which installed copies
// take as a share of 0), a delta line that is not well formed or not the
// first place its key is found. Empty when it reads as written.
std::string RefuseManifest(const std::string& text);

// The base version of every line of text that begins with a delta key, in
// order: the deltas a manifest offers.
std::vector<std::string> DeltaBases(const std::string& text);

// The bytes the signature covers: raw without its signature line, ended
// by CR LF.
std::string SignedPart(const std::string& raw);

// text followed by its signature line; false when the platform could not
// sign.
bool AppendSignature(const std::string& text, const SigningKey& key, std::string& out);

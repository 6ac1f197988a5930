// What a signed manifest is made of, read with strict bounds: hex digits,
// the trusted keys of pub_key, the signature line, the expiry time, and
// the check of a signature against the trusted keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "os/os.h"
#include "platform/hex.h"

// The trusted keys of pub_key: keys of 128 hex digits separated by blanks
// or commas. Any text at all turns strict mode on; a single token that is
// not a key on the P-256 curve leaves no key usable (fail closed).
struct TrustedKeys {
  bool strict = false;
  bool valid = false;
  std::vector<os::P256Key> keys;
};
TrustedKeys ParseTrustedKeys(const std::string& pubKey);

// The signature line: the last line of raw starting with "sig=" (a line
// starts at the first byte or after CR or LF), holding 128 hex digits with
// only CR and LF after them up to the end. signedLength is the number of
// bytes before that line. False when there is no such line.
bool FindSignatureLine(const std::string& raw, size_t& signedLength, os::P256Signature& signature);

// "YYYY-MM-DDTHH:MM:SSZ", a real moment in UTC, as seconds since
// 1970-01-01T00:00:00Z; false unless well formed.
bool ParseExpires(const std::string& text, int64_t& seconds);

// The index of the first trusted key under which signature signs the
// SHA-256 of signedBytes; -1 when none does.
int VerifySignature(const TrustedKeys& trusted, const std::string& signedBytes,
                    const os::P256Signature& signature);

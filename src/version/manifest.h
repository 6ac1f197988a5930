// The version manifest: obtaining it and reading its key=value lines.
#pragma once

#include <cstdint>
#include <string>

// A local text file as lines joined by CR LF. False when it does not exist;
// a file that exists but cannot be read raises EInOutError. False, with an
// empty text, for a file longer than a manifest may be (kManifestMaxBytes).
// raw, when given, receives the file's bytes as stored.
bool ReadTextFile(const std::string& path, std::string& text, std::string* raw = nullptr);
// The body of a URL. False, with an empty text, when the URL cannot be
// opened, the server answered with a status outside 200 to 299 (after the
// redirects that are followed), the transfer broke off or passed a limit,
// or the body is longer than kManifestMaxBytes.
// raw, when given, receives the body's bytes as served.
bool FetchText(const std::string& url, std::string& text, std::string* raw = nullptr);
// -1 no version information, 0 not newer, 1 newer. With trusted keys in
// pub_key (strict mode) a manifest whose signature, product or expiry does
// not hold is no version information, CheckReason says why (one of the
// texts below) and the fields stay empty.
int32_t EvaluateManifest();

// The UTF-8 byte order mark, and the text of a manifest as the program's
// UTF-8: after the mark it is UTF-8 already (bytes that are no UTF-8 turn
// into U+FFFD); without it, it is in the system code page. The signature
// and the digests cover the bytes as served, never this text.
constexpr const char* kUtf8Mark = "\xEF\xBB\xBF";
std::string ManifestAsUtf8(const std::string& text);

extern const char* const kReasonNotSigned;
extern const char* const kReasonBadSignature;
extern const char* const kReasonOtherProduct;
extern const char* const kReasonExpired;
extern const char* const kReasonBadKey;

// A delta line: "delta_" + base version = the delta package's file name, its
// SHA-256 (64 hex digits) and its length, separated by blanks.
struct DeltaLine {
  std::string file, sha256, size;
};
std::string DeltaKey(const std::string& baseVersion);
// False unless the value holds exactly a plain .zip name, a digest and a
// length, all well formed.
bool ParseDeltaLine(const std::string& value, DeltaLine& out);

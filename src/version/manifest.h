// The version manifest: obtaining it and reading its key=value lines.
#pragma once

#include <cstdint>
#include <string>

// The text between the first start marker and the first end marker after it;
// empty when either is missing.
std::string ExtractValue(const std::string& text, const std::string& start, const std::string& end);
// A local text file as lines joined by CR LF. False when it does not exist;
// a file that exists but cannot be read raises EInOutError. False, with an
// empty text, for a file longer than a manifest may be (kManifestMaxBytes).
bool ReadTextFile(const std::string& path, std::string& text);
// The body of a URL. False, with an empty text, when the URL cannot be
// opened, the server answered with a status outside 200 to 299 (after the
// redirects that are followed), the transfer broke off or passed a limit,
// or the body is longer than kManifestMaxBytes.
bool FetchText(const std::string& url, std::string& text);
// -1 no version information, 0 not newer, 1 newer.
int32_t EvaluateManifest();

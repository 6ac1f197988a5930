// The version manifest: obtaining it and reading its key=value lines.
#pragma once

#include <cstdint>
#include <string>

// The text between the first start marker and the first end marker after it;
// empty when either is missing.
std::string ExtractValue(const std::string& text, const std::string& start, const std::string& end);
// A local text file as lines joined by CR LF. False when it does not exist;
// a file that exists but cannot be read raises EInOutError.
bool ReadTextFile(const std::string& path, std::string& text);
// The body of a URL. False, with an empty text, when the URL cannot be
// opened, the server answered with an error status or the transfer broke off.
bool FetchText(const std::string& url, std::string& text);
// -1 no version information, 0 not newer, 1 newer.
int32_t EvaluateManifest();

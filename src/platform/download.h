#pragma once

#include <string>

// Saves the body of url into a file created anew at path. False when the
// URL did not open (an error status included) or the transfer broke off;
// no file is left behind then. Errors creating or writing the file raise
// EInOutError.
bool DownloadFile(const std::string& url, const std::string& path);

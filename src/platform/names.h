// Name handling shared by every part of the program: upper-casing, the
// file-name part of a path and the extension of a name.
#pragma once

#include <string>

// Only a-z change; bytes from 128 up stay as they are, whatever the code page.
std::string UpperCase(const std::string& s);
// The text after the last folder delimiter; the whole text when it has none.
std::string ExtractFileName(const std::string& path);
// The folder part, up to and including the last folder delimiter.
std::string ExtractFilePath(const std::string& path);
// From the last dot, dot included, when no folder delimiter follows it.
std::string ExtractFileExt(const std::string& name);
// The name with its extension removed.
std::string StripFileExt(const std::string& name);
// The name with its extension replaced, or ext appended when it has none.
std::string ChangeFileExt(const std::string& name, const std::string& ext);
// A name that may be joined to a folder without leaving it: not empty, not
// "." or "..", no separators, no drive colon, no control bytes and none of
// the bytes Windows refuses in names (wildcards, quotes, <, >, |).
bool IsPlainFileName(const std::string& name);
// A name that Windows can store as one file or folder name, so that it
// neither fails there nor aliases another file: not empty, not "." or
// "..", not a reserved device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1
// to LPT9, in any letter case, with or without an extension), not ending
// in a dot or a blank, no ':' (an alternate data stream), no bytes 0 to 31
// and none of < > " | ? * or a separator.
bool IsStorableName(const std::string& name);

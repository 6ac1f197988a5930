// The profile reader of the POSIX build: looks a key up in INI text the way
// the Windows profile reader does where the program depends on it.
#pragma once

#include <string>

// Section and key names match without regard to case; the first matching
// section and key count; ';' starts a comment line; blanks around the value
// and one pair of enclosing quotes are removed; at most 1023 bytes are kept.
// False when the key is absent.
bool IniLookup(const std::string& text, const std::string& section, const std::string& key,
               std::string& value);

// Reading the manifest's keys, for every reader of them (the check, staged
// releases, deltas, the vendor's tool): a key is found by a plain search
// for "key=" anywhere in the text, the first occurrence counts, and its
// value runs to the next CR.
#pragma once

#include <string>

// The text between the first start marker and the first end marker after it;
// empty when either is missing.
std::string ExtractValue(const std::string& text, const std::string& start, const std::string& end);
// True when "key=" occurs in text.
bool HasKey(const std::string& text, const std::string& key);
// The value of key up to the next CR, trimmed; empty when absent.
std::string KeyValue(const std::string& text, const std::string& key);

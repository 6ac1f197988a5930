// Making binary patches (the format is in install/patch.h): a search for
// the longest matches of the new file in the old one over a suffix array,
// runs of old bytes that mostly agree carried as small differences.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The work a patch may take per byte of the two files, in steps of the
// suffix sort (a group of g suffixes costs g log2 g) and bytes compared by
// the search; past it the new file is carried whole. Two versions of a
// 9 MB program take about 14 a byte; a file of one byte repeated takes
// far more.
constexpr uint64_t kPatchWorkPerByte = 32;

// The patch that turns oldBytes into newBytes. False when either is over
// kPatchMaxFileSize or the search took more than its share of work
// (files that repeat themselves at length).
bool MakePatch(const std::string& oldBytes, const std::string& newBytes, std::string& patch,
               uint64_t workPerByte = kPatchWorkPerByte);

// The suffixes of data in lexicographic order (a shorter suffix before the
// longer ones it begins), sorted by prefix doubling. False, with order
// unfinished, when the sort needs more than budget steps.
bool SortSuffixes(const uint8_t* data, size_t size, std::vector<int32_t>& order, uint64_t& budget);

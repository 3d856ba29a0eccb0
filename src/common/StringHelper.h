#pragma once
// Small string functions.

#include <string>

namespace StringHelper {

// The text after the last occurrence of the separator; the whole text when
// the separator is empty or does not occur.
std::string SplitGetLast(const std::string& text, const std::string& separator);

std::string ToLower(const std::string& text);

// Orders a file listing: empty names first, then directories (ending in "/"),
// then the rest, each group case-insensitively. A strict weak ordering, so it
// is safe for std::sort.
bool FileComparator(const std::string& a, const std::string& b);

}  // namespace StringHelper

#pragma once
// Base64 of RFC 4648 (standard alphabet, "=" padding), never broken into
// lines: picture texts for the remote clients and the stored cloud credentials.

#include <cstddef>
#include <string>
#include <vector>

namespace Base64 {

// The text of the bytes, nothing appended.
std::string Encode(char const* data, unsigned int length);
// Decodes into a buffer with room for as many bytes as the text has
// characters; returns the bytes written. Characters outside the alphabet
// (padding, blanks, line breaks) are skipped; a final incomplete byte is dropped.
unsigned int Decode(std::string const& text, char* out);
std::vector<unsigned char> Decode(std::string const& text);

// Characters of the text of `length` bytes: 4 * ceil(length / 3).
std::size_t EncodedLength(std::size_t length);
// Writes exactly EncodedLength(length) characters (no NUL) and returns that count.
std::size_t EncodeInto(const unsigned char* data, std::size_t length, char* out);

}  // namespace Base64

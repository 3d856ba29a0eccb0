#include "vision/Base64.h"

#include <algorithm>

extern "C" {
#include <b64/cdecode.h>
#include <b64/cencode.h>
}

namespace Base64 {

namespace {

// libb64 writes a line feed after every 72 characters and one at the end. It
// encodes block by block into a scratch buffer with room for them, and only
// the characters of the alphabet are copied out.
constexpr std::size_t kBlockBytes = 3 * 1024;
constexpr std::size_t kScratchChars = kBlockBytes / 3 * 4 + kBlockBytes / 54 + 16;

std::size_t CopyWithoutLineFeeds(const char* from, int count, char* to) {
    std::size_t written = 0;
    for (int i = 0; i < count; ++i) {
        if (from[i] != '\n' && from[i] != '\r') to[written++] = from[i];
    }
    return written;
}

}  // namespace

std::size_t EncodedLength(std::size_t length) { return (length + 2) / 3 * 4; }

std::size_t EncodeInto(const unsigned char* data, std::size_t length, char* out) {
    base64_encodestate state;
    base64_init_encodestate(&state);
    char scratch[kScratchChars];
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < length; offset += kBlockBytes) {
        const std::size_t block = std::min(kBlockBytes, length - offset);
        const int count = base64_encode_block(reinterpret_cast<const char*>(data + offset), static_cast<int>(block),
                                              scratch, &state);
        written += CopyWithoutLineFeeds(scratch, count, out + written);
    }
    const int count = base64_encode_blockend(scratch, &state);
    written += CopyWithoutLineFeeds(scratch, count, out + written);
    return written;
}

std::string Encode(char const* data, unsigned int length) {
    std::string text(EncodedLength(length), '\0');
    text.resize(EncodeInto(reinterpret_cast<const unsigned char*>(data), length, &text[0]));
    return text;
}

unsigned int Decode(std::string const& text, char* out) {
    if (text.empty()) return 0;
    base64_decodestate state;
    base64_init_decodestate(&state);
    // The decoder stores the bits of an incomplete byte one place past the
    // count; decoding never yields more bytes than characters, so the
    // caller's buffer holds that too.
    const int count = base64_decode_block(text.data(), static_cast<int>(text.size()), out, &state);
    return static_cast<unsigned int>(count);
}

std::vector<unsigned char> Decode(std::string const& text) {
    std::vector<unsigned char> bytes(text.size() + 1);
    bytes.resize(Decode(text, reinterpret_cast<char*>(bytes.data())));
    return bytes;
}

}  // namespace Base64

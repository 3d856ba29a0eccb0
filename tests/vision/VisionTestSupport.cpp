#include "vision/VisionTestSupport.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <zlib.h>

#include "vision/Base64.h"

namespace VisionTest {

void Put4(Bytes& bytes, std::size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

void Put2(Bytes& bytes, std::size_t offset, uint16_t value) {
    bytes[offset] = static_cast<unsigned char>(value);
    bytes[offset + 1] = static_cast<unsigned char>(value >> 8);
}

Bytes MakeBmp(const BmpLayout& layout) {
    const uint32_t entries = layout.palette.empty() ? (layout.coloursUsed == 0 ? 256 : layout.coloursUsed)
                                                  : static_cast<uint32_t>(layout.palette.size());
    const uint32_t stride = (layout.width + 3) / 4 * 4;
    const uint32_t dataOffset = 54 + 4 * entries;
    Bytes file(dataOffset + stride * layout.height, 0);
    file[0] = 'B';
    file[1] = 'M';
    Put4(file, 2, static_cast<uint32_t>(file.size()));
    Put4(file, 10, dataOffset);
    Put4(file, 14, 40);
    Put4(file, 18, layout.width);
    Put4(file, 22, layout.height);
    Put2(file, 26, 1);
    Put2(file, 28, layout.bitsPerPixel);
    Put4(file, 30, layout.compression);
    Put4(file, 46, layout.coloursUsed);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t value = layout.palette.empty() ? (i & 0xFF) * 0x010101u : layout.palette[i];
        Put4(file, 54 + 4 * i, value);
    }
    for (uint32_t y = 0; y < layout.height; ++y) {
        for (uint32_t x = 0; x < layout.width; ++x) {
            const std::size_t index = static_cast<std::size_t>(y) * layout.width + x;
            file[dataOffset + y * stride + x] = index < layout.pixels.size() ? layout.pixels[index] : 0;
        }
        // Padding bytes that a reader must skip.
        for (uint32_t x = layout.width; x < stride; ++x) file[dataOffset + y * stride + x] = 0xEE;
    }
    return file;
}

namespace {

struct DecodeErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void DecodeErrorExit(j_common_ptr info) { std::longjmp(reinterpret_cast<DecodeErrors*>(info->err)->jump, 1); }

struct DecodeJob {
    jpeg_decompress_struct info{};
    DecodeErrors errors;
};

bool RunDecode(DecodeJob* job, const Bytes* jpeg, bool rawYCbCr, DecodedJpeg* result) {
    job->info.err = jpeg_std_error(&job->errors.base);
    job->errors.base.error_exit = DecodeErrorExit;
    if (setjmp(job->errors.jump) != 0) {
        jpeg_destroy_decompress(&job->info);
        return false;
    }
    jpeg_create_decompress(&job->info);
    jpeg_mem_src(&job->info, jpeg->data(), static_cast<unsigned long>(jpeg->size()));
    jpeg_read_header(&job->info, TRUE);
    if (rawYCbCr && job->info.jpeg_color_space == JCS_YCbCr) job->info.out_color_space = JCS_YCbCr;
    jpeg_start_decompress(&job->info);
    result->width = job->info.output_width;
    result->height = job->info.output_height;
    result->components = job->info.output_components;
    const std::size_t stride = static_cast<std::size_t>(result->width) * result->components;
    result->pixels.resize(stride * result->height);
    while (job->info.output_scanline < job->info.output_height) {
        JSAMPROW row = result->pixels.data() + job->info.output_scanline * stride;
        jpeg_read_scanlines(&job->info, &row, 1);
    }
    jpeg_finish_decompress(&job->info);
    jpeg_destroy_decompress(&job->info);
    return true;
}

}  // namespace

DecodedJpeg DecodeJpeg(const Bytes& jpeg, bool rawYCbCr) {
    DecodedJpeg result;
    if (jpeg.empty()) return result;
    DecodeJob job;
    result.ok = RunDecode(&job, &jpeg, rawYCbCr, &result);
    return result;
}

bool Gunzip(const unsigned char* data, std::size_t length, Bytes& out, std::size_t* consumed) {
    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return false;
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(length);
    out.clear();
    unsigned char chunk[4096];
    int code = Z_OK;
    while (code == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        code = inflate(&stream, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof(chunk) - stream.avail_out));
        if (code == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    if (consumed != nullptr) *consumed = length - stream.avail_in;
    inflateEnd(&stream);
    return code == Z_STREAM_END;
}

Bytes DecodeText(const std::vector<char>& text) {
    std::string s(text.begin(), text.end());
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return Base64::Decode(s);
}

Bytes RandomBytes(std::size_t count, uint32_t seed) {
    Bytes bytes(count);
    uint32_t state = seed * 2654435761u + 1;
    for (unsigned char& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

}  // namespace VisionTest

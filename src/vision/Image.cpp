#include "vision/Image.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jpeglib.h>
#include <zlib.h>

#include "common/LogSingleton.h"
#include "vision/Base64.h"

namespace Imaging {

namespace {

// The library's standard handler ends the process on a fatal error; this one
// jumps back to the caller, which reports it and returns an empty JPEG.
struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr info) {
    JpegErrorManager* errors = reinterpret_cast<JpegErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void JpegOutputMessage(j_common_ptr) {}

// Everything that must survive a jump back into the setjmp frame lives here,
// outside the function that calls setjmp.
struct JpegJob {
    jpeg_compress_struct info{};
    JpegErrorManager errors;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    std::vector<JSAMPROW> rows;
};

bool CompressJpeg(JpegJob* job, uint32_t width, uint32_t height, int colorSpace,
                  int components) {
    job->info.err = jpeg_std_error(&job->errors.base);
    job->errors.base.error_exit = JpegErrorExit;
    job->errors.base.output_message = JpegOutputMessage;
    job->errors.message[0] = '\0';
    if (setjmp(job->errors.jump) != 0) {
        jpeg_destroy_compress(&job->info);
        return false;
    }
    jpeg_create_compress(&job->info);
    jpeg_mem_dest(&job->info, &job->buffer, &job->size);
    job->info.image_width = width;
    job->info.image_height = height;
    job->info.input_components = components;
    job->info.in_color_space = static_cast<J_COLOR_SPACE>(colorSpace);
    jpeg_set_defaults(&job->info);
    jpeg_set_quality(&job->info, 75, TRUE);
    jpeg_start_compress(&job->info, TRUE);
    jpeg_write_scanlines(&job->info, job->rows.data(), height);
    jpeg_finish_compress(&job->info);
    jpeg_destroy_compress(&job->info);
    return true;
}

}  // namespace

Image::Image(unsigned int w, unsigned int h) : width(w), height(h), timestamp(std::time(nullptr)) {}

uint64_t Image::GZipBound(unsigned int length) {
    // Without a stream deflateBound assumes the 6-byte zlib wrapper; the gzip
    // wrapper takes 18.
    return static_cast<uint64_t>(deflateBound(nullptr, length)) + 12;
}

unsigned int Image::CompressDataGZip(unsigned char* input, unsigned int length, unsigned char* output,
                                     unsigned int capacity) const {
    LogSingleton* log = LogSingleton::instance();
    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    stream.zalloc = Z_NULL;
    stream.zfree = Z_NULL;
    stream.opaque = Z_NULL;
    stream.next_in = input;
    stream.avail_in = length;
    stream.next_out = output;
    stream.avail_out = capacity;

    unsigned int result = 0;
    const int init = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    if (init != Z_OK) {
        switch (init) {
            case Z_VERSION_ERROR: log->addError("Could not compress image: incompatible library version"); break;
            case Z_MEM_ERROR: log->addError("Could not compress image: not enough memory"); break;
            case Z_STREAM_ERROR: log->addError("Could not compress image: invalid parameter"); break;
            default: break;
        }
        return 0;
    }
    const int code = deflate(&stream, Z_FINISH);
    if (code == Z_STREAM_END) {
        result = static_cast<unsigned int>(stream.total_out) + 1;
    } else {
        switch (code) {
            case Z_BUF_ERROR: log->addError("Could not compress image: buffer error"); break;
            case Z_STREAM_ERROR: log->addError("Could not compress image: inconsistent stream state"); break;
            case Z_OK: log->addError("Could not compress image: not done yet"); break;
            default: break;
        }
    }
    deflateEnd(&stream);
    return result;
}

unsigned int Image::EncodeDataB64(unsigned char const* input, unsigned int length, char* output) const {
    const std::size_t written = Base64::EncodeInto(input, length, output);
    output[written] = '\0';
    return static_cast<unsigned int>(written + 1);
}

void Image::EncodeTextHXP(const unsigned char* bytes, std::size_t length, std::vector<char>& out) const {
    out.assign(Base64::EncodedLength(length) + 1, '\0');
    out.resize(EncodeDataB64(bytes, static_cast<unsigned int>(length), out.data()));
}

void Image::EncodeCloudAsHXP(std::vector<char>& out) const {
    std::vector<unsigned char> jpeg;
    EncodeCloud(jpeg);
    if (jpeg.empty()) {
        out.clear();
        return;
    }
    EncodeTextHXP(jpeg.data(), jpeg.size(), out);
}

void Image::ImageDataToHXPGrayScale(unsigned char* payload, unsigned int length, std::vector<char>& out,
                                    bool compress) const {
    std::vector<unsigned char> buffer;
    std::size_t count = 0;
    if (compress) {
        // Type byte, the member, and the one zero byte the text has always
        // carried after it: the buffer never ends before what is encoded.
        const uint64_t bound = GZipBound(length);
        if (bound > UINT32_MAX - 2) {
            LogSingleton::instance()->addError("Could not compress image: buffer error");
            out.clear();
            return;
        }
        buffer.assign(static_cast<std::size_t>(bound) + 2, 0);
        buffer[0] = 17;
        const unsigned int compressed =
            CompressDataGZip(payload, length, buffer.data() + 1, static_cast<unsigned int>(bound));
        count = compressed == 0 ? 0 : compressed + 1;
    } else {
        buffer.resize(static_cast<std::size_t>(length) + 1);
        buffer[0] = 16;
        if (length > 0) std::memcpy(buffer.data() + 1, payload, length);
        count = buffer.size();
    }
    if (count == 0) {
        out.clear();
        return;
    }
    EncodeTextHXP(buffer.data(), count, out);
}

void Image::ImageDataToJPEG(unsigned char* pixels, unsigned int, std::vector<unsigned char>& out, int colorSpace,
                            int components) const {
    JpegJob job;
    job.rows.resize(height);
    const std::size_t stride = static_cast<std::size_t>(width) * static_cast<std::size_t>(components);
    for (uint32_t i = 0; i < height; ++i) job.rows[i] = pixels + i * stride;
    const bool ok = CompressJpeg(&job, width, height, colorSpace, components);
    if (ok) {
        out.assign(job.buffer, job.buffer + job.size);
    } else {
        out.clear();
        LogSingleton::instance()->addError(std::string("Could not compress image to JPEG: ") + job.errors.message);
    }
    std::free(job.buffer);
}

void Image::ImageDataToCloudGrayScale(unsigned char* pixels, unsigned int length,
                                      std::vector<unsigned char>& out) const {
    ImageDataToJPEG(pixels, length, out, JCS_GRAYSCALE, 1);
}

void Image::ImageDataToCloudRGB24(unsigned char* pixels, unsigned int length, std::vector<unsigned char>& out) const {
    ImageDataToJPEG(pixels, length, out, JCS_RGB, 3);
}

void Image::ImageDataToCloudYCbCr(unsigned char* pixels, unsigned int length, std::vector<unsigned char>& out) const {
    ImageDataToJPEG(pixels, length, out, JCS_YCbCr, 3);
}

}  // namespace Imaging

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "vision/ImageBitmap8BppIndexed.h"
#include "vision/ImageRGB24.h"
#include "vision/ImageYUV.h"
#include "vision/VisionTestSupport.h"

using VisionTest::BmpLayout;
using VisionTest::Bytes;

namespace {

std::string ParseError(const Bytes& file, std::size_t length) {
    try {
        Imaging::ImageBitmap8BppIndexed image(file.data(), static_cast<unsigned>(length));
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "accepted";
}

std::string ParseError(const Bytes& file) { return ParseError(file, file.size()); }

}  // namespace

TEST(BmpReader, RefusesWhatItCannotReadWithItsText) {
    struct Case {
        const char* name;
        std::function<void(BmpLayout&, Bytes&)> change;
        std::string expected;
    };
    const Case cases[] = {
        {"BX", [](BmpLayout&, Bytes& f) { f[1] = 'X'; }, "invalid file type"},
        {"XM", [](BmpLayout&, Bytes& f) { f[0] = 'X'; }, "invalid file type"},
        {"file size one byte more", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 2, f.size() + 1); },
         "invalid file size"},
        {"width 0 before depth", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 18, 0), VisionTest::Put2(f, 28, 24); },
         "invalid image size"},
        {"height 0", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 22, 0); }, "invalid image size"},
        {"1 bit", [](BmpLayout&, Bytes& f) { VisionTest::Put2(f, 28, 1); }, "bit depth not supported"},
        {"24 bit", [](BmpLayout&, Bytes& f) { VisionTest::Put2(f, 28, 24); }, "bit depth not supported"},
        {"RLE", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 30, 1); }, "compression not supported"},
        // Beyond what the format allows: nothing outside the given bytes is read.
        {"short header", [](BmpLayout&, Bytes& f) { f.resize(53), VisionTest::Put4(f, 2, 53); }, "invalid header size"},
        {"over 256 palette entries", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 46, 257); }, "invalid palette size"},
        {"palette past the end", [](BmpLayout&, Bytes& f) { f.resize(300), VisionTest::Put4(f, 2, 300); },
         "palette exceeds file size"},
        {"rows past the end", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 22, 3); }, "pixel data exceeds file size"},
        {"pixel offset past the end", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 10, 0xFFFFFFF0u); },
         "pixel data exceeds file size"},
        {"size product overflows",
         [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 18, 0x10000u), VisionTest::Put4(f, 22, 0x10001u); },
         "pixel data exceeds file size"},
        {"negative height", [](BmpLayout&, Bytes& f) { VisionTest::Put4(f, 22, 0xFFFFFFFEu); },
         "pixel data exceeds file size"},
    };
    for (const Case& c : cases) {
        BmpLayout layout;
        Bytes file = VisionTest::MakeBmp(layout);
        c.change(layout, file);
        EXPECT_EQ(ParseError(file), c.expected) << c.name;
    }
    EXPECT_EQ(ParseError(Bytes{'B'}), "invalid file type");
    EXPECT_EQ(ParseError(Bytes{}), "invalid file type");
}

TEST(BmpReader, FileSizeFieldMayEqualTheLength) {
    const Bytes file = VisionTest::MakeBmp(BmpLayout());
    EXPECT_EQ(ParseError(file), "accepted");
    EXPECT_EQ(ParseError(file, file.size() - 1), "invalid file size");
}

TEST(BmpReader, ColoursUsedSetsThePaletteCount) {
    BmpLayout layout;
    layout.pixels = {0, 15, 16, 255};
    layout.palette.assign(256, 0x80808080u);
    Bytes full = VisionTest::MakeBmp(layout);  // colours used 0: all 256 entries
    Imaging::ImageBitmap8BppIndexed all(full.data(), static_cast<unsigned>(full.size()));
    EXPECT_EQ(all.GetPixel(1, 1).bytes[0], 0x80);

    layout.coloursUsed = 16;
    layout.palette.assign(16, 0x40404040u);
    const Bytes sixteen = VisionTest::MakeBmp(layout);
    Imaging::ImageBitmap8BppIndexed part(sixteen.data(), static_cast<unsigned>(sixteen.size()));
    EXPECT_EQ(part.GetPixel(1, 0).bytes[0], 0x40);  // index 15
    EXPECT_EQ(part.GetPixel(0, 1).bytes[0], 0);     // index 16: never read
    EXPECT_EQ(part.GetPixel(1, 1).bytes[3], 0);
}

// Rows are padded to 4 bytes in the file; the padding is no picture.
TEST(BmpReader, RowsAreReadAtThePaddedStride) {
    BmpLayout layout;
    layout.width = 3;
    layout.height = 3;
    layout.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const Bytes file = VisionTest::MakeBmp(layout);
    Imaging::ImageBitmap8BppIndexed image(file.data(), static_cast<unsigned>(file.size()));
    for (unsigned y = 0; y < 3; ++y)
        for (unsigned x = 0; x < 3; ++x) EXPECT_EQ(image.GetPixel(x, y).bytes[0], layout.pixels[y * 3 + x]);
}

TEST(BmpReader, GetPixelOutsideThePictureThrows) {
    const Bytes file = VisionTest::MakeBmp(BmpLayout());
    Imaging::ImageBitmap8BppIndexed image(file.data(), static_cast<unsigned>(file.size()));
    EXPECT_THROW(image.GetPixel(2, 0), std::out_of_range);
    EXPECT_THROW(image.GetPixel(0, 2), std::out_of_range);
    EXPECT_NO_THROW(image.GetPixel(1, 1));
}

// The gray value is the entry's first byte: BMP palettes store blue, green,
// red and a reserved zero, so the reserved byte would make every picture black.
TEST(BmpReader, HxpPayloadHasTheHeaderAndGrayValuesRowByRow) {
    BmpLayout layout;
    layout.pixels = {10, 20, 30, 40};
    const Bytes file = VisionTest::MakeBmp(layout);
    Imaging::ImageBitmap8BppIndexed image(file.data(), static_cast<unsigned>(file.size()));
    std::vector<char> text;
    image.EncodeHXP(text, false);
    const Bytes decoded = VisionTest::DecodeText(text);
    const Bytes expected = {16, 2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 10, 20, 30, 40};
    EXPECT_EQ(decoded, expected);

    image.EncodeHXP(text, true);
    const Bytes packed = VisionTest::DecodeText(text);
    ASSERT_EQ(packed[0], 17);
    Bytes inflated;
    ASSERT_TRUE(VisionTest::Gunzip(packed.data() + 1, packed.size() - 1, inflated));
    EXPECT_EQ(inflated, Bytes(expected.begin() + 1, expected.end()));
}

TEST(RgbFrame, ShortFrameIsRefusedAndLongerAccepted) {
    const Bytes frame(3 * 4 * 2);
    try {
        Imaging::ImageRGB24 image(frame.data(), 23, 4, 2);
        FAIL() << "accepted a short frame";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid image data length (23 < 24)");
    }
    Bytes longer(30, 7);
    longer[3] = 1;
    longer[4] = 2;
    longer[5] = 3;
    Imaging::ImageRGB24 image(longer.data(), 30, 4, 2);
    EXPECT_EQ(image.GetPixels().size(), 8u);
    EXPECT_EQ(image.GetPixels()[1].r, 1);
    EXPECT_EQ(image.GetPixels()[1].b, 3);
}

// Size products are 64-bit: a huge picture never wraps round to a short frame.
TEST(RgbFrame, HugeSizesDoNotWrap) {
    const Bytes frame(64);
    try {
        Imaging::ImageRGB24 image(frame.data(), 64, 0x80000000u, 2);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid image data length (64 < 12884901888)");
    }
    EXPECT_THROW(Imaging::ImageYUV(frame.data(), 64, 0x80000000u, 0x80000000u), std::invalid_argument);
    EXPECT_THROW(Imaging::ImageYUV(frame.data(), 0, 0x80000000u, 0x80000000u), std::invalid_argument);
}

TEST(YuvFrame, MustBeExactlyTwoBytesPerPixel) {
    const Bytes frame(614401);
    try {
        Imaging::ImageYUV image(frame.data(), 614401, 640, 480);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid image data length (614401 < 614400)");
    }
    EXPECT_NO_THROW(Imaging::ImageYUV(frame.data(), 614400, 640, 480));
    try {
        Imaging::ImageYUV image(frame.data(), 6, 3, 1);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid image data length while parsing");
    }
}

TEST(YuvFrame, PairsShareTheirChroma) {
    const Bytes frame = {10, 100, 20, 200, 30, 101, 40, 201};
    Imaging::ImageYUV image(frame.data(), 8, 4, 1);
    const auto& p = image.GetPixels();
    EXPECT_EQ(p[0].y, 10);
    EXPECT_EQ(p[1].y, 20);
    EXPECT_EQ(p[1].u, 100);
    EXPECT_EQ(p[1].v, 200);
    EXPECT_EQ(p[3].y, 40);
    EXPECT_EQ(p[3].v, 201);
}

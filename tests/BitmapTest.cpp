#include "image/Bitmap.h"
#include "render/LumivarCreator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace stavenwick {
namespace {

std::uint32_t le32(const std::vector<unsigned char>& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint16_t le16(const std::vector<unsigned char>& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::vector<unsigned char> encoded(const Bitmap& bitmap)
{
    std::vector<unsigned char> file(bitmap.encodedSize());
    bitmap.encode(file.data());
    return file;
}

TEST(BitmapTest, FreshBitmapFileHasEveryHeaderFieldAndBlackPixels)
{
    const std::vector<unsigned char> file = encoded(Bitmap(800, 600));
    ASSERT_EQ(file.size(), 54u + 800u * 600u * 3u);
    EXPECT_EQ(file[0], 0x42);
    EXPECT_EQ(file[1], 0x4D);
    EXPECT_EQ(le32(file, 2), file.size());
    EXPECT_EQ(le32(file, 6), 0u);
    EXPECT_EQ(le32(file, 10), 54u);
    EXPECT_EQ(le32(file, 14), 40u);
    EXPECT_EQ(le32(file, 18), 800u);
    EXPECT_EQ(le32(file, 22), 600u);
    EXPECT_EQ(le16(file, 26), 1);
    EXPECT_EQ(le16(file, 28), 24);
    EXPECT_EQ(le32(file, 30), 0u);
    EXPECT_EQ(le32(file, 34), 0u);
    EXPECT_EQ(le32(file, 38), 2400u);
    EXPECT_EQ(le32(file, 42), 2400u);
    EXPECT_EQ(le32(file, 46), 0u);
    EXPECT_EQ(le32(file, 50), 0u);
    for (std::size_t i = 54; i < file.size(); ++i) {
        ASSERT_EQ(file[i], 0) << "at byte " << i;
    }
}

TEST(BitmapTest, PixelsAreStoredBlueGreenRedBottomRowFirst)
{
    Bitmap bitmap(4, 3);
    bitmap.putPixel(0, 0, 255, 0, 0);
    bitmap.putPixel(1, 2, 10, 20, 30);

    const std::vector<unsigned char> file = encoded(bitmap);
    EXPECT_EQ(file[54], 0x00);
    EXPECT_EQ(file[55], 0x00);
    EXPECT_EQ(file[56], 0xFF);
    // 3·1 + 3·2·4 = 27 past the headers: rows of 12 bytes need no padding
    EXPECT_EQ(file[54 + 27], 30);
    EXPECT_EQ(file[54 + 28], 20);
    EXPECT_EQ(file[54 + 29], 10);
}

TEST(BitmapTest, RowsThatAreAMultipleOfFourBytesHaveNoPadding)
{
    EXPECT_EQ(encoded(Bitmap(4, 1)).size(), 66u);
    EXPECT_EQ(Bitmap(800, 600).encodedSize(), 54u + 2400u * 600u);
}

TEST(BitmapTest, OddWidthRowsArePaddedWithZerosAndCountedInTheFileSize)
{
    for (std::int32_t width : {1, 2, 3, 5, 7, 801}) {
        Bitmap bitmap(width, 3);
        for (std::int32_t y = 0; y < 3; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                bitmap.putPixel(x, y, 0xAA, 0xBB, static_cast<std::uint8_t>(x + y));
            }
        }
        // encoded into a dirty buffer: the padding must be written, not found
        std::vector<unsigned char> file(bitmap.encodedSize(), 0xEE);
        bitmap.encode(file.data());
        const std::size_t rowSize = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
        ASSERT_EQ(rowSize % 4, 0u);
        ASSERT_EQ(file.size(), 54 + rowSize * 3) << "width " << width;
        EXPECT_EQ(le32(file, 2), file.size()) << "width " << width;
        for (std::size_t y = 0; y < 3; ++y) {
            const unsigned char* row = file.data() + 54 + y * rowSize;
            for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
                ASSERT_EQ(row[3 * x], static_cast<unsigned char>(x + y));
                ASSERT_EQ(row[3 * x + 1], 0xBB);
                ASSERT_EQ(row[3 * x + 2], 0xAA);
            }
            for (std::size_t pad = static_cast<std::size_t>(width) * 3; pad < rowSize; ++pad) {
                ASSERT_EQ(row[pad], 0) << "width " << width << " row " << y;
            }
        }
    }
}

TEST(BitmapTest, PixelCountStopsExactlyAtTheSizeFieldsEnd)
{
    // 54 + padded row × height must fit the signed 32-bit size field; nothing is allocated here,
    // so no allocator's own failure can stand in for the check
    const struct {
        std::int32_t width;
        std::int32_t height;
        bool fits;
    } cases[] = {
        {238609288, 3, true},  // 54 + 3 × 715,827,864: 2,147,483,646, the row exactly the bound
        {238609289, 3, false}, // the next row size
        {715827864, 1, true},  // 54 + 2,147,483,592
        {715827865, 1, false}, // 54 + 2,147,483,596
        {1, 536870898, true},  // rows of 4 bytes, to 2,147,483,646
        {1, 536870899, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        if (c.fits) {
            EXPECT_EQ(Bitmap::pixelCount(c.width, c.height),
                      static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height));
        } else {
            EXPECT_THROW(Bitmap::pixelCount(c.width, c.height), std::bad_array_new_length);
        }
    }
}

TEST(BitmapTest, SizesOutsideTheFormatOrTheMemoryFailLikeAnAllocation)
{
    constexpr std::int32_t MAX = 0x7FFFFFFF;
    const bool wide = sizeof(void*) == 8; // a 32-bit build cannot address some legal pictures
    const struct {
        std::int32_t width;
        std::int32_t height;
        bool bmp;      // fits the BMP format's signed 32-bit size field
        bool renderer; // a renderer of this size can be built on this build, memory permitting
    } cases[] = {
        {0, 600, false, false},
        {800, 0, false, false},
        {-800, -600, false, false},
        {MAX, MAX, false, false},        // the padded size times the height passes 2^63
        {MAX, 1431655766, false, false}, // likewise, by the smallest height
        {26755, 26755, false, false},    // just past the size field
        {65536, 65536, false, false},    // 65536 × 65536 × 3 wraps to 0 in 32 bits
        {1, MAX, false, false},
        {1, (MAX - 54) / 4 + 1, false, false}, // a 1-pixel row takes 4 bytes in the file
        {1, (MAX - 54) / 4, true, true},       // the largest: 4 bytes short of the field's end
        {300000000, 1, true, wide},            // a column array of 2.4 GB
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
        if (!c.bmp) {
            EXPECT_THROW(Bitmap(c.width, c.height), std::bad_alloc);
            EXPECT_THROW(LumivarCreator(c.width, c.height), std::bad_alloc);
            continue;
        }
        try {
            const Bitmap bitmap(c.width, c.height);
            const std::size_t rowSize = (static_cast<std::size_t>(c.width) * 3 + 3) / 4 * 4;
            EXPECT_EQ(bitmap.encodedSize(), 54 + rowSize * static_cast<std::size_t>(c.height));
        } catch (const std::bad_alloc&) {
            // no such memory here: as legal an outcome as the picture
        }
        if (!c.renderer) {
            EXPECT_THROW(LumivarCreator(c.width, c.height), std::bad_alloc);
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define LUMIVAR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMIVAR_TEST_ASAN 1
#endif
#endif

TEST(BitmapTest, OverrunOfALargeBufferIsReportedByTheSanitizer)
{
#ifdef LUMIVAR_TEST_ASAN
    // the pixels of an 800×600 picture are a large block: one pixel past its end
    Bitmap bitmap(800, 600);
    EXPECT_DEATH(bitmap.putPixel(800, 599, 1, 2, 3), "heap-buffer-overflow");
#else
    GTEST_SKIP() << "only built with AddressSanitizer";
#endif
}

} // namespace
} // namespace stavenwick

// Independent decoders read the written files back and must see every pixel putPixel stored.
#include "image/Bitmap.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<stb/stb_image.h>) // Debian's libstb-dev
#define LUMIVAR_HAVE_STB 1
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#include <stb/stb_image.h>
#endif

namespace stavenwick {
namespace {

using testing::readFile;
using testing::TempDir;

struct Size {
    std::int32_t width;
    std::int32_t height;
};

const Size SIZES[] = {{1, 1}, {1, 3}, {2, 1}, {2, 3},   {3, 1},     {3, 4},   {5, 1},
                      {5, 3}, {7, 1}, {7, 5}, {800, 3}, {800, 600}, {801, 2}, {801, 7}};

// A different colour for nearly every pixel, so a shifted row or swapped channel shows.
std::uint8_t channel(std::int32_t x, std::int32_t y, int c)
{
    return static_cast<std::uint8_t>((x * 7 + y * 13 + c * 101 + (x * y) % 17) & 0xFF);
}

void paint(Bitmap& bitmap, Size size)
{
    for (std::int32_t y = 0; y < size.height; ++y) {
        for (std::int32_t x = 0; x < size.width; ++x) {
            bitmap.putPixel(x, y, channel(x, y, 0), channel(x, y, 1), channel(x, y, 2));
        }
    }
}

// Compares a top-down RGB dump with what was stored bottom-up.
void expectSamePixels(Size size, const unsigned char* rgb, const std::string& decoder)
{
    for (std::int32_t row = 0; row < size.height; ++row) {
        const std::int32_t y = size.height - 1 - row;
        for (std::int32_t x = 0; x < size.width; ++x) {
            const unsigned char* p = rgb + 3 * (static_cast<std::size_t>(row) * size.width + x);
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(p[c], channel(x, y, c))
                    << decoder << ": " << size.width << "x" << size.height << " pixel (" << x
                    << ", " << y << ") channel " << c;
            }
        }
    }
}

TEST(BmpDecodeTest, StbImageSeesEveryStoredPixel)
{
#ifndef LUMIVAR_HAVE_STB
    GTEST_SKIP() << "stb_image.h not installed (Debian package libstb-dev)";
#else
    for (const Size size : SIZES) {
        TempDir dir;
        Bitmap bitmap(size.width, size.height);
        paint(bitmap, size);
        ASSERT_TRUE(bitmap.save(dir / "t.bmp"));
        const std::vector<unsigned char> file = readFile(dir / "t.bmp");
        int width = 0;
        int height = 0;
        int channels = 0;
        unsigned char* rgb = stbi_load_from_memory(file.data(), static_cast<int>(file.size()),
                                                   &width, &height, &channels, 3);
        ASSERT_NE(rgb, nullptr) << stbi_failure_reason();
        EXPECT_EQ(width, size.width);
        EXPECT_EQ(height, size.height);
        expectSamePixels(size, rgb, "stb_image");
        stbi_image_free(rgb);
    }
#endif
}

// The standard output of a command, or nothing when it cannot run.
std::pair<bool, std::vector<unsigned char>> commandOutput(const std::string& command)
{
    std::vector<unsigned char> out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {false, out};
    }
    unsigned char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.insert(out.end(), buffer, buffer + got);
    }
    return {::pclose(pipe) == 0, out};
}

TEST(BmpDecodeTest, ImageMagickSeesEveryStoredPixel)
{
    const auto version = commandOutput("convert -version 2>/dev/null");
    const std::string text(version.second.begin(), version.second.end());
    if (!version.first || text.find("Version: ImageMagick") == std::string::npos) {
        GTEST_SKIP() << "ImageMagick's convert not installed (Debian package imagemagick)";
    }
    for (const Size size : SIZES) {
        TempDir dir;
        Bitmap bitmap(size.width, size.height);
        paint(bitmap, size);
        ASSERT_TRUE(bitmap.save(dir / "t.bmp"));
        const auto rgb = commandOutput("convert '" + (dir / "t.bmp") + "' -depth 8 rgb:-");
        ASSERT_TRUE(rgb.first) << size.width << "x" << size.height;
        ASSERT_EQ(rgb.second.size(), 3u * size.width * size.height);
        expectSamePixels(size, rgb.second.data(), "ImageMagick");
    }
}

} // namespace
} // namespace stavenwick

// The 40-byte information header (BITMAPINFOHEADER) that follows the BMP file header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavenwick {

struct BmpInfoHeader {
    static constexpr std::size_t SIZE = 40; // bytes in the file

    std::uint32_t biSize = SIZE;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0; // positive: the bottom row comes first
    std::uint16_t biPlanes = 1;
    std::uint16_t biBitCount = 24;
    std::uint32_t biCompression = 0; // uncompressed
    std::uint32_t biSizeImage = 0;   // may be 0 for uncompressed pictures
    std::int32_t biXPelsPerMeter = 2400;
    std::int32_t biYPelsPerMeter = 2400;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;

    // Writes the header as it stands in the file: packed, little-endian.
    void encode(std::uint8_t* out) const; // SIZE bytes
};

} // namespace stavenwick

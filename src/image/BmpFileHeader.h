// The 14-byte file header that opens every BMP file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavenwick {

struct BmpFileHeader {
    static constexpr std::size_t SIZE = 14; // bytes in the file

    char bfType[2]{'B', 'M'};
    std::uint32_t bfSize = 0; // bytes in the whole file
    std::uint32_t bfReserved = 0;
    std::uint32_t bfOffBits = 0; // offset of the pixel data from the start of the file

    // Writes the header as it stands in the file: packed, little-endian.
    void encode(std::uint8_t* out) const; // SIZE bytes
};

} // namespace stavenwick

// A 24-bit picture in memory, written to disk as an uncompressed BMP file.
#pragma once

#include "image/ZeroedArray.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace stavenwick {

class Bitmap {
public:
    static constexpr std::ptrdiff_t BYTES_PER_PIXEL = 3; // blue, green, red

    // Zero-filled (black). Throws a std::bad_alloc-family exception, before allocating, when a
    // side is not positive or the file would not fit the BMP format's signed 32-bit size field.
    Bitmap(std::int32_t width, std::int32_t height);
    virtual ~Bitmap();

    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;

    // No bounds check: callers pass 0 <= x < width and 0 <= y < height.
    void putPixel(std::int32_t x, std::int32_t y, std::uint8_t red, std::uint8_t green,
                  std::uint8_t blue)
    {
        std::uint8_t* pixel = m_pixels.get() + BYTES_PER_PIXEL * x + BYTES_PER_PIXEL * y * m_width;
        pixel[0] = blue;
        pixel[1] = green;
        pixel[2] = red;
    }

    // Writes the BMP file, replacing the file at fileName only once every byte is written.
    // Returns false, with errno telling why, when it was not written; the path then holds what
    // it held before.
    bool save(std::string fileName) const;

    // Pixel (x, y) is at offset 3·x + 3·y·width, blue first; rows from the bottom up, unpadded.
    const std::uint8_t* pixels() const { return m_pixels.get(); }
    // Bytes of one row in the file: width × 3 padded with zeros to a multiple of four.
    std::size_t fileRowSize() const;
    // Bytes of the whole file: the two headers and the padded rows.
    std::size_t fileSize() const;

private:
    std::int32_t m_width;
    std::int32_t m_height;
    ZeroedArray<std::uint8_t> m_pixels;
};

} // namespace stavenwick

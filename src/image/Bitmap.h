// A 24-bit picture in memory, encoded as an uncompressed BMP file and written to disk.
#pragma once

#include "../common/ZeroedArray.h"
#include "FileError.h"
#include <lumivar/LumivarExport.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace stavenwick {

class LUMIVAR_EXPORT Bitmap {
public:
    static constexpr std::ptrdiff_t BYTES_PER_PIXEL = 3; // blue, green, red

    // Zero-filled (black). Throws a std::bad_alloc-family exception, before allocating, when a
    // side is not positive or the file would not fit the BMP format's signed 32-bit size field,
    // and std::bad_alloc when the memory cannot be had.
    Bitmap(std::int32_t width, std::int32_t height);

    // width × height, once checked as the constructor checks it (and throws as it throws).
    static std::size_t pixelCount(std::int32_t width, std::int32_t height);
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

    // The pixels' bytes, for writing many at once: pixel (x, y) at 3·x + 3·y·width, blue,
    // green, red, rows from the bottom up, unpadded.
    std::uint8_t* pixels() { return m_pixels.get(); }

    // Bytes in the BMP file: the two headers and the rows, each padded to four bytes.
    std::size_t encodedSize() const;
    // Writes the whole BMP file, encodedSize() bytes, to out.
    void encode(std::uint8_t* out) const;

    // Writes the BMP file, replacing the file at fileName only once every byte is written.
    // Returns false when it was not written, with the reason in error; the path then holds
    // what it held before. Throws std::bad_alloc, the file untouched, when the file's bytes
    // cannot be allocated.
    bool save(std::string fileName, FileError& error) const;
    bool save(std::string fileName) const;

private:
    void encodeHeaders(std::uint8_t* out) const;

    std::int32_t m_width;
    std::int32_t m_height;
    // pixel (x, y) at 3·x + 3·y·width, rows from the bottom up, unpadded
    ZeroedArray<std::uint8_t> m_pixels;
};

} // namespace stavenwick

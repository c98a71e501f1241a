#include "image/Bitmap.h"

#include "image/AtomicFileWriter.h"
#include "image/BmpFileHeader.h"
#include "image/BmpInfoHeader.h"

#include <cstring>
#include <limits>
#include <new> // std::bad_array_new_length
#include <utility>

namespace stavenwick {

namespace {

constexpr std::int64_t HEADERS_SIZE = BmpFileHeader::SIZE + BmpInfoHeader::SIZE;

std::int64_t paddedRowSize(std::int64_t width)
{
    return (width * Bitmap::BYTES_PER_PIXEL + 3) / 4 * 4;
}

} // namespace

std::size_t Bitmap::pixelCount(std::int32_t width, std::int32_t height)
{
    // compared by division, so that no product can overflow on the way
    constexpr std::int64_t MAX_ROWS_BYTES = std::numeric_limits<std::int32_t>::max() - HEADERS_SIZE;
    if (width <= 0 || height <= 0 || paddedRowSize(width) > MAX_ROWS_BYTES / height) {
        throw std::bad_array_new_length();
    }
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

Bitmap::Bitmap(std::int32_t width, std::int32_t height)
    : m_width(width), m_height(height), m_pixels(pixelCount(width, height) * BYTES_PER_PIXEL)
{
}

Bitmap::~Bitmap() = default;

std::size_t Bitmap::encodedSize() const
{
    return static_cast<std::size_t>(HEADERS_SIZE + paddedRowSize(m_width) * m_height);
}

void Bitmap::encodeHeaders(std::uint8_t* out) const
{
    BmpFileHeader fileHeader;
    fileHeader.bfSize = static_cast<std::uint32_t>(encodedSize());
    fileHeader.bfOffBits = static_cast<std::uint32_t>(HEADERS_SIZE);
    BmpInfoHeader infoHeader;
    infoHeader.biWidth = m_width;
    infoHeader.biHeight = m_height;
    fileHeader.encode(out);
    infoHeader.encode(out + BmpFileHeader::SIZE);
}

void Bitmap::encode(std::uint8_t* out) const
{
    encodeHeaders(out);
    out += HEADERS_SIZE;

    const auto rowSize = static_cast<std::size_t>(m_width * BYTES_PER_PIXEL);
    const auto fileRowSize = static_cast<std::size_t>(paddedRowSize(m_width));
    if (rowSize == fileRowSize) {
        std::memcpy(out, m_pixels.get(), rowSize * static_cast<std::size_t>(m_height));
        return;
    }
    // every row of the file starts on a four-byte boundary
    for (std::int32_t y = 0; y < m_height; ++y) {
        std::memcpy(out, m_pixels.get() + rowSize * static_cast<std::size_t>(y), rowSize);
        std::memset(out + rowSize, 0, fileRowSize - rowSize);
        out += fileRowSize;
    }
}

// the name by value, as callers hand it over; the writer only reads it
bool Bitmap::save(std::string fileName, // NOLINT(performance-unnecessary-value-param)
                  FileError& error) const
{
    const std::size_t rowSize = static_cast<std::size_t>(m_width) * BYTES_PER_PIXEL;
    if (rowSize % 4 == 0) {
        // rows need no padding: the file is the headers, then the pixels as they are
        std::uint8_t headers[HEADERS_SIZE];
        encodeHeaders(headers);
        return writeFileAtomically(
            fileName, {{headers, sizeof headers}, {m_pixels.get(), m_pixels.size()}}, error);
    }
    ZeroedArray<std::uint8_t> file(encodedSize());
    encode(file.get());
    return writeFileAtomically(fileName, {{file.get(), file.size()}}, error);
}

bool Bitmap::save(std::string fileName) const
{
    FileError ignored;
    return save(std::move(fileName), ignored);
}

} // namespace stavenwick

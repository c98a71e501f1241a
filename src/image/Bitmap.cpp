#include "image/Bitmap.h"

#include "image/AtomicFileWriter.h"
#include "image/BmpFileHeader.h"
#include "image/BmpInfoHeader.h"

#include <cstdint>
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

// The size of the file, checked before anything is allocated: both sides positive and the
// whole file within the signed 32-bit size field.
std::size_t checkedPixelBytes(std::int32_t width, std::int32_t height)
{
    if (width <= 0 || height <= 0 ||
        HEADERS_SIZE + paddedRowSize(width) * height > std::numeric_limits<std::int32_t>::max()) {
        throw std::bad_array_new_length();
    }
    return static_cast<std::size_t>(std::int64_t{width} * height * Bitmap::BYTES_PER_PIXEL);
}

} // namespace

Bitmap::Bitmap(std::int32_t width, std::int32_t height)
    : m_width(width), m_height(height), m_pixels(checkedPixelBytes(width, height))
{
}

Bitmap::~Bitmap() = default;

std::size_t Bitmap::fileRowSize() const
{
    return static_cast<std::size_t>(paddedRowSize(m_width));
}

std::size_t Bitmap::fileSize() const
{
    return static_cast<std::size_t>(HEADERS_SIZE) +
           fileRowSize() * static_cast<std::size_t>(m_height);
}

bool Bitmap::save(std::string fileName) const
{
    BmpFileHeader fileHeader;
    fileHeader.bfSize = static_cast<std::uint32_t>(fileSize());
    fileHeader.bfOffBits = static_cast<std::uint32_t>(HEADERS_SIZE);
    BmpInfoHeader infoHeader;
    infoHeader.biWidth = m_width;
    infoHeader.biHeight = m_height;

    unsigned char fileBytes[BmpFileHeader::SIZE];
    unsigned char infoBytes[BmpInfoHeader::SIZE];
    fileHeader.encode(fileBytes);
    infoHeader.encode(infoBytes);

    AtomicFileWriter file(std::move(fileName));
    if (!file.open() || !file.write(fileBytes, sizeof fileBytes) ||
        !file.write(infoBytes, sizeof infoBytes)) {
        return false;
    }
    const std::size_t rowSize = static_cast<std::size_t>(m_width * BYTES_PER_PIXEL);
    const std::size_t padding = fileRowSize() - rowSize;
    if (padding == 0) {
        if (!file.write(m_pixels.get(), rowSize * static_cast<std::size_t>(m_height))) {
            return false;
        }
    } else {
        // every row of the file starts on a four-byte boundary
        static constexpr unsigned char zeros[3] = {0, 0, 0};
        for (std::int32_t y = 0; y < m_height; ++y) {
            if (!file.write(m_pixels.get() + rowSize * static_cast<std::size_t>(y), rowSize) ||
                !file.write(zeros, padding)) {
                return false;
            }
        }
    }
    return file.commit();
}

} // namespace stavenwick

#include "image/BmpInfoHeader.h"

#include "image/LittleEndian.h"

namespace stavenwick {

void BmpInfoHeader::encode(std::uint8_t* out) const
{
    std::uint8_t* at = out;
    at = littleEndian::put32(at, biSize);
    at = littleEndian::put32(at, static_cast<std::uint32_t>(biWidth));
    at = littleEndian::put32(at, static_cast<std::uint32_t>(biHeight));
    at = littleEndian::put16(at, biPlanes);
    at = littleEndian::put16(at, biBitCount);
    at = littleEndian::put32(at, biCompression);
    at = littleEndian::put32(at, biSizeImage);
    at = littleEndian::put32(at, static_cast<std::uint32_t>(biXPelsPerMeter));
    at = littleEndian::put32(at, static_cast<std::uint32_t>(biYPelsPerMeter));
    at = littleEndian::put32(at, biClrUsed);
    littleEndian::put32(at, biClrImportant);
}

} // namespace stavenwick

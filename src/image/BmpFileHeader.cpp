#include "image/BmpFileHeader.h"

#include "image/LittleEndian.h"

namespace stavenwick {

void BmpFileHeader::encode(std::uint8_t* out) const
{
    std::uint8_t* at = out;
    *at++ = static_cast<std::uint8_t>(bfType[0]);
    *at++ = static_cast<std::uint8_t>(bfType[1]);
    at = littleEndian::put32(at, bfSize);
    at = littleEndian::put32(at, bfReserved);
    littleEndian::put32(at, bfOffBits);
}

} // namespace stavenwick

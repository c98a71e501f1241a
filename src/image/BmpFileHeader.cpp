#include "image/BmpFileHeader.h"

#include "image/LittleEndian.h"

namespace stavenwick {

void BmpFileHeader::encode(unsigned char (&out)[SIZE]) const
{
    unsigned char* at = out;
    *at++ = static_cast<unsigned char>(bfType[0]);
    *at++ = static_cast<unsigned char>(bfType[1]);
    at = littleEndian::put32(at, bfSize);
    at = littleEndian::put32(at, bfReserved);
    littleEndian::put32(at, bfOffBits);
}

} // namespace stavenwick

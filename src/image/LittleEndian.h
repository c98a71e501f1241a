// Little-endian encoding of the integer fields of the BMP headers.
#pragma once

#include <cstdint>

namespace stavenwick {
namespace littleEndian {

// Writes the low `bytes` bytes of value at out, least significant first.
inline unsigned char* put(unsigned char* out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        *out++ = static_cast<unsigned char>(value >> (8 * i));
    }
    return out;
}

inline unsigned char* put16(unsigned char* out, std::uint16_t value)
{
    return put(out, value, 2);
}

inline unsigned char* put32(unsigned char* out, std::uint32_t value)
{
    return put(out, value, 4);
}

} // namespace littleEndian
} // namespace stavenwick

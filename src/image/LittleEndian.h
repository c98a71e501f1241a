// Little-endian encoding of the integer fields of the BMP headers.
#pragma once

#include <cstdint>

namespace stavenwick {
namespace littleEndian {

// Writes the low `bytes` bytes of value at out, least significant first.
inline std::uint8_t* put(std::uint8_t* out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        *out++ = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return out;
}

inline std::uint8_t* put16(std::uint8_t* out, std::uint16_t value)
{
    return put(out, value, 2);
}

inline std::uint8_t* put32(std::uint8_t* out, std::uint32_t value)
{
    return put(out, value, 4);
}

} // namespace littleEndian
} // namespace stavenwick

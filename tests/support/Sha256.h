// SHA-256 of a byte string, as lowercase hex: pins a whole file in one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace stavenwick::testing {

std::string sha256(const std::uint8_t* data, std::size_t size);

template <class Bytes>
std::string sha256(const Bytes& bytes)
{
    return sha256(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

} // namespace stavenwick::testing

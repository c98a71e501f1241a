// A fixed-size, zero-filled array, owned exclusively.
#pragma once

#include "ZeroedMemory.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace stavenwick {

// n elements of T as a byte count, checked before it is multiplied: throws
// std::bad_array_new_length (a std::bad_alloc) past what one object may span on this build.
template <class T>
std::size_t checkedBytes(std::size_t n)
{
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
        throw std::bad_array_new_length();
    }
    return n * sizeof(T);
}

template <class T>
class ZeroedArray {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");

public:
    // Throws std::bad_alloc when the memory cannot be had.
    explicit ZeroedArray(std::size_t size) : m_memory(checkedBytes<T>(size)), m_size(size) {}

    std::size_t size() const { return m_size; }
    T* get() { return static_cast<T*>(m_memory.get()); }
    const T* get() const { return static_cast<const T*>(m_memory.get()); }
    T& operator[](std::size_t i) { return get()[i]; }
    const T& operator[](std::size_t i) const { return get()[i]; }

private:
    ZeroedMemory m_memory;
    std::size_t m_size;
};

} // namespace stavenwick

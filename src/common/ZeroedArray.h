// A fixed-size, zero-filled array, owned exclusively.
#pragma once

#include "common/ZeroedMemory.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace stavenwick {

template <class T>
class ZeroedArray {
    static_assert(std::is_trivial_v<T>, "zero bytes must be a valid T");

public:
    // Throws std::bad_alloc when the memory cannot be had.
    explicit ZeroedArray(std::size_t size) : m_memory(bytesFor(size)), m_size(size) {}

    std::size_t size() const { return m_size; }
    T* get() { return static_cast<T*>(m_memory.get()); }
    const T* get() const { return static_cast<const T*>(m_memory.get()); }
    T& operator[](std::size_t i) { return get()[i]; }
    const T& operator[](std::size_t i) const { return get()[i]; }

private:
    static std::size_t bytesFor(std::size_t size)
    {
        if (size > SIZE_MAX / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return size * sizeof(T);
    }

    ZeroedMemory m_memory;
    std::size_t m_size;
};

} // namespace stavenwick

// A fixed-size, zero-filled array on the heap, owned exclusively.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace stavenwick {

// Allocated with calloc, which takes fresh zero pages from the system for large arrays instead
// of writing zeros over them as `new T[n]()` does.
template <class T>
class ZeroedArray {
    static_assert(std::is_trivial_v<T>, "calloc's zero bytes must be a valid T");

public:
    // Throws std::bad_alloc when the memory cannot be had.
    explicit ZeroedArray(std::size_t size)
        : m_data(static_cast<T*>(std::calloc(size ? size : 1, sizeof(T))))
    {
        if (!m_data) {
            throw std::bad_alloc();
        }
    }

    T* get() const { return m_data.get(); }
    T& operator[](std::size_t i) const { return m_data.get()[i]; }

private:
    struct Free {
        void operator()(T* data) const { std::free(data); }
    };
    std::unique_ptr<T, Free> m_data;
};

} // namespace stavenwick

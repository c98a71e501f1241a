// A Windows handle, closed with its owner.
#pragma once

#include <utility>

#include <windows.h>

namespace stavenwick {

class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : m_handle(std::exchange(other.m_handle, INVALID_HANDLE_VALUE))
    {
    }
    Handle& operator=(Handle&& other) noexcept
    {
        reset(std::exchange(other.m_handle, INVALID_HANDLE_VALUE));
        return *this;
    }

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE)
    {
        if (valid()) {
            CloseHandle(m_handle);
        }
        m_handle = handle;
    }
    // Closes it, reporting what CloseHandle reports.
    bool close() { return CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE)) != 0; }

private:
    HANDLE m_handle;
};

} // namespace stavenwick

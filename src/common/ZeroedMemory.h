// A block of zero-filled memory, owned exclusively: the home of the program's large buffers.
#pragma once

#include <lumivar/LumivarExport.h>

#include <cstddef>

namespace stavenwick {

// Large blocks come straight from the system, 2 MiB aligned and advised for huge pages where
// it offers them, so that filling them costs a few page faults rather than hundreds; small
// ones come from the ordinary allocator. Either way the memory starts as zeros.
class LUMIVAR_EXPORT ZeroedMemory {
public:
    // Throws std::bad_alloc when the memory cannot be had.
    explicit ZeroedMemory(std::size_t bytes);
    ~ZeroedMemory();

    ZeroedMemory(const ZeroedMemory&) = delete;
    ZeroedMemory& operator=(const ZeroedMemory&) = delete;

    void* get() const { return m_data; }

private:
    void* m_data = nullptr;
    // bytes mapped from the system; 0 when from the allocator (always, under AddressSanitizer)
    [[maybe_unused]] std::size_t m_mapped = 0;
};

} // namespace stavenwick

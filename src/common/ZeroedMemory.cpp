#include "common/ZeroedMemory.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#ifdef __linux__
#include <sys/mman.h> // mmap, madvise, munmap
#endif

// AddressSanitizer watches only what the ordinary allocator hands out: under it every block
// comes from there, so that an overrun of a large buffer is reported too.
#if defined(__SANITIZE_ADDRESS__)
#define LUMIVAR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMIVAR_ASAN 1
#endif
#endif
#if defined(__linux__) && !defined(LUMIVAR_ASAN)
#define LUMIVAR_HUGE_PAGES 1
#endif

namespace stavenwick {

namespace {

#ifdef LUMIVAR_HUGE_PAGES
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// below this a huge page would cost more to clear than the small pages' faults
constexpr std::size_t MAPPED_FROM = std::size_t{256} << 10;

// Maps bytes, rounded up to whole huge pages, at a huge-page boundary; nullptr on failure.
void* mapHugePages(std::size_t bytes, std::size_t& mapped)
{
    if (bytes > SIZE_MAX - 2 * HUGE_PAGE) {
        return nullptr;
    }
    mapped = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    // one huge page more than needed, so that an aligned start lies inside
    const std::size_t reserved = mapped + HUGE_PAGE;
    void* raw =
        ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    auto* const rawStart = static_cast<char*>(raw);
    const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(raw) % HUGE_PAGE;
    char* const start = rawStart + (misalignment == 0 ? 0 : HUGE_PAGE - misalignment);
    if (start > rawStart) {
        ::munmap(rawStart, static_cast<std::size_t>(start - rawStart));
    }
    char* const end = start + mapped;
    if (rawStart + reserved > end) {
        ::munmap(end, static_cast<std::size_t>(rawStart + reserved - end));
    }
    // only a hint: where huge pages are off the block stays on small pages
    ::madvise(start, mapped, MADV_HUGEPAGE);
    return start;
}
#endif

} // namespace

ZeroedMemory::ZeroedMemory(std::size_t bytes)
{
#ifdef LUMIVAR_HUGE_PAGES
    if (bytes >= MAPPED_FROM) {
        m_data = mapHugePages(bytes, m_mapped);
        if (m_data == nullptr) {
            throw std::bad_alloc();
        }
        return;
    }
#endif
    m_data = std::calloc(bytes != 0 ? bytes : 1, 1);
    if (m_data == nullptr) {
        throw std::bad_alloc();
    }
}

ZeroedMemory::~ZeroedMemory()
{
#ifdef LUMIVAR_HUGE_PAGES
    if (m_mapped != 0) {
        ::munmap(m_data, m_mapped);
        return;
    }
#endif
    std::free(m_data);
}

} // namespace stavenwick

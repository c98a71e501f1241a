// The large zero-filled buffers: sizes checked before they are multiplied, memory zeroed every
// time, however it was used before, and aligned for any element.
#include "common/ZeroedArray.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

namespace stavenwick {
namespace {

TEST(ZeroedArrayTest, SizesPastWhatOneObjectMaySpanFailLikeAnAllocation)
{
    const auto most = static_cast<std::size_t>(PTRDIFF_MAX);
    EXPECT_THROW(ZeroedArray<std::int32_t>(most / 4 + 1), std::bad_alloc);
    EXPECT_THROW(ZeroedArray<double>(SIZE_MAX / 8 + 2), std::bad_alloc); // wraps to 8 bytes
    EXPECT_THROW(ZeroedArray<std::uint8_t>(SIZE_MAX), std::bad_alloc);
    EXPECT_EQ(ZeroedArray<double>(0).size(), 0u);
    // the check itself, at its exact bound: no allocator's failure can stand in for it
    EXPECT_EQ(checkedBytes<std::uint8_t>(most), most);
    EXPECT_THROW(checkedBytes<std::uint8_t>(most + 1), std::bad_array_new_length);
    EXPECT_EQ(checkedBytes<std::int32_t>(most / 4), most / 4 * 4);
    EXPECT_THROW(checkedBytes<std::int32_t>(most / 4 + 1), std::bad_array_new_length);
    EXPECT_EQ(checkedBytes<double>(most / 8), most / 8 * 8);
    EXPECT_THROW(checkedBytes<double>(most / 8 + 1), std::bad_array_new_length);
}

TEST(ZeroedArrayTest, MemoryIsZeroedEvenWhereItWasUsedBefore)
{
    // small blocks from the allocator, large ones mapped: each dirtied, freed and asked for
    // again, where an allocator hands the same memory back
    for (const std::size_t bytes : {std::size_t{24}, std::size_t{4096}, std::size_t{100000},
                                    std::size_t{1} << 18, std::size_t{3} << 20}) {
        SCOPED_TRACE(bytes);
        for (int round = 0; round < 3; ++round) {
            ZeroedArray<std::uint8_t> block(bytes);
            ASSERT_NE(block.get(), nullptr);
            for (std::size_t i = 0; i < bytes; ++i) {
                ASSERT_EQ(block[i], 0) << "byte " << i << ", round " << round;
            }
            std::memset(block.get(), 0xA5, bytes);
        }
    }
}

TEST(ZeroedArrayTest, BlocksAreAlignedForAnyElement)
{
    for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 16}) {
        const ZeroedArray<long double> block(count);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.get()) % alignof(std::max_align_t), 0u);
    }
}

} // namespace
} // namespace stavenwick

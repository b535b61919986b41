// The blocks of memory a set's indexes live in: pieces handed out in order, 8-byte aligned,
// never overlapping, from a new block when the last one is full, however large the request.
#include "lca/index_arena.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace treetally {
namespace {

TEST(IndexArena, PiecesFillBlocksInOrderAndGrowPastThem) {
    IndexArena arena(64);
    // Pieces that fill the first block, one that needs a second, and one larger than any block.
    const std::vector<std::size_t> sizes = {24, 40, 8, 4096, 16};
    std::vector<std::span<std::byte>> pieces;
    for (const std::size_t size : sizes) pieces.push_back(arena.take(size));
    EXPECT_EQ(pieces[1].data(), pieces[0].data() + 24);  // the first block, in order
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        ASSERT_EQ(pieces[k].size(), sizes[k]);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pieces[k].data()) % 8, 0u);
        std::memset(pieces[k].data(), static_cast<int>(k), sizes[k]);
    }
    // Writing every piece left the others as they were: no two overlap.
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        for (const std::byte b : pieces[k]) EXPECT_EQ(b, static_cast<std::byte>(k));
    }
    IndexArena moved = std::move(arena);
    EXPECT_EQ(moved.take(8).size(), 8u);
}

}  // namespace
}  // namespace treetally

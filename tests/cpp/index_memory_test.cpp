// The memory estimate of the LCA indexes, and the refusal of a collection whose indexes
// cannot fit: many trees times many taxa must fail cleanly, not get the process killed.
#include "exposure/index_memory.hpp"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "exposure/tree_set_data.hpp"
#include "test_support.hpp"
#include "tree/available_memory.hpp"

namespace treetally {
namespace {

struct IndexBytesCase {
    const char* text;
    std::size_t expected;
};

class IndexBytes : public ::testing::TestWithParam<IndexBytesCase> {};

TEST_P(IndexBytes, MatchesTheBlockOfTheBuiltIndex) {
    const auto parsed = test::parse(GetParam().text);
    EXPECT_EQ(lca_index_bytes(parsed.tree, parsed.taxa.size()), GetParam().expected);
    EXPECT_EQ(TreeLca::build(parsed.tree, parsed.taxa.size()).heap_bytes(), GetParam().expected);
}

// Entries of one byte each. The per-taxon table and the block are each a multiple of 8 bytes,
// with room for a four-byte read of their last entry: 3 bytes after the positions, and after
// the nodes either the distances (8 bytes a node) or 3 bytes.
INSTANTIATE_TEST_SUITE_P(Trees, IndexBytes,
                         ::testing::Values(IndexBytesCase{"((A:1,B:2):3,C:4);",
                                                          8 + 40 + 5 * 8},      // table 13, tour 20
                                           IndexBytesCase{"(A,B,C);", 8 + 32},  // 13 + 16 + 3
                                           IndexBytesCase{"", 8 + 8}));         // 1 + 4 + 3

TEST(IndexMemory, CollectionSumsItsTreesWithTheWholeTaxonSet) {
    TreeCollection collection;
    collection.trees.push_back(parse_newick_tree("((A,B),C);", collection.taxon_set));
    collection.trees.push_back(parse_newick_tree("(D,E);", collection.taxon_set));
    EXPECT_EQ(collection_index_bytes(collection),
              lca_index_bytes(collection.trees[0], 5) + lca_index_bytes(collection.trees[1], 5));
}

TEST(IndexMemory, BuildScratchIsTourAndLevelRowsAndTheStack) {
    // 2 rows of the tour (10 entries) and 3 of the table (8 columns), 4 bytes an entry, and a
    // stack of up to 5 nodes, 8 bytes each.
    EXPECT_EQ(lca_build_scratch_bytes(test::parse("((A:1,B:2):3,C:4);").tree),
              (2u * 10 + 3 * 8) * 4 + 5 * 8);
    EXPECT_EQ(lca_build_scratch_bytes(test::parse("").tree), (2u * 2 + 3 * 2) * 4 + 8);
}

TEST(IndexMemory, AvailableMemoryIsKnownOnLinux) {
#ifdef __linux__
    const auto available = available_memory_bytes();
    ASSERT_TRUE(available.has_value());
    EXPECT_GT(*available, 0u);
#endif
}

TEST(IndexMemory, TaxaTimesTreesBeyondMemoryIsRefusedBeforeBuilding) {
    // 1,000,000 taxa x 100,000 one-node trees would need 400 GB of taxon tables.
    TreeCollection collection;
    for (int k = 0; k < 1'000'000; ++k) collection.taxon_set.insert_or_get(std::to_string(k));
    collection.trees.resize(100'000);
    const auto available = available_memory_bytes();
    if (!available || *available >= collection_index_bytes(collection))
        GTEST_SKIP() << "this machine has room for the indexes";
    EXPECT_THROW((void)index_tree_collection(std::move(collection)), std::bad_alloc);
}

}  // namespace
}  // namespace treetally

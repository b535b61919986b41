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
    std::size_t expected;  // taxa x 4 + tour entries x 16 + table columns x levels x 4
};

class IndexBytes : public ::testing::TestWithParam<IndexBytesCase> {};

TEST_P(IndexBytes, MatchesTheArraysOfTheBuiltIndex) {
    const auto parsed = test::parse(GetParam().text);
    EXPECT_EQ(lca_index_bytes(parsed.tree, parsed.taxa.size()), GetParam().expected);
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    EXPECT_EQ(GetParam().expected, index.taxon_count() * 4 + index.tour_length() * 16 +
                                       index.column_count() * index.level_count() * 4);
}

INSTANTIATE_TEST_SUITE_P(Trees, IndexBytes,
                         ::testing::Values(IndexBytesCase{"((A:1,B:2):3,C:4);", 12 + 160 + 128},
                                           IndexBytesCase{"(A,B,C);", 12 + 128 + 128},
                                           IndexBytesCase{"", 0 + 32 + 16}));

TEST(IndexMemory, CollectionSumsItsTreesWithTheWholeTaxonSet) {
    TreeCollection collection;
    collection.trees.push_back(parse_newick_tree("((A,B),C);", collection.taxon_set));
    collection.trees.push_back(parse_newick_tree("(D,E);", collection.taxon_set));
    EXPECT_EQ(collection_index_bytes(collection),
              lca_index_bytes(collection.trees[0], 5) + lca_index_bytes(collection.trees[1], 5));
}

TEST(IndexMemory, BuildScratchIsTheTableAndTwoRowsOfDepths) {
    // C = 8 columns, L = 4 levels: rows of 8 x (4 + 2) entries of 4 bytes.
    EXPECT_EQ(lca_build_scratch_bytes(test::parse("((A:1,B:2):3,C:4);").tree), 8u * 6 * 4);
    EXPECT_EQ(lca_build_scratch_bytes(test::parse("").tree), 2u * 4 * 4);
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

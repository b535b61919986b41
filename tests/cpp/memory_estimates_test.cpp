// The memory estimates beside each allocation, against what building really allocates: a
// tree's arrays, an LCA index and its build scratch, a whole set of indexes, new taxon names.
// And the refusal of what cannot fit: many trees times many taxa, or a load that would take
// more than a fake machine has, must fail cleanly, not get the process killed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "base/available_memory.hpp"
#include "lca/index_arena.hpp"
#include "sets/tree_set_builder.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

using test::allocated_by;
using test::parse;

// Trees of every shape the estimates must cover: a lone root, polytomies, unary chains, a
// deep ladder, a wide star, and comments that make the reader's node count an overestimate.
std::vector<std::string> sample_texts() {
    std::vector<std::string> texts = {"",
                                      "A;",
                                      "((A:1,B:2):3,C:4);",
                                      "(A,B,C);",
                                      "((((((A))))));",
                                      "(A[(,(,(],B);",
                                      "(A,B)[;](C,(D,E));",
                                      "((A,B),(C,D),E,(F,(G,H)));"};
    std::string ladder;
    for (int k = 0; k < 700; ++k) ladder += "(x" + std::to_string(k) + ",";
    texts.push_back(ladder + "y" + std::string(700, ')') + ";");
    std::string star = "(s0";
    for (int k = 1; k < 2000; ++k) star += ",s" + std::to_string(k);
    texts.push_back(star + ");");
    return texts;
}

TEST(MemoryEstimates, TreeArraysAreTheBytesPerNodeOfEveryNode) {
    for (const std::string& text : sample_texts()) {
        TaxonSet taxa;
        (void)parse_newick_tree(text, taxa);  // names the taxa, so that reading again adds none
        std::optional<Tree> tree;
        const auto allocated = allocated_by([&] { tree.emplace(parse_newick_tree(text, taxa)); });
        EXPECT_EQ(allocated.kept_bytes, tree->heap_bytes()) << text;
        EXPECT_EQ(allocated.kept_blocks, tree->heap_block_count()) << text;
        EXPECT_EQ(tree->heap_bytes(), tree->node_count() * Tree::bytes_per_node()) << text;
    }
}

TEST(MemoryEstimates, IndexBuildTakesItsBlockAndScratchAndKeepsTheBlock) {
    for (const std::string& text : sample_texts()) {
        const auto parsed = parse(text);
        for (const std::size_t taxon_count : {parsed.taxa.size(), parsed.taxa.size() + 1001}) {
            TreeLca index;
            const auto allocated =
                allocated_by([&] { index = TreeLca::build(parsed.tree, taxon_count); });
            const std::size_t bytes = TreeLca::bytes_for(parsed.tree, taxon_count);
            EXPECT_EQ(allocated.kept_bytes, bytes) << text;
            EXPECT_EQ(index.heap_bytes(), bytes) << text;
            EXPECT_EQ(allocated.peak_bytes, bytes + TreeLca::build_scratch_bytes(parsed.tree))
                << text;
        }
    }
}

struct IndexBytesCase {
    const char* text;
    std::size_t expected;
};

class IndexBytes : public ::testing::TestWithParam<IndexBytesCase> {};

TEST_P(IndexBytes, MatchesTheArraysOfTheBuiltIndex) {
    const auto parsed = parse(GetParam().text);
    EXPECT_EQ(TreeLca::bytes_for(parsed.tree, parsed.taxa.size()), GetParam().expected);
    EXPECT_EQ(test::index_of(parsed).heap_bytes(), GetParam().expected);
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
    const std::size_t blocks = TreeLca::block_bytes_for(collection.trees[0]) +
                               TreeLca::block_bytes_for(collection.trees[1]);
    const std::size_t tables = TreeLca::bytes_for(collection.trees[0], 5) +
                               TreeLca::bytes_for(collection.trees[1], 5) - blocks;
    EXPECT_EQ(collection_index_bytes(collection), IndexArena::block_bytes_for(blocks) +
                                                      IndexArena::block_bytes_for(tables) +
                                                      2 * sizeof(TreeLca));
}

TEST(IndexMemory, BuildScratchIsTourAndLevelRowsTheStackAndTheLabelledNodes) {
    // 2 rows of the tour (10 entries) and 3 of the table (8 columns), 4 bytes an entry, and a
    // stack and a list of labelled nodes of up to 5 nodes, 8 bytes each.
    EXPECT_EQ(TreeLca::build_scratch_bytes(parse("((A:1,B:2):3,C:4);").tree),
              (2u * 10 + 3 * 8) * 4 + 5 * 8 + 5 * 8);
    EXPECT_EQ(TreeLca::build_scratch_bytes(parse("").tree), (2u * 2 + 3 * 2) * 4 + 8 + 8);
}

TEST(IndexMemory, IndexingKeepsTheEstimateAndPeaksAtTheLargestScratch) {
    // The largest tree comes last, where its scratch adds to every index built before it. The
    // trees stay alive beside the builder: index_tree_collection frees each one once indexed.
    TreeCollection collection;
    const std::vector<std::string> texts = sample_texts();
    for (const std::string& text : texts)
        collection.trees.push_back(parse_newick_tree(text, collection.taxon_set));
    const std::size_t kept = collection_index_bytes(collection);
    const std::size_t peak = indexing_peak_bytes(collection);
    EXPECT_GT(peak, kept);
    TreeSetData data;
    const auto allocated = allocated_by([&] {
        TreeSetBuilder builder(std::numeric_limits<std::size_t>::max(),
                               TreeSetBuilder::Room::for_collection(collection));
        for (const Tree& tree : collection.trees) builder.add(tree);
        data = std::move(builder).finish(std::move(collection.taxon_set));
    });
    EXPECT_EQ(allocated.kept_bytes, kept);
    EXPECT_EQ(allocated.peak_bytes, peak);
}

TEST(MemoryEstimates, NewNamesStayWithinTheirEstimate) {
    // Names kept inside the string and on the heap, enough to grow the list and table often.
    std::vector<std::string> names;
    std::size_t total = 0;
    for (int k = 0; k < 3000; ++k) {
        names.push_back(std::to_string(k) + std::string(static_cast<std::size_t>(k % 40), 'n'));
        total += names.back().size();
    }
    TaxonSet taxa;
    const auto allocated = allocated_by([&] {
        for (const std::string& name : names) taxa.insert_or_get(name);
    });
    EXPECT_LE(allocated.peak_bytes, TaxonSet::bytes_for_new_names(names.size(), total));
}

struct MachineCase {
    const char* name;
    std::function<std::string(const test::TempDir&)> file;
    std::size_t machine_bytes;
    bool fits;

    friend void PrintTo(const MachineCase& machine_case, std::ostream* out) {
        *out << machine_case.name;
    }
};

class LoadOnAFakeMachine : public ::testing::TestWithParam<MachineCase> {};

TEST_P(LoadOnAFakeMachine, NeverTakesMoreThanTheMachineHas) {
    const test::TempDir dir;
    const std::string path = GetParam().file(dir);
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " does not exist here";
    const std::size_t machine = GetParam().machine_bytes;
    bool refused = false;
    const auto allocated = allocated_by([&] {
        try {
            (void)load_tree_collection(path, test::machine_with(machine));
        } catch (const std::bad_alloc&) {
            refused = true;
        }
    });
    EXPECT_EQ(refused, !GetParam().fits);
    EXPECT_LE(allocated.peak_bytes, machine);
    // A line buffer stops growing at half of what is left, leaving room for its labels.
    EXPECT_LE(allocated.largest_block, machine / 2);
    std::cout << GetParam().name << ": peak " << (allocated.peak_bytes >> 20)
              << " MiB, largest block " << (allocated.largest_block >> 20) << " MiB of a "
              << (machine >> 20) << " MiB machine\n";
}

// `count` lines of one distinct label of a megabyte each, written a line at a time.
std::function<std::string(const test::TempDir&)> megabyte_labels(int count) {
    return [count](const test::TempDir& dir) {
        const std::string path = (dir.path() / "labels.nwk").string();
        std::ofstream out(path, std::ios::binary);
        const std::string label(1 << 20, 'x');
        for (int k = 0; k < count; ++k) out << '(' << k << label << ",B);\n";
        return path;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, LoadOnAFakeMachine,
    ::testing::Values(
        // One line that never ends: only its buffer grows.
        MachineCase{"DevZero", [](const test::TempDir&) { return std::string("/dev/zero"); },
                    400'000'000, false},
        MachineCase{"SparseFile",
                    [](const test::TempDir& dir) {
                        const std::string path = dir.write("sparse.nwk", "");
                        std::filesystem::resize_file(path, std::size_t{5} << 30);
                        return path;
                    },
                    400'000'000, false},
        // Taxon names are kept: their bytes count, as the tree of each line is tiny.
        MachineCase{"ManyLongLabels", megabyte_labels(360), 200'000'000, false},
        MachineCase{"LongLabelsThatFit", megabyte_labels(100), 200'000'000, true},
        // A tiny tree whose comment holds a million "(": what the reader makes counts.
        MachineCase{"OpenersInAComment",
                    [](const test::TempDir& dir) {
                        return dir.write("comment.nwk",
                                         "((A,B)[" + std::string(1'000'000, '(') + "],C);\n");
                    },
                    4'000'000, true}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(IndexMemory, BuilderRefusesWhatItsBudgetCannotHold) {
    const auto parsed = parse("((A,B),(C,D));");
    const std::size_t needed =
        TreeLca::block_bytes_for(parsed.tree) + TreeLca::BuildScratch::bytes_for(parsed.tree);
    TreeSetBuilder tight(needed - 1, {});
    EXPECT_THROW((void)tight.add(parsed.tree), std::bad_alloc);
    // Room for the index, but not for a per-taxon table of 100,000 taxa, which comes last.
    TreeSetBuilder builder(needed, {});
    (void)builder.add(parsed.tree);
    TaxonSet taxa;
    for (int k = 0; k < 100'000; ++k) taxa.insert_or_get(std::to_string(k));
    EXPECT_THROW((void)std::move(builder).finish(std::move(taxa)), std::bad_alloc);

    // The slots must also fit beside the names: four taxa of a megabyte each do not.
    for (const std::size_t name_size : {std::size_t{1}, std::size_t{1} << 20}) {
        TreeSetBuilder roomy(needed + (1 << 20), {});
        (void)roomy.add(parsed.tree);
        TaxonSet named;
        for (const char* label : {"A", "B", "C", "D"})
            named.insert_or_get(label + std::string(name_size, 'x'));
        if (name_size == 1) {
            EXPECT_NO_THROW((void)std::move(roomy).finish(std::move(named)));
        } else {
            EXPECT_THROW((void)std::move(roomy).finish(std::move(named)), std::bad_alloc);
        }
    }
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

// The loader's memory budget on a fake machine: a file whose trees, names or lines would take
// more memory than there is fails with std::bad_alloc before the kernel has to kill the
// process, and anything that fits loads exactly as it would without a budget, however rough
// the first count of its nodes.
#include <gtest/gtest.h>

#include <new>
#include <ostream>
#include <string>
#include <variant>

#include "base/messages.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

struct BudgetCase {
    const char* name;
    std::string text;
    std::size_t budget;
    bool fits;

    // GoogleTest would otherwise print the raw bytes, padding included, which valgrind flags.
    friend void PrintTo(const BudgetCase& budget_case, std::ostream* out) {
        *out << budget_case.name;
    }
};

class LoaderMemoryBudget : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(LoaderMemoryBudget, LoadsWhatFitsAndRefusesTheRest) {
    const test::TempDir dir;
    const std::string path = dir.write("trees.nwk", GetParam().text);
    if (!GetParam().fits) {
        EXPECT_THROW((void)load_tree_collection(path, test::machine_with(GetParam().budget)),
                     std::bad_alloc);
        return;
    }
    const LoadResult within = load_tree_collection(path, test::machine_with(GetParam().budget));
    const LoadResult unbounded = load_tree_collection(path);
    ASSERT_TRUE(std::holds_alternative<TreeCollection>(within));
    const auto& trees = std::get<TreeCollection>(within).trees;
    const auto& unbounded_trees = std::get<TreeCollection>(unbounded).trees;
    ASSERT_EQ(trees.size(), unbounded_trees.size());
    for (std::size_t k = 0; k < trees.size(); ++k)
        EXPECT_EQ(trees[k].node_count(), unbounded_trees[k].node_count());
}

// Lines of `count` distinct labels of `size` bytes each.
std::string long_labels(int count, std::size_t size) {
    std::string text;
    for (int k = 0; k < count; ++k) {
        text += '(';
        text += std::to_string(k);
        text.append(size, 'x');
        text += ",B);\n";
    }
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoaderMemoryBudget,
    ::testing::Values(
        // Each blank line is a one-node tree of a few hundred bytes, however short the line.
        BudgetCase{"BlankLinesBeyondTheBudget", std::string(10'000, '\n'), 100'000, false},
        BudgetCase{"BlankLinesWithinTheBudget", std::string(10'000, '\n'), 100'000'000, true},
        // One line whose tree could need more than the budget is refused before it is read.
        BudgetCase{"LongLineBeyondTheBudget", std::string(100'000, '(') + "A);\n", 1'000'000,
                   false},
        BudgetCase{"LongLineWithinTheBudget", std::string(100'000, '(') + "A);\n", 100'000'000,
                   true},
        // Only brackets and commas make nodes: a long line of long labels is no large tree,
        // but every new name is kept, so its bytes count.
        BudgetCase{"LongLabelWithinTheBudget", "(" + std::string(1'000'000, 'A') + ",B);\n",
                   4'000'000, true},
        BudgetCase{"LabelBytesBeyondTheBudget", long_labels(40, 100'000), 2'000'000, false},
        BudgetCase{"LabelBytesWithinTheBudget", long_labels(40, 100'000), 20'000'000, true},
        // Brackets that make no node: in a comment, inside a label, after the ";". The same
        // brackets outside would make a tree too large for the budget.
        BudgetCase{"OpenersInACommentOfATinyTree", "(A[" + std::string(500'000, '(') + "],B);\n",
                   4'000'000, true},
        BudgetCase{"OpenersInsideALabel", "(A" + std::string(500'000, '(') + ",B);\n", 4'000'000,
                   true},
        BudgetCase{"OpenersAfterTheTree", "(A,B);" + std::string(500'000, ',') + "\n", 4'000'000,
                   true},
        BudgetCase{"OpenersThatMakeNodes", "(A" + std::string(500'000, ',') + "B);\n", 4'000'000,
                   false},
        // A line that never ends: its buffer stops growing long before the budget is used.
        BudgetCase{"EndlessLine", std::string(3'000'000, 'x'), 4'000'000, false},
        BudgetCase{"EmptyFileInAnyBudget", "", 0, true}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(LoaderMemoryBudget, FailuresOfTheFileComeFirst) {
    // A bad line or a missing file reports as before, even with no budget to speak of.
    const test::TempDir dir;
    const std::string bad = dir.write("bad.nwk", "(A,\xff);\n");
    const LoadResult result = load_tree_collection(bad, test::machine_with(0));
    ASSERT_TRUE(std::holds_alternative<LoadError>(result));
    EXPECT_EQ(std::get<LoadError>(result).message, messages::error_reading_file);
    const LoadResult missing =
        load_tree_collection((dir.path() / "absent").string(), test::machine_with(0));
    EXPECT_EQ(std::get<LoadError>(missing).message, messages::could_not_read_file);
}

TEST(LoaderMemoryBudget, WhatTheReceiverKeepsCountsAgainstTheBudget) {
    const test::TempDir dir;
    const std::string path = dir.write("trees.nwk", "(A,B);\n(C,D);\n(E,F);\n");
    std::size_t received = 0;
    auto keeping = [&received](std::size_t bytes) {
        return [&received, bytes](Tree&&) {
            ++received;
            return bytes;
        };
    };
    // A receiver that keeps nothing gets every tree within a small budget; one that keeps much
    // stops the load before the next line, whose tree would no longer fit.
    TaxonSet taxa;
    EXPECT_FALSE(read_tree_file(path, taxa, keeping(0), 10'000).has_value());
    EXPECT_EQ(received, 3u);
    received = 0;
    TaxonSet more_taxa;
    EXPECT_THROW((void)read_tree_file(path, more_taxa, keeping(9'900), 10'000), std::bad_alloc);
    EXPECT_EQ(received, 1u);
}

}  // namespace
}  // namespace treetally

// Tests of counting species over their individuals: a load that keeps every copy of a repeated
// name, the shares of one species quartet or quintet, tables of groups and their row values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sets/labelled_tallies.hpp"
#include "sets/mapped_tallies.hpp"
#include "sets/tree_set_load.hpp"
#include "tables/row_values.hpp"
#include "tables/table_text.hpp"
#include "tables/topology_table.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

TreeSetData copies_apart(const std::string& text) {
    const test::TempDir dir;
    LoadNotes notes;
    TreeSetData data = load_tree_set_data(dir.write("trees.nwk", text), {}, {}, {}, &notes, true);
    EXPECT_EQ(notes.trees_repeating_taxon, 0u);
    return data;
}

// The groups of `names`, each name with its copies (copy_name 2..copies) that the set holds.
std::vector<std::vector<TaxonId>> groups_of(const TreeSetData& data,
                                            const std::vector<std::vector<std::string>>& names) {
    std::vector<std::vector<TaxonId>> groups;
    for (const auto& group : names) {
        groups.emplace_back();
        for (const std::string& name : group) groups.back().push_back(data.taxon_set.id_of(name));
    }
    return groups;
}

TEST(CopiesApart, EveryLeafOfARepeatedNameIsATaxonOfItsOwn) {
    const TreeSetData data = copies_apart("((a,b),(a,c),(a,d));\n(a,(b,a));\n");
    EXPECT_EQ(data.taxon_set.taxon_names(),
              (std::vector<std::string>{"a", "b", "c", "d", copy_name("a", 2), copy_name("a", 3)}));
    EXPECT_EQ(copy_name("x", 2), "x\n2");
    // Copy 2 is in both trees, copy 3 only in the first.
    const TaxonId third = data.taxon_set.id_of(copy_name("a", 3));
    EXPECT_FALSE(data.lcas[0].taxon_position(third).is_absent());
    EXPECT_TRUE(data.lcas[1].taxon_position(third).is_absent());
}

struct SharesCase {
    const char* trees;
    std::vector<std::vector<std::string>> groups;
    std::vector<double> shares;
    double unresolved;
    std::uint64_t holding;
};

class MappedShares : public testing::TestWithParam<SharesCase> {};

TEST_P(MappedShares, AreEachTreesCombinationsShowingEachCode) {
    const SharesCase& c = GetParam();
    const TreeSetData data = copies_apart(c.trees);
    const MappedTally tally = mapped_tally(data, groups_of(data, c.groups));
    EXPECT_EQ(tally.shares, c.shares);
    EXPECT_EQ(tally.unresolved, c.unresolved);
    EXPECT_EQ(tally.holding, c.holding);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, MappedShares,
    testing::Values(
        // a1 with b, a2 with c: half a tree each way; the second tree lacks D.
        SharesCase{"((a1,b),(a2,c),d);\n((a1,b),c);\n", {{"a1", "a2"}, {"b"}, {"c"}, {"d"}},
                   {0.5, 0.5, 0.0}, 0.0, 1},
        // A repeated name: its copies are the individuals.
        SharesCase{"((a,b),(a,c),d);\n((a,b),(c,d));\n", {{"a", "a\n2"}, {"b"}, {"c"}, {"d"}},
                   {1.5, 0.5, 0.0}, 0.0, 2},
        // Of four combinations, only a2 b2 c d escapes the polytomy.
        SharesCase{"((a1,b,c,d),(a2,b2));\n", {{"a1", "a2"}, {"b", "b2"}, {"c"}, {"d"}},
                   {0.25, 0.0, 0.0}, 0.75, 1},
        // a1 b c d and a2 b2 c d show AB|CD, a1 b2 c d AC|BD, a2 b c d AD|BC.
        SharesCase{"(((a1,b),c),(d,(a2,b2)));\n", {{"a1", "a2"}, {"b", "b2"}, {"c"}, {"d"}},
                   {0.5, 0.25, 0.25}, 0.0, 1}));

TEST(MappedShares, OfSingleIndividualsAreTheLabelledTally) {
    // Random trees with polytomies, missing taxa and repeated names, whose copies are taxa.
    std::mt19937_64 rng(21);
    std::string text;
    for (int tree = 0; tree < 200; ++tree) text += test::random_newick(rng) + "\n";
    const TreeSetData data = copies_apart(text);
    ASSERT_GE(data.taxon_set.size(), 5u);
    for (int size : {4, 5}) {
        std::vector<std::vector<TaxonId>> groups;
        std::vector<TaxonId> ids;
        for (std::uint32_t k = 0; k < static_cast<std::uint32_t>(size); ++k) {
            ids.push_back(TaxonId{k});
            groups.push_back({TaxonId{k}});
        }
        const LabelledTally want = labelled_tally(data, ids);
        const MappedTally got = mapped_tally(data, groups);
        ASSERT_EQ(got.shares.size(), want.counts.size());
        double resolved = 0.0;
        for (std::size_t code = 0; code < want.counts.size(); ++code) {
            EXPECT_EQ(got.shares[code], static_cast<double>(want.counts[code]));
            resolved += got.shares[code];
        }
        EXPECT_EQ(got.holding, want.holding);
        EXPECT_EQ(got.unresolved, static_cast<double>(want.holding) - resolved);
    }
}

// Species of one individual each are counted by the kernels: the same shares as the loop over
// combinations gives, row by row.
TEST(MappedTable, OfOneIndividualEachIsThePlainTableAsShares) {
    std::mt19937_64 rng(33);
    std::string text;
    for (int tree = 0; tree < 120; ++tree) text += test::random_newick(rng) + "\n";
    const TreeSetData data = copies_apart(text);
    std::vector<std::vector<TaxonId>> groups;
    for (std::uint32_t id = 0; id < 7; ++id) groups.push_back({TaxonId{id}});
    for (int size : {4, 5}) {
        const TopologyTable table(data, groups, size, std::size_t{1} << 30, 3);
        ASSERT_TRUE(table.mapped());
        for (std::size_t block = 0; block < table.block_count(); ++block) {
            const TableBlock counted = table.count_block(block);
            ASSERT_TRUE(counted.fractional());
            EXPECT_TRUE(counted.counts.empty() && counted.unresolved.empty());
            const std::size_t width = counted.codes() + 1;
            for (std::size_t row = 0; row < counted.rows; ++row) {
                std::vector<std::vector<TaxonId>> chosen;
                for (std::size_t slot = 0; slot < static_cast<std::size_t>(size); ++slot)
                    chosen.push_back(groups[counted.taxa[row * static_cast<std::size_t>(size) + slot]]);
                const MappedTally want = mapped_tally(data, chosen);
                for (std::size_t code = 0; code + 1 < width; ++code)
                    EXPECT_EQ(counted.shares[row * width + code], want.shares[code]);
                EXPECT_EQ(counted.shares[row * width + width - 1], want.unresolved);
                EXPECT_EQ(counted.holding[row], want.holding);
            }
        }
    }
}

TEST(MappedShares, RefuseGroupsOfTheWrongNumberOrEmpty) {
    const TreeSetData data = copies_apart("((a,b),(c,d));\n");
    const std::vector<std::vector<TaxonId>> three(3, std::vector<TaxonId>{TaxonId{0}});
    EXPECT_THROW(mapped_tally(data, three), FatalError);
    std::vector<std::vector<TaxonId>> empty = groups_of(data, {{"a"}, {"b"}, {"c"}, {"d"}});
    empty[2].clear();
    EXPECT_THROW(mapped_tally(data, empty), FatalError);
}

// A table of groups: every row is the mapped tally of its groups, and blocks of any size
// give the same rows; whole shares are written as integers, others shortest.
TEST(MappedTable, RowsAreTheMappedTalliesOfTheirGroups) {
    std::mt19937 random(5);
    std::string text;
    const std::vector<std::string> names = {"a", "b", "c", "d", "e", "f"};
    for (int tree = 0; tree < 30; ++tree) {
        std::vector<std::string> leaves = names;
        std::shuffle(leaves.begin(), leaves.end(), random);
        leaves.resize(4 + random() % 3);
        for (int extra = 0; extra < 3; ++extra) leaves.push_back(names[random() % names.size()]);
        while (leaves.size() > 1) {
            const std::size_t k = random() % (leaves.size() - 1);
            leaves[k] = "(" + leaves[k] + "," + leaves[k + 1] + ")";
            leaves.erase(leaves.begin() + static_cast<std::ptrdiff_t>(k) + 1);
        }
        text += leaves[0] + ";\n";
    }
    const TreeSetData data = copies_apart(text);
    std::vector<std::vector<TaxonId>> groups(names.size());
    for (std::size_t id = 0; id < data.taxon_set.size(); ++id) {
        const std::string& name = data.taxon_set.taxon_names()[id];
        const std::size_t species = static_cast<std::size_t>(name[0] - 'a');
        groups[species].push_back(TaxonId{static_cast<std::uint32_t>(id)});
    }
    for (int size : {4, 5}) {
        for (std::size_t rows_per_block : {std::size_t{1}, std::size_t{0}}) {
            const TopologyTable table(data, groups, size, std::size_t{1} << 30, rows_per_block, 2);
            EXPECT_TRUE(table.mapped());
            EXPECT_EQ(table.taxon_count(), names.size());
            std::size_t rows = 0;
            for (std::size_t block = 0; block < table.block_count(); ++block) {
                const TableBlock counted = table.count_block(block);
                ASSERT_TRUE(counted.fractional());
                const std::size_t width = counted.codes() + 1;
                for (std::size_t row = 0; row < counted.rows; ++row, ++rows) {
                    std::vector<std::vector<TaxonId>> chosen;
                    for (std::size_t slot = 0; slot < static_cast<std::size_t>(size); ++slot)
                        chosen.push_back(groups[counted.taxa[row * static_cast<std::size_t>(size) + slot]]);
                    const MappedTally want = mapped_tally(data, chosen);
                    for (std::size_t code = 0; code + 1 < width; ++code)
                        EXPECT_EQ(counted.shares[row * width + code], want.shares[code]);
                    EXPECT_EQ(counted.shares[row * width + width - 1], want.unresolved);
                    EXPECT_EQ(counted.holding[row], want.holding);
                }
            }
            EXPECT_EQ(rows, table.row_count());
        }
    }
    EXPECT_THROW(TopologyTable(data, {groups[0], groups[0], groups[1], groups[2]}, 4, 1 << 30),
                 FatalError);
    EXPECT_THROW(TopologyTable(data, groups, 4, 16), std::bad_alloc);
}

TEST(MappedRowValues, WholeSharesGiveTheValuesOfCountsAndFractionsAreWrittenShortest) {
    TableBlock whole;
    whole.rows = 2;
    whole.taxa = {0, 1, 2, 3, 0, 1, 2, 3};
    whole.counts = {7, 2, 1, 0, 0, 0};
    whole.holding = {12, 2};
    whole.unresolved = {2, 2};
    TableBlock shares = whole;
    shares.counts.clear();
    shares.unresolved.clear();
    shares.shares = {7, 2, 1, 2, 0, 0, 0, 2};
    for (const bool spread : {false, true}) {
        const RowValues counted(4, nullptr, nullptr, spread);
        const RowValues shared(4, nullptr, nullptr, spread, true);
        RowColumns want(counted), got(shared);
        want.assign(whole, 0, 2);
        got.assign(shares, 0, 2);
        for (std::size_t column = 9; column < counted.columns().size(); ++column)
            for (std::size_t row = 0; row < 2; ++row) {
                const double a = want.cell<double>(column, row), b = got.cell<double>(column, row);
                EXPECT_TRUE(a == b || (a != a && b != b)) << counted.columns()[column].name;
            }
    }
    shares.shares = {0.5, 1.0 / 3.0, 2, 0.25, 0, 0, 0, 2};
    const RowValues shared(4, nullptr, nullptr, false, true);
    RowColumns rows(shared);
    rows.assign(shares, 0, 2);
    std::string text;
    append_csv_rows(text, rows, std::vector<std::string>{"A", "B", "C", "D"});
    EXPECT_EQ(text.substr(0, 41), "A,B,C,D,0.5,0.3333333333333333,2,12,0.25,");
    // A block of counts where shares are written is refused.
    EXPECT_THROW(rows.assign(whole, 0, 2), FatalError);
}

}  // namespace
}  // namespace treetally

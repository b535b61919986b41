// Tests of the quintet classifier: which of the fifteen unrooted topologies one tree shows
// on five taxa, relative to the order of the names, and the split-pair lookup behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "base/messages.hpp"
#include "lca/quintet_type.hpp"
#include "quintet_rows.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::quintet_code_with;
using Names5 = std::array<std::string, 5>;

std::optional<std::uint8_t> quintet_of(const std::string& text, const Names5& names) {
    return test::query_tree(text, names, quintet_type);
}

using QuintetCase = test::TopologyCase<5>;

class QuintetType : public testing::TestWithParam<QuintetCase> {};

TEST_P(QuintetType, Classifies) {
    const QuintetCase& c = GetParam();
    EXPECT_EQ(quintet_of(c.text, c.names), c.expected);
}

const Names5 abcde = {"a", "b", "c", "d", "e"};
constexpr std::optional<std::uint8_t> unresolved = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Trees, QuintetType,
    testing::Values(
        QuintetCase{"RootedCaterpillar", "((((a,b),c),d),e);", abcde, 0},
        QuintetCase{"CherryAndPairAtEqualDepth", "(((a,b),c),(d,e));", abcde, 0},
        QuintetCase{"RootTrifurcationOfCherries", "((a,b),(c,d),e);", abcde, 2},
        QuintetCase{"DeeperSecondCherry", "((a,b),((c,d),e));", abcde, 2},
        QuintetCase{"CherryAtTrifurcationWithCherries", "(((a,b),c),d,e);", abcde, 0},
        QuintetCase{"MiddleTaxonFirstSlot", "((b,c),a,(d,e));", abcde, 12},
        QuintetCase{"ThreeAtOneNode", "((a,b),(c,d,e));", abcde, unresolved},
        QuintetCase{"RootPolytomy", "((a,b),c,d,e);", abcde, unresolved},
        QuintetCase{"PolytomyBelowRoot", "(((a,b),c,d),e);", abcde, unresolved},
        QuintetCase{"Star", "(a,b,c,d,e);", abcde, unresolved},
        QuintetCase{"FourAtOneNode", "(a,(b,c,d,e));", abcde, unresolved},
        QuintetCase{"RepeatedTaxon", "(((a,b),c),(d,e));", {"a", "a", "b", "c", "d"}, 0},
        QuintetCase{"LengthsIgnored", "(((a:9,b:0):0,c:1e-9):5,(d:1,e:2):3);", abcde, 0},
        QuintetCase{"UnaryNodesIgnored", "((((a)),((b))),(c),((d,(e))));", abcde, 0},
        QuintetCase{"ExtraTaxaAround",
                    "((x,(a,(y,c))),((b,z),(d,(e,w))));",
                    {"a", "c", "b", "d", "e"},
                    quintet_code_with(0, 1, 2)},
        QuintetCase{"RepeatedLeafUsesTheLaterOne", "((a,b),((c,a),(d,e)));", abcde, 3}),
    [](const testing::TestParamInfo<QuintetCase>& p) { return std::string(p.param.name); });

TEST(QuintetType, EveryOrderOfNamesMovesTheCodeAsTheTableSays) {
    // Five rootings of one unrooted topology: cherries {b,c} and {d,e}, middle taxon a.
    const std::array<std::string, 5> rootings = {"((b,c),a,(d,e));", "(((b,c),a),(d,e));",
                                                 "((((b,c),a),d),e);", "(a,((b,c),(d,e)));",
                                                 "(b,(c,(a,(d,e))));"};
    Names5 names = abcde;
    int orders = 0;
    do {
        auto slot = [&](const char* name) {
            return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
        };
        const std::uint8_t expected = quintet_code_with(slot("b"), slot("c"), slot("a"));
        for (const std::string& text : rootings)
            EXPECT_EQ(quintet_of(text, names), expected)
                << text << ' ' << names[0] << names[1] << names[2] << names[3] << names[4];
        ++orders;
    } while (std::next_permutation(names.begin(), names.end()));
    EXPECT_EQ(orders, 120);
}

// The canonical mask pairs of the fifteen codes, lower mask first.
constexpr std::array<std::pair<std::uint8_t, std::uint8_t>, 15> split_pairs{{{3, 7},
                                                                             {5, 7},
                                                                             {6, 7},
                                                                             {3, 11},
                                                                             {9, 11},
                                                                             {10, 11},
                                                                             {5, 13},
                                                                             {9, 13},
                                                                             {12, 13},
                                                                             {6, 14},
                                                                             {10, 14},
                                                                             {12, 14},
                                                                             {3, 12},
                                                                             {5, 10},
                                                                             {6, 9}}};

TEST(QuintetTypeOfSplits, AllFifteenRowsInBothOrders) {
    for (std::size_t code = 0; code < split_pairs.size(); ++code) {
        const auto [lo, hi] = split_pairs[code];
        EXPECT_EQ(quintet_type_of_splits(lo, hi), static_cast<int>(code));
        EXPECT_EQ(quintet_type_of_splits(hi, lo), static_cast<int>(code));
    }
}

TEST(QuintetTypeOfSplits, EveryOtherPairIsInvalid) {
    std::set<std::pair<int, int>> valid;
    for (const auto& [lo, hi] : split_pairs) {
        valid.insert({lo, hi});
        valid.insert({hi, lo});
    }
    int invalid = 0;
    for (int a = 0; a < 64; ++a) {
        for (int b = 0; b < 64; ++b) {
            if (valid.contains({a, b})) continue;
            ++invalid;
            EXPECT_EQ(fatal_message_of([&] {
                          quintet_type_of_splits(static_cast<std::uint8_t>(a),
                                                 static_cast<std::uint8_t>(b));
                      }),
                      messages::invalid_bipartitions)
                << a << ' ' << b;
        }
    }
    EXPECT_EQ(invalid, 64 * 64 - 30);
    EXPECT_EQ(fatal_message_of([] { quintet_type_of_splits(3 + 128, 7); }),
              messages::invalid_bipartitions);
}

TEST(QuintetTypeOfSplits, TableAgreesWithTheTopologyRows) {
    // Slot k is bit 2^(4-k); a cherry's canonical mask is the side without slot 0.
    auto canonical = [](int mask) { return std::min(mask, mask ^ 31); };
    for (std::size_t code = 0; code < test::quintet_rows.size(); ++code) {
        const auto& row = test::quintet_rows[code];
        const int a = canonical((16 >> row.cherry_a[0]) | (16 >> row.cherry_a[1]));
        const int b = canonical((16 >> row.cherry_b[0]) | (16 >> row.cherry_b[1]));
        EXPECT_EQ(
            quintet_type_of_splits(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)),
            static_cast<int>(code));
    }
}

}  // namespace
}  // namespace treetally

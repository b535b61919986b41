// Tests of the quartet classifier: which of the three unrooted topologies one tree shows on
// four taxa, relative to the order of the names, or unresolved.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "lca/quartet_type.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using Names4 = std::array<std::string, 4>;

std::optional<std::uint8_t> quartet_of(const std::string& text, const Names4& names) {
    return test::query_tree(text, names, quartet_type);
}

using QuartetCase = test::TopologyCase<4>;

class QuartetType : public testing::TestWithParam<QuartetCase> {};

TEST_P(QuartetType, Classifies) {
    const QuartetCase& c = GetParam();
    EXPECT_EQ(quartet_of(c.text, c.names), c.expected);
}

const Names4 abcd = {"a", "b", "c", "d"};
constexpr std::optional<std::uint8_t> unresolved = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Trees, QuartetType,
    testing::Values(
        QuartetCase{"Caterpillar", "(((a,b),c),d);", abcd, 0},
        QuartetCase{"Balanced", "((a,b),(c,d));", abcd, 0},
        QuartetCase{"BalancedOtherCherryFirst", "((c,d),(a,b));", abcd, 0},
        QuartetCase{"AcSplit", "((a,c),(b,d));", abcd, 1},
        QuartetCase{"AdSplit", "((a,d),(b,c));", abcd, 2},
        QuartetCase{"RootTrifurcation", "((b,c),a,d);", abcd, 2},
        QuartetCase{"ReorderedNames", "((a,b),(c,d));", {"a", "c", "b", "d"}, 1},
        QuartetCase{"Star", "(a,b,c,d);", abcd, unresolved},
        QuartetCase{"ThreeAtOneNode", "((a,b,c),d);", abcd, unresolved},
        QuartetCase{"ThreeAtOneNodeRight", "(a,(b,c,d));", abcd, unresolved},
        QuartetCase{"StarBelowRoot", "((a,b,c,d),e);", abcd, unresolved},
        QuartetCase{"RepeatedTaxon", "((a,b),(c,d));", {"a", "a", "b", "c"}, 0},
        QuartetCase{"RepeatedTaxonLaterSlots", "((a,b),(c,d));", {"b", "c", "d", "c"}, 1},
        QuartetCase{"LengthsIgnored", "((a:100,b:0.1):0.001,(c:5,d:7):9);", abcd, 0},
        QuartetCase{"LongBranchToOtherSide", "((a:0,c:0):0,(b:1e9,d:1e9):1e9);", abcd, 1},
        QuartetCase{"UnaryNodesKeepTheSplit", "((((a)),c),(((b)),((d))));", abcd, 1},
        QuartetCase{"DeepUnaryAboveCherry", "(((((a,b)))),c,d);", abcd, 0},
        QuartetCase{"ExtraTaxaAround", "((x,((a,y),b)),(z,(c,(d,w))));", abcd, 0},
        QuartetCase{"ExtraTaxaMixing", "(((a,x),(c,y)),((b,z),d));", abcd, 1},
        QuartetCase{"CherryAtRootLevelOfRestriction", "((a,(b,(c,x))),(d,y));", abcd, 2},
        QuartetCase{"RepeatedLeafUsesTheLaterOne", "((a,b),(c,(d,a)));", abcd, 2}),
    [](const testing::TestParamInfo<QuartetCase>& p) { return std::string(p.param.name); });

TEST(QuartetType, EveryOrderOfNamesFollowsTheSister) {
    // In ((a,b),(c,d)) a's sister is b; the code is the slot of that sister minus one.
    std::array<std::string, 4> names = {"a", "b", "c", "d"};
    int orders = 0;
    do {
        const auto sister_slot = std::find(names.begin(), names.end(),
                                           names[0] == "a"   ? "b"
                                           : names[0] == "b" ? "a"
                                           : names[0] == "c" ? "d"
                                                             : "c") -
                                 names.begin();
        EXPECT_EQ(quartet_of("((a,b),(c,d));", names), sister_slot - 1)
            << names[0] << names[1] << names[2] << names[3];
        ++orders;
    } while (std::next_permutation(names.begin(), names.end()));
    EXPECT_EQ(orders, 24);
}

}  // namespace
}  // namespace treetally

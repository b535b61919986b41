// Tests of the one bounds test a query makes before its unchecked reads: an out-of-range
// position is still refused, with the error the first pair read would give.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

TEST(QueryRangeCheck, OutOfRangePositionsAreRefusedOnce) {
    const auto parsed = test::parse("((A,B),(C,D),E);");
    const TreeLca index = test::index_of(parsed);
    const auto columns = static_cast<std::uint32_t>(index.column_count());
    struct Case {
        FivePositions positions;
        std::size_t reported;
    };
    const std::vector<Case> cases = {
        {{EulerPos{columns}, EulerPos{1}, EulerPos{2}, EulerPos{3}, EulerPos{4}}, columns},
        {{EulerPos{1}, EulerPos{2}, EulerPos{3}, EulerPos{4}, EulerPos{columns + 7}}, columns + 7},
        {{EulerPos{columns + 2}, EulerPos{columns + 9}, EulerPos{1}, EulerPos{2}, EulerPos{3}},
         columns + 9},
    };
    for (const Case& c : cases) {
        const std::string expected = messages::index_out_of_bounds(columns, c.reported);
        EXPECT_EQ(test::fatal_message_of([&] { (void)quintet_type(index, c.positions); }),
                  expected);
        EXPECT_EQ(test::fatal_message_of([&] { (void)pairwise_distances(index, c.positions); }),
                  expected);
        FourPositions four{c.positions[0], c.positions[1], c.positions[2], c.positions[4]};
        EXPECT_NE(test::fatal_message_of([&] { (void)quartet_type(index, four); }),
                  "<no fatal error>");
        EXPECT_FALSE(index.positions_in_range(c.positions));
    }
}

}  // namespace
}  // namespace treetally

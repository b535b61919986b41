#include "tables/tree_tests.hpp"

#include <limits>

namespace treetally {

// Placeholder until the tests are in: every value unknown.
TreeTestResult t3_test(const std::array<double, 3>&, double, TreeTestMethod) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
}

TreeTestResult t1_test(const std::array<double, 3>&, int, double, TreeTestMethod) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
}

}  // namespace treetally

// Holm and Benjamini-Hochberg against their definitions written out directly, over values with
// many ties, zeros of both signs, ones and NaN, in orders the radix sort must not disturb.
#include "tables/p_value_adjust.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace treetally {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The k-th smallest p (ties: the first of them for Holm, the last for BH) adjusted by the
// formulas themselves, in O(m^2).
std::vector<double> by_definition(const std::vector<double>& p, AdjustMethod method) {
    std::vector<double> valid;
    for (const double value : p)
        if (!std::isnan(value)) valid.push_back(value);
    std::sort(valid.begin(), valid.end());
    const auto m = static_cast<double>(valid.size());
    std::vector<double> adjusted;
    for (const double value : p) {
        if (std::isnan(value)) {
            adjusted.push_back(nan_value);
            continue;
        }
        const auto first = static_cast<std::size_t>(
            std::lower_bound(valid.begin(), valid.end(), value) - valid.begin());
        const auto last = static_cast<std::size_t>(
            std::upper_bound(valid.begin(), valid.end(), value) - valid.begin());
        double result = method == AdjustMethod::holm ? 0.0 : 1.0;
        if (method == AdjustMethod::holm) {
            for (std::size_t j = 0; j <= first; ++j)
                result = std::max(result, std::min(1.0, (m - static_cast<double>(j)) * valid[j]));
        } else {
            for (std::size_t j = last - 1; j < valid.size(); ++j)
                result = std::min(result, m * valid[j] / static_cast<double>(j + 1));
        }
        adjusted.push_back(result);
    }
    return adjusted;
}

class AdjustByDefinition : public ::testing::TestWithParam<AdjustMethod> {};

TEST_P(AdjustByDefinition, EqualsTheFormulasValueForValue) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (const std::size_t count : {0, 1, 7, 300, 2000}) {
        std::vector<double> p;
        for (std::size_t k = 0; k < count; ++k) {
            const double draw = uniform(random);
            // Rounded values tie often; some are exactly 0, -0, 1 or NaN.
            p.push_back(k % 11 == 0   ? nan_value
                        : k % 13 == 0 ? 0.0
                        : k % 17 == 0 ? -0.0
                        : k % 19 == 0 ? 1.0
                                      : std::round(draw * 50.0) / 50.0 * draw);
        }
        const std::vector<double> expected = by_definition(p, GetParam());
        adjust_p_values(p, GetParam());
        ASSERT_EQ(p.size(), expected.size());
        for (std::size_t k = 0; k < p.size(); ++k) {
            if (std::isnan(expected[k])) {
                EXPECT_TRUE(std::isnan(p[k])) << k;
            } else {
                EXPECT_DOUBLE_EQ(p[k], expected[k]) << "value " << k << " of " << count;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, AdjustByDefinition,
                         ::testing::Values(AdjustMethod::holm, AdjustMethod::bh));

}  // namespace
}  // namespace treetally

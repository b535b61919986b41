#include "networks/quartet_classes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "tables/quartet_formulas.hpp"
#include "tables/quartet_tests.hpp"
#include "tables/tree_tests.hpp"

namespace treetally {

namespace {

// The slots (in the order of quartet_additions) of the two pairs each topology puts together
// and of the four it separates: code 0 is t1t2|t3t4, 1 t1t3|t2t4 and 2 t1t4|t2t3.
constexpr std::array<std::array<std::size_t, 2>, 3> together{{{0, 5}, {1, 4}, {2, 3}}};
constexpr std::array<std::array<std::size_t, 4>, 3> apart{{{1, 2, 3, 4}, {0, 2, 3, 5}, {0, 1, 4, 5}}};

constexpr std::int64_t half = distance_twelfths / 2;

}  // namespace

namespace {

// The counts as the tests take them: with `unresolved` trees spread a third to each topology
// when `spread` (in thirds of a tree, for the star test's exact arithmetic).
struct TestCounts {
    bool thirds;
    std::array<std::uint64_t, 3> whole;
    std::array<double, 3> trees;
};

TestCounts test_counts(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved, bool spread) {
    if (!(spread && unresolved > 0))
        return {false, {counts[0], counts[1], counts[2]},
                {static_cast<double>(counts[0]), static_cast<double>(counts[1]), static_cast<double>(counts[2])}};
    const std::array<std::uint64_t, 3> thirds = spread_thirds(counts, unresolved);
    return {true, thirds,
            {static_cast<double>(thirds[0]) / 3.0, static_cast<double>(thirds[1]) / 3.0,
             static_cast<double>(thirds[2]) / 3.0}};
}

double star_p(const TestCounts& counts) {
    return counts.thirds ? star_test_thirds(counts.whole).p_value : star_test(counts.whole).p_value;
}

double tree_p(const TestCounts& counts, TreeTest test) {
    if (test == TreeTest::cut) return cut_test(counts.trees).p;
    return t3_test(counts.trees, 0.0, TreeTestMethod::mlest).p;
}

// The topologies whose count is `best` among the three (a bit each).
std::uint8_t topologies_at(std::span<const std::uint64_t, 3> counts, std::uint64_t best) {
    std::uint8_t bits = 0;
    for (std::size_t code = 0; code < 3; ++code)
        if (counts[code] == best) bits = static_cast<std::uint8_t>(bits | (1u << code));
    return bits;
}

}  // namespace

std::uint8_t tree_topologies(TreeTest test, std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                             bool spread) {
    if (test == TreeTest::cut) return cut_test(test_counts(counts, unresolved, spread).trees).topologies;
    return topologies_at(counts, *std::max_element(counts.begin(), counts.end()));
}

QuartetPValues quartet_p_values(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                                bool spread, TreeTest test) {
    const TestCounts tested = test_counts(counts, unresolved, spread);
    return {tree_p(tested, test), star_p(tested)};
}

QuartetClass quartet_class(QuartetPValues p, double alpha, double beta) {
    // NaN from a quartet no tree holds fails both comparisons below, so it is told apart first.
    if (p.star != p.star) return QuartetClass::empty;
    if (p.star > beta) return QuartetClass::star;
    if (p.t3 < alpha) return QuartetClass::cycle;
    return QuartetClass::tree;
}

QuartetClass classify_quartet(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved, bool spread,
                              double alpha, double beta, TreeTest test) {
    const TestCounts tested = test_counts(counts, unresolved, spread);
    const double star = star_p(tested);
    // A star needs no T3 test, the costlier of the two.
    if (star != star || star > beta) return quartet_class(QuartetPValues{std::numeric_limits<double>::quiet_NaN(), star}, alpha, beta);
    return quartet_class(QuartetPValues{tree_p(tested, test), star}, alpha, beta);
}

std::array<std::int64_t, 6> quartet_additions(NetworkMethod method, QuartetClass kind,
                                              std::span<const std::uint64_t, 3> counts) {
    if (kind == QuartetClass::tree)
        return quartet_additions(method, kind, topologies_at(counts, *std::max_element(counts.begin(), counts.end())));
    return quartet_additions(method, kind, topologies_at(counts, *std::min_element(counts.begin(), counts.end())));
}

std::array<std::int64_t, 6> quartet_additions(NetworkMethod method, QuartetClass kind, std::uint8_t topologies) {
    std::array<std::int64_t, 6> additions{};
    const auto ties = static_cast<std::int64_t>(std::popcount(static_cast<unsigned>(topologies & 7u)));
    if (kind == QuartetClass::tree && ties > 0) {
        for (std::size_t code = 0; code < 3; ++code)
            if ((topologies >> code) & 1u)
                for (const std::size_t slot : apart[code]) additions[slot] += distance_twelfths / ties;
        return additions;
    }
    additions.fill(half);
    if (kind != QuartetClass::cycle || method != NetworkMethod::nanuq || ties == 0) return additions;
    for (std::size_t code = 0; code < 3; ++code)
        if ((topologies >> code) & 1u)
            for (const std::size_t slot : together[code]) additions[slot] += half / ties;
    return additions;
}

}  // namespace treetally

#include "networks/quartet_classes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

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
template <typename Count>
std::uint8_t topologies_at(std::span<const Count, 3> counts, Count best) {
    std::uint8_t bits = 0;
    for (std::size_t code = 0; code < 3; ++code)
        if (counts[code] == best) bits = static_cast<std::uint8_t>(bits | (1u << code));
    return bits;
}

// Shares that are all whole numbers (every tree shows one topology for all its combinations of
// individuals, as when each species' individuals are sisters), as counts; below 2^53, where a
// double holds every whole number.
std::optional<std::array<std::uint64_t, 3>> whole_shares(std::span<const double, 3> shares, double unresolved,
                                                         std::uint64_t& whole_unresolved) {
    constexpr double most = 9007199254740992.0;  // 2^53
    auto whole = [](double share) { return share >= 0.0 && share < most && share == std::floor(share); };
    if (!whole(shares[0]) || !whole(shares[1]) || !whole(shares[2]) || !whole(unresolved)) return std::nullopt;
    whole_unresolved = static_cast<std::uint64_t>(unresolved);
    return std::array<std::uint64_t, 3>{static_cast<std::uint64_t>(shares[0]), static_cast<std::uint64_t>(shares[1]),
                                        static_cast<std::uint64_t>(shares[2])};
}

// Fractional shares as the tree tests take them: spread, in trees (a third of the unresolved
// share added to each).
std::array<double, 3> tested_shares(std::span<const double, 3> shares, double unresolved, bool spread) {
    if (!(spread && unresolved > 0.0)) return {shares[0], shares[1], shares[2]};
    return {(3.0 * shares[0] + unresolved) / 3.0, (3.0 * shares[1] + unresolved) / 3.0,
            (3.0 * shares[2] + unresolved) / 3.0};
}

}  // namespace

std::uint8_t tree_topologies(TreeTest test, std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                             bool spread) {
    if (test == TreeTest::cut) return cut_test(test_counts(counts, unresolved, spread).trees).topologies;
    return topologies_at(counts, *std::max_element(counts.begin(), counts.end()));
}

std::uint8_t tree_topologies(TreeTest test, std::span<const double, 3> shares, double unresolved, bool spread) {
    std::uint64_t whole_unresolved = 0;
    if (const auto counts = whole_shares(shares, unresolved, whole_unresolved))
        return tree_topologies(test, std::span<const std::uint64_t, 3>(*counts), whole_unresolved, spread);
    if (test == TreeTest::cut) return cut_test(tested_shares(shares, unresolved, spread)).topologies;
    return topologies_at(shares, *std::max_element(shares.begin(), shares.end()));
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

QuartetClass classify_quartet(std::span<const double, 3> shares, double unresolved, bool spread, double alpha,
                              double beta, TreeTest test) {
    std::uint64_t whole_unresolved = 0;
    if (const auto counts = whole_shares(shares, unresolved, whole_unresolved))
        return classify_quartet(std::span<const std::uint64_t, 3>(*counts), whole_unresolved, spread, alpha, beta,
                                test);
    const double star = quartet_tests(shares, unresolved, spread).star.p_value;
    if (star != star || star > beta)
        return quartet_class(QuartetPValues{std::numeric_limits<double>::quiet_NaN(), star}, alpha, beta);
    const std::array<double, 3> trees = tested_shares(shares, unresolved, spread);
    const double tree = test == TreeTest::cut ? cut_test(trees).p : t3_test(trees, 0.0, TreeTestMethod::mlest).p;
    return quartet_class(QuartetPValues{tree, star}, alpha, beta);
}

std::array<std::int64_t, 6> quartet_additions(NetworkMethod method, QuartetClass kind,
                                              std::span<const double, 3> shares) {
    if (kind == QuartetClass::tree)
        return quartet_additions(method, kind, topologies_at(shares, *std::max_element(shares.begin(), shares.end())));
    return quartet_additions(method, kind, topologies_at(shares, *std::min_element(shares.begin(), shares.end())));
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

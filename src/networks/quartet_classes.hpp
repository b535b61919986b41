// What one quartet's counts say about the network above its four taxa, as NANUQ and TINNiK
// read them: the star test (are the three topologies equally frequent?) and the T3 test (do
// the counts fit the coalescent on some quartet tree?) class it as a star, a tree or a cycle
// (a blob), and each class adds to the six pairs of its taxa a quartet distance in halves:
//   tree ab|cd:            1 to each pair it separates, 0 to a and b, c and d;
//   cycle, NANUQ:          1/2 to every pair, and 1/2 more to the two pairs that the least
//                          frequent topology puts together (the cycle's opposite corners);
//   star, and TINNiK's blob (B-quartet): 1/2 to every pair.
// Tied largest (tree) or smallest (cycle) counts share their addition equally, so that no order
// of the taxa is favoured. Additions are kept in twelfths of a unit, whole numbers.
//
// TINNiK may test trees by the cut test instead of the T3 test: the counts fit a quartet whose
// tree of blobs is resolved when two of the three topologies are equally frequent (the major
// one may then be less frequent than a third, which the T3 test refuses), and the T-quartet's
// topology is then the one the cut model's maximum likelihood estimate singles out.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "networks/cut_test.hpp"

namespace treetally {

enum class QuartetClass : std::uint8_t {
    empty,  // no tree resolves the quartet: nothing to test
    star,   // the star test is not rejected: p_star > beta
    tree,   // the star test rejected, the T3 test not: p_T3 >= alpha
    cycle,  // both rejected: p_T3 < alpha (a 4-cycle for NANUQ, a B-quartet for TINNiK)
};
inline constexpr std::size_t quartet_class_count = 4;

enum class NetworkMethod : std::uint8_t { nanuq, tinnik };

// The test of a resolved quartet: the T3 test, or (TINNiK) the cut test.
enum class TreeTest : std::uint8_t { t3, cut };

// Twelve twelfths make one unit of quartet distance.
inline constexpr std::int64_t distance_twelfths = 12;

struct QuartetPValues {
    double t3;    // NaN when the counts hold no resolved tree
    double star;  // likewise
};

// The two tests on a quartet's counts of t1t2|t3t4, t1t3|t2t4 and t1t4|t2t3, its `unresolved`
// trees spread a third to each topology when `spread`; `t3` is then the cut test's p-value when
// `test` is the cut test.
QuartetPValues quartet_p_values(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                                bool spread, TreeTest test = TreeTest::t3);



// The topologies (a bit each) a T-quartet of counts `counts` shows, its unresolved trees spread
// as the tests take them: the most frequent for the T3 test, the cut model's estimate for the
// cut test.
std::uint8_t tree_topologies(TreeTest test, std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                             bool spread);

// The class of the quartet at levels alpha (T3) and beta (star).
QuartetClass quartet_class(QuartetPValues p, double alpha, double beta);
// The same from the counts, running the T3 test only where the star test is rejected.
QuartetClass classify_quartet(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved, bool spread,
                              double alpha, double beta, TreeTest test = TreeTest::t3);

// The same of a species quartet's shares of trees (a table of species mapped from
// individuals: each tree adds its share of the combinations of one individual per species).
// Whole shares are classed as the same counts are, to the bit; others by the same tests in
// floating point. Ties are equal shares, as they are equal counts.
QuartetClass classify_quartet(std::span<const double, 3> shares, double unresolved, bool spread, double alpha,
                              double beta, TreeTest test = TreeTest::t3);
std::uint8_t tree_topologies(TreeTest test, std::span<const double, 3> shares, double unresolved, bool spread);

// The additions, in twelfths, of a quartet of class `kind` to its pairs (t1,t2), (t1,t3),
// (t1,t4), (t2,t3), (t2,t4), (t3,t4); `counts` raw or spread alike (spreading keeps their order).
// An empty quartet adds what a star adds: it tells of no split.
std::array<std::int64_t, 6> quartet_additions(NetworkMethod method, QuartetClass kind,
                                              std::span<const std::uint64_t, 3> counts);
std::array<std::int64_t, 6> quartet_additions(NetworkMethod method, QuartetClass kind,
                                              std::span<const double, 3> shares);
// The same from the topologies (a bit each) that share the addition: a tree's split (the most
// frequent ones), NANUQ's cycle's opposite corners (the least frequent ones).
std::array<std::int64_t, 6> quartet_additions(NetworkMethod method, QuartetClass kind, std::uint8_t topologies);

}  // namespace treetally

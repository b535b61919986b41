// The cut test of TINNiK on one quartet's three topology counts: do they fit a quartet network
// with a cut edge splitting the taxa two and two? Under the network coalescent such a quartet's
// two other topologies are equally frequent, whatever the blobs on either side of the edge, so
// the model is three whole lines through the star point (1/3, 1/3, 1/3): (1 - 2q, q, q) for q
// in [0, 1/2] and its permutations. Unlike the T3 model's segments, a line goes on past the
// star point, where the split's own topology is the least frequent.
//
// The statistic is the likelihood ratio G against the fit on the nearest line: on line k,
// whose other counts are x and y,
//     G_k = 2 (x ln x + y ln y - (x + y) ln((x + y) / 2)),
// the least of the three being G, and the line(s) reaching it the cut model's maximum
// likelihood estimate of the split. Its p-value, as the T3 test's "MLest" one:
// - the asymptotic law at the fitted point: in the Fisher metric there the counts are a normal
//   pair of identity covariance about the fitted point, at distance mu0 from the star point,
//   and G is its squared distance to the three lines, which cross there at angles the metric
//   gives. Far from the star point (the other lines over ten standard deviations beyond the
//   statistic's reach) this is chi-square with 1 degree of freedom;
// - with few counts (under 30 trees, or a fitted count below 5) the exact tail of G under the
//   multinomial of the fitted frequencies, every outcome with a chance above e^-50 of the most
//   likely one enumerated.
#pragma once

#include <cstdint>
#include <span>

namespace treetally {

struct CutTest {
    double statistic;
    double p;
    std::uint8_t topologies;  // bit k: line k reaches the least G (more than one when tied)
};

// The cut test on counts of trees (thirds allowed); NaN, NaN and no topology when no tree is
// counted or a count is negative or not finite.
CutTest cut_test(std::span<const double, 3> trees);

// P(X >= x) for X the squared distance from a standard normal pair about (mu0, 0) to three
// lines through the origin at angles 0, theta and -theta.
double three_line_tail(double x, double mu0, double theta);

}  // namespace treetally

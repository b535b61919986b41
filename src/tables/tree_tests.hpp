// The tests of Mitchell, Allman and Rhodes (2019) on one quartet's three topology counts: T3
// (the counts come from the multispecies coalescent on some quartet tree) and T1 (on a given
// one), with the Cressie-Read power-divergence statistic.
#pragma once

#include <array>

namespace treetally {

enum class TreeTestMethod { mlest, conservative };
struct TreeTestResult { double statistic; double p; };
// The T3 test of three quartet counts (order free; thirds allowed), power-divergence lambda.
TreeTestResult t3_test(const std::array<double, 3>& counts, double lambda, TreeTestMethod method);
// The T1 test of the counts against topology `species` (0, 1 or 2: which count is the tree's).
TreeTestResult t1_test(const std::array<double, 3>& counts, int species, double lambda, TreeTestMethod method);

}  // namespace treetally

// Multiple-testing corrections of many p-values at once (a table of every quartet of 100
// taxa holds millions of tests): Holm's step-down and Benjamini-Hochberg's step-up.
#pragma once

#include <span>

namespace treetally {

enum class AdjustMethod { holm, bh };

// Replaces each p-value by its adjusted value. With p(1) <= ... <= p(m) over the values that
// are numbers: Holm, the k-th smallest becomes max over j <= k of min(1, (m - j + 1) p(j));
// BH, the k-th smallest becomes min over j >= k of m p(j) / j (at most 1). Tied p-values get
// the same adjusted value; NaN stays NaN and does not count among the m tests. Each step has
// the arithmetic of Python's float operations, so that the values match those of a Python
// implementation of the same formulas to the bit. Values outside [0, 1] are the caller's to
// refuse.
void adjust_p_values(std::span<double> p_values, AdjustMethod method);

}  // namespace treetally

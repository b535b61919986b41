# Multiple-testing corrections for the p-values of many quartets at once: a table of every
# quartet of 100 taxa holds millions of tests, and a p-value below 0.05 is then expected by
# chance alone in tens of thousands of them.
"""Adjusted p-values: Holm's step-down (family-wise error) and Benjamini-Hochberg's step-up
(false discovery rate).

An adjusted p-value is the smallest level at which the procedure rejects that hypothesis, so
comparing the adjusted values with alpha is the procedure at level alpha. NaN (a test without
data) stays NaN and does not count among the m tests.
"""

from __future__ import annotations

import collections
import math
from typing import Dict, Iterable, List

from .errors import UsageError

METHODS = ("holm", "bh")
# How each method is named in words (plot titles, reports).
ADJUSTMENT_NAMES = {"holm": "Holm", "bh": "Benjamini-Hochberg"}


def adjust_p_values(p_values: Iterable[float], method: str) -> List[float]:
    """The adjusted p-values of `p_values` by `method`, in the same order.

    "holm": Holm's step-down; with p(1) <= ... <= p(m), the k-th smallest becomes
    max over j <= k of (m - j + 1) * p(j). "bh": Benjamini-Hochberg's step-up; the k-th smallest
    becomes min over j >= k of m * p(j) / j. Both are capped at 1 and monotone in p (tied
    p-values get the same adjusted value). Raises ValueError for an unknown method or a p-value
    outside [0, 1]."""
    if method not in METHODS:
        raise UsageError(f"p-values are adjusted by {' or '.join(repr(m) for m in METHODS)}, not {method!r}")
    values = [float(p) for p in p_values]
    for p in values:
        if not (0.0 <= p <= 1.0 or math.isnan(p)):
            raise UsageError(f"a p-value lies between 0 and 1; {p!r} does not")
    # Tied p-values get the same adjusted value (the running maximum or minimum changes only at
    # the first or last of them), so the steps run over the distinct values with their counts,
    # each with the arithmetic of the formulas above, and every p then takes its value's: no
    # sort or scatter of millions of indexes, and NaN (NaN != NaN) never becomes a key.
    valid = [p for p in values if p == p]
    m = len(valid)
    counts = collections.Counter(valid)
    adjusted_of: Dict[float, float] = {}
    if method == "holm":
        running, before = 0.0, 0  # before: how many p-values are smaller
        for p in sorted(counts):
            running = max(running, min(1.0, (m - before) * p))
            adjusted_of[p] = running
            before += counts[p]
    else:
        running, up_to = 1.0, m  # up_to: how many p-values are this one or smaller
        for p in sorted(counts, reverse=True):
            running = min(running, m * p / up_to)
            adjusted_of[p] = running
            up_to -= counts[p]
    return list(map(adjusted_of.get, values, values))  # a NaN is no key: it stays

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

from typing import Iterable, List

import numpy

from . import _engine
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
    values = numpy.fromiter((float(p) for p in p_values), dtype=numpy.float64)
    outside = values[~(((values >= 0.0) & (values <= 1.0)) | numpy.isnan(values))]
    if len(outside):
        raise UsageError(f"a p-value lies between 0 and 1; {outside[0].item()!r} does not")
    # The engine adjusts (the same code adjusts a table's columns).
    adjusted: List[float] = numpy.frombuffer(_engine.adjust_p_values(values.tobytes(), method)).tolist()
    return adjusted

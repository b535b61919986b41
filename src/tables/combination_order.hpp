// The combinations of `size` of the numbers 0 .. n-1 in lexicographic order, the order of
// Python's itertools.combinations: a combination's rank is the number of combinations before
// it. Ranks are 128-bit, exact for any table that fits in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/fatal_error.hpp"

namespace treetally {

__extension__ typedef unsigned __int128 RowRank;

// C(m, r) for r <= 5 and m < 2^26, where every step stays below 2^128.
inline RowRank binomial(std::size_t m, std::size_t r) {
    if (r > m) return 0;
    RowRank value = 1;
    for (std::size_t i = 0; i < r; ++i) value = value * (m - i) / (i + 1);
    return value;
}

// Largest n for which the ranks of combinations of up to five numbers are computed exactly.
inline constexpr std::size_t most_ranked_numbers = std::size_t{1} << 26;

class CombinationOrder {
  public:
    CombinationOrder(std::size_t n, std::size_t size) : n_(n), size_(size) {
        checked_index(size, 6);
        checked_index(n, most_ranked_numbers);
    }

    RowRank count() const { return binomial(n_, size_); }

    // Rank of the ascending combination `c` (size() numbers below n).
    RowRank rank(std::span<const std::uint32_t> c) const {
        RowRank rank = 0;
        std::size_t low = 0;
        for (std::size_t k = 0; k < size_; ++k) {
            rank += binomial(n_ - low, size_ - k) - binomial(n_ - c[k], size_ - k);
            low = std::size_t{c[k]} + 1;
        }
        return rank;
    }

    // The combination of rank `rank` < count(), into `c`.
    void unrank(RowRank rank, std::span<std::uint32_t> c) const {
        std::size_t low = 0;
        for (std::size_t k = 0; k < size_; ++k) {
            const std::size_t rest = size_ - 1 - k;  // numbers still to choose after this one
            // Combinations whose k-th number lies in [low, v): C(n-low, rest+1) - C(n-v, rest+1),
            // growing with v; the k-th number is the largest v where that is at most `rank`.
            const RowRank from_low = binomial(n_ - low, rest + 1);
            std::size_t lo = low;
            std::size_t hi = n_ - 1 - rest;
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo + 1) / 2;
                if (from_low - binomial(n_ - mid, rest + 1) <= rank) {
                    lo = mid;
                } else {
                    hi = mid - 1;
                }
            }
            rank -= from_low - binomial(n_ - lo, rest + 1);
            c[k] = static_cast<std::uint32_t>(lo);
            low = lo + 1;
        }
    }

    // Steps the ascending combination `c` to the next in order; false after the last.
    bool advance(std::span<std::uint32_t> c) const {
        for (std::size_t k = size_; k-- > 0;) {
            // The k-th number can grow while room remains for the numbers after it.
            if (c[k] + (size_ - k) < n_) {
                ++c[k];
                for (std::size_t j = k + 1; j < size_; ++j) c[j] = c[j - 1] + 1;
                return true;
            }
        }
        return false;
    }

    std::size_t numbers() const { return n_; }
    std::size_t size() const { return size_; }

  private:
    std::size_t n_;
    std::size_t size_;
};

}  // namespace treetally
